#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "tools/cli/report_file.h"

namespace zevuvuri::cli {
namespace {

int OpenForAppend(const std::string& path, std::string* error) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) *error = path + ": " + std::strerror(errno);
  return fd;
}

}  // namespace

bool AppendLine(const std::string& utf8_path, const std::string& line, std::string* error) {
  const int fd = OpenForAppend(utf8_path, error);
  if (fd < 0) return false;
  const std::string whole = line + "\n";
  // O_APPEND places each write at the end in one step: a record is never
  // split by another writer's. A short write on a full disk is reported.
  ssize_t written;
  do {
    written = ::write(fd, whole.data(), whole.size());
  } while (written < 0 && errno == EINTR);
  bool ok = written == static_cast<ssize_t>(whole.size());
  if (!ok) *error = utf8_path + ": " + (written < 0 ? std::strerror(errno) : "short write (disk full?)");
  if (ok && ::fdatasync(fd) != 0) {
    ok = false;
    *error = utf8_path + ": " + std::strerror(errno);
  }
  ::close(fd);
  return ok;
}

bool CanAppend(const std::string& utf8_path, std::string* error) {
  const int fd = OpenForAppend(utf8_path, error);
  if (fd < 0) return false;
  ::close(fd);
  return true;
}

std::string HostName() {
  char name[256] = {};
  if (::gethostname(name, sizeof name - 1) != 0) return "";
  return name;
}

}  // namespace zevuvuri::cli
