#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "records/sent_mark.h"

namespace zevuvuri::records {
namespace {

// The offset as 20 digits and a newline: every save writes the same bytes at
// the same place, within one disk sector, so no save leaves a mixture.
constexpr std::size_t kMarkSize = 21;

}  // namespace

std::string SentMarkPath(const std::string& journal_utf8_path) { return journal_utf8_path + ".sent"; }

std::uint64_t LoadSentMark(const std::string& mark_utf8_path) {
  const int fd = ::open(mark_utf8_path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return 0;
  char text[kMarkSize + 1] = {};
  const ssize_t n = ::pread(fd, text, kMarkSize, 0);
  ::close(fd);
  std::uint64_t offset = 0;
  if (n != static_cast<ssize_t>(kMarkSize) || std::sscanf(text, "%20" SCNu64, &offset) != 1) return 0;
  return offset;
}

bool SaveSentMark(const std::string& mark_utf8_path, std::uint64_t offset, std::string* error) {
  const int fd = ::open(mark_utf8_path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) {
    *error = mark_utf8_path + ": " + std::strerror(errno);
    return false;
  }
  char text[kMarkSize + 1];
  std::snprintf(text, sizeof text, "%020" PRIu64 "\n", offset);
  const bool ok = ::pwrite(fd, text, kMarkSize, 0) == static_cast<ssize_t>(kMarkSize) && ::fdatasync(fd) == 0;
  if (!ok) *error = mark_utf8_path + ": " + std::strerror(errno);
  ::close(fd);
  return ok;
}

}  // namespace zevuvuri::records
