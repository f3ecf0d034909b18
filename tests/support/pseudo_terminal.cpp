#include "tests/support/pseudo_terminal.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <filesystem>
#include <stdexcept>

namespace zevuvuri::testing {

PseudoTerminal::PseudoTerminal() {
  master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0) {
    throw std::runtime_error("cannot open a pseudo-terminal");
  }
  slave_path_ = ::ptsname(master_);
  // The master side raw too, so nothing the loader writes is altered on the way.
  termios t{};
  ::tcgetattr(master_, &t);
  ::cfmakeraw(&t);
  ::tcsetattr(master_, TCSANOW, &t);
}

PseudoTerminal::~PseudoTerminal() { Close(); }

void PseudoTerminal::Close() {
  if (master_ >= 0) ::close(master_);
  master_ = -1;
}

void PseudoTerminal::Write(const std::vector<std::uint8_t>& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(master_, bytes.data() + done, bytes.size() - done);
    if (n <= 0) throw std::runtime_error("pseudo-terminal write failed");
    done += static_cast<std::size_t>(n);
  }
}

std::vector<std::uint8_t> PseudoTerminal::Read(std::size_t count, std::chrono::milliseconds limit) {
  std::vector<std::uint8_t> got;
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (got.size() < count) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    pollfd p{master_, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
    std::uint8_t buffer[4096];
    const ssize_t n = ::read(master_, buffer, std::min(sizeof buffer, count - got.size()));
    if (n <= 0) {
      ::usleep(1000);  // no slave open right now: the master reads EIO
      continue;
    }
    got.insert(got.end(), buffer, buffer + n);
  }
  return got;
}

std::vector<std::uint8_t> PseudoTerminal::ReadSome(std::chrono::milliseconds limit) {
  pollfd p{master_, POLLIN, 0};
  if (::poll(&p, 1, static_cast<int>(limit.count())) <= 0) return {};
  std::uint8_t buffer[4096];
  const ssize_t n = ::read(master_, buffer, sizeof buffer);
  if (n <= 0) {
    ::usleep(1000);  // no slave open right now: the master reads EIO at once
    return {};
  }
  return std::vector<std::uint8_t>(buffer, buffer + n);
}

TempDir::TempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "zevuvuri-test-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

}  // namespace zevuvuri::testing
