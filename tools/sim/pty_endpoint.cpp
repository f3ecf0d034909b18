#include "pty_endpoint.h"

#include <fcntl.h>
#include <pwd.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <system_error>

namespace zevuvuri::sim {

namespace fs = std::filesystem;

namespace {

std::string SystemError(const std::string& what) { return what + ": " + std::strerror(errno); }

}  // namespace

std::unique_ptr<PtyEndpoint> PtyEndpoint::Open(std::string* error) {
  const int fd = posix_openpt(O_RDWR | O_NOCTTY);
  if (fd < 0) {
    *error = SystemError("posix_openpt");
    return nullptr;
  }
  auto fail = [&](const char* what) {
    *error = SystemError(what);
    ::close(fd);
    return nullptr;
  };
  if (grantpt(fd) != 0) return fail("grantpt");
  if (unlockpt(fd) != 0) return fail("unlockpt");
  const char* name = ptsname(fd);
  if (name == nullptr) return fail("ptsname");
  std::string slave = name;

  termios settings{};
  if (tcgetattr(fd, &settings) != 0) return fail("tcgetattr");
  cfmakeraw(&settings);
  if (tcsetattr(fd, TCSANOW, &settings) != 0) return fail("tcsetattr");

  const int flags = fcntl(fd, F_GETFL);
  if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) return fail("fcntl");
  if (fcntl(fd, F_SETFD, FD_CLOEXEC) != 0) return fail("fcntl");
  return std::unique_ptr<PtyEndpoint>(new PtyEndpoint(fd, std::move(slave)));
}

PtyEndpoint::~PtyEndpoint() {
  if (fd_ >= 0) ::close(fd_);
}

std::optional<unsigned> PtyEndpoint::SlaveBaud() const {
  termios settings{};
  if (tcgetattr(fd_, &settings) != 0) return std::nullopt;
  switch (cfgetospeed(&settings)) {
    case B1200: return 1200;
    case B2400: return 2400;
    case B4800: return 4800;
    case B9600: return 9600;
    case B19200: return 19200;
    case B38400: return 38400;
    case B57600: return 57600;
    case B115200: return 115200;
    case B230400: return 230400;
    case B460800: return 460800;
    case B921600: return 921600;
    default: return std::nullopt;
  }
}

fs::path PortLink::DefaultDirectory() {
  if (const char* dir = std::getenv("ZEVUVURI_PORT_DIR"); dir != nullptr && *dir != '\0') {
    return dir;
  }
  const char* home = std::getenv("HOME");
  if (home == nullptr || *home == '\0') {
    const passwd* user = getpwuid(getuid());
    home = user != nullptr ? user->pw_dir : "/tmp";
  }
  return fs::path(home) / ".config" / "zevuvuri" / "ports";
}

std::unique_ptr<PortLink> PortLink::Create(const fs::path& dir, unsigned com,
                                           const std::string& target, std::string* error,
                                           std::string* note) {
  std::error_code ec;
  fs::create_directories(dir, ec);
  if (ec) {
    *error = "cannot create " + dir.string() + ": " + ec.message();
    return nullptr;
  }
  const fs::path link = dir / ("com" + std::to_string(com));
  const auto status = fs::symlink_status(link, ec);
  if (fs::exists(status)) {
    if (!fs::is_symlink(status)) {
      *error = link.string() + " exists and is not a link";
      return nullptr;
    }
    if (fs::exists(link, ec)) *note = "replacing " + link.string() + ", whose target still exists";
  }
  // Build the new link beside the old one and rename it over, so the name never dangles.
  const fs::path temporary = dir / (".com" + std::to_string(com) + ".tmp" + std::to_string(getpid()));
  fs::remove(temporary, ec);
  fs::create_symlink(target, temporary, ec);
  if (!ec) fs::rename(temporary, link, ec);
  if (ec) {
    *error = "cannot create " + link.string() + ": " + ec.message();
    fs::remove(temporary, ec);
    return nullptr;
  }
  return std::unique_ptr<PortLink>(new PortLink(link, target));
}

PortLink::~PortLink() {
  std::error_code ec;
  if (fs::read_symlink(path_, ec) == fs::path(target_) && !ec) fs::remove(path_, ec);
}

}  // namespace zevuvuri::sim
