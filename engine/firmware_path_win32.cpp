#include <stdio.h>

#include "engine/firmware_path.h"
#include "engine/text_encoding.h"

namespace zevuvuri {

// Through the wide form: the C library's narrow fopen takes the ANSI code
// page, in which a path with other characters names no file or a wrong one.
// A directory does not open for reading here.
std::FILE* OpenFirmwareFile(const std::string& narrow_path) {
  return ::_wfopen(FromUtf8(narrow_path).c_str(), L"rb");
}

std::optional<std::uint64_t> FirmwareFileSize(std::FILE* file) {
  if (::_fseeki64(file, 0, SEEK_END) != 0) return std::nullopt;
  const __int64 size = ::_ftelli64(file);
  if (size < 0 || ::_fseeki64(file, 0, SEEK_SET) != 0) return std::nullopt;
  return static_cast<std::uint64_t>(size);
}

}  // namespace zevuvuri
