// The firmware file's name as the worker opens it. On POSIX a file name is
// bytes, and the loader opens exactly the bytes it was given; on Windows it
// is UTF-16, carried here as its exact UTF-8 form. A name that cannot be
// carried exactly is refused rather than changed, since a changed name can
// name some other file.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace zevuvuri {

// The firmware path's 8-bit form, terminator included, must fit this.
constexpr std::size_t kFirmwarePathLimit = 1024;

class FirmwareName {
 public:
  // From bytes as a front end received them: a command-line argument, a
  // settings-file value, the toolkit's encoding of a chosen file, taken as
  // they are (Windows front ends make their arguments UTF-8 from UTF-16; the
  // Windows file opener refuses bytes that are no UTF-8). Nothing for a NUL or
  // a name of 1024 bytes or more.
  static std::optional<FirmwareName> FromBytes(std::string_view bytes);

  // From a window field's text: UTF-8 on POSIX, where that is the file
  // names' encoding; kept exactly on Windows. Nothing for text without an
  // exact form (a lone surrogate) and under the same limits as FromBytes.
  static std::optional<FirmwareName> FromText(std::wstring_view text);

  // What the platform opens: the exact bytes on POSIX, UTF-8 of the UTF-16
  // name on Windows.
  const std::string& Bytes() const { return bytes_; }

  // Valid UTF-8 for messages and records: bytes that are no UTF-8 show as
  // U+FFFD. Never used to open anything.
  std::string ForDisplay() const;

 private:
  explicit FirmwareName(std::string bytes) : bytes_(std::move(bytes)) {}
  std::string bytes_;
};

}  // namespace zevuvuri
