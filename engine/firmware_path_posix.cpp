#include <sys/stat.h>

#include "engine/firmware_path.h"
#include "engine/text_encoding.h"

namespace zevuvuri {

// A directory opens for reading on POSIX but holds no firmware, and opening a
// pipe without a writer would block the worker for good: neither is a file.
std::FILE* OpenFirmwareFile(const std::string& narrow_path) {
  struct stat st {};
  if (::stat(narrow_path.c_str(), &st) == 0 &&
      (S_ISDIR(st.st_mode) || S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode))) {
    return nullptr;
  }
  return std::fopen(narrow_path.c_str(), "rb");
}

std::optional<std::uint64_t> FirmwareFileSize(std::FILE* file) {
  if (::fseeko(file, 0, SEEK_END) != 0) return std::nullopt;
  const off_t size = ::ftello(file);
  if (size < 0 || ::fseeko(file, 0, SEEK_SET) != 0) return std::nullopt;
  return static_cast<std::uint64_t>(size);
}

}  // namespace zevuvuri
