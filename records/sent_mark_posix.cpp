#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "records/sent_mark.h"

namespace zevuvuri::records {

bool ReadMarkFile(const std::string& mark_utf8_path, std::string* text) {
  const int fd = ::open(mark_utf8_path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return false;
  text->clear();
  char buffer[8192];
  ssize_t n = 0;
  // A mark is small; one far larger is damaged, and reading stops there.
  while ((n = ::read(fd, buffer, sizeof buffer)) > 0 && text->size() < 1024 * 1024) text->append(buffer, n);
  ::close(fd);
  return n == 0;
}

// Written beside it and renamed over it: a reader (CountWaiting, another
// forwarder) sees the old mark or the new one, never a mixture.
bool WriteMarkFile(const std::string& mark_utf8_path, const std::string& text, std::string* error) {
  const std::string next = mark_utf8_path + ".new";
  const int fd = ::open(next.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) {
    *error = next + ": " + std::strerror(errno);
    return false;
  }
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<std::size_t>(n);
  }
  const bool ok = done == text.size() && ::fdatasync(fd) == 0;
  if (!ok) *error = next + ": " + std::strerror(errno);
  ::close(fd);
  if (ok && ::rename(next.c_str(), mark_utf8_path.c_str()) != 0) {
    *error = mark_utf8_path + ": " + std::strerror(errno);
    return false;
  }
  if (!ok) ::unlink(next.c_str());
  return ok;
}

}  // namespace zevuvuri::records
