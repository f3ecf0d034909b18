// The firmware path as the worker opens it: an 8-bit copy of the file name
// field's text that must fit 1024 bytes with its terminator, and the opening
// and measuring of the file it names.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>

namespace zevuvuri {

constexpr std::size_t kFirmwarePathLimit = 1024;  // bytes, terminator included

// The 8-bit form of `path`, or nothing when it has no exact 8-bit form, holds a
// NUL, or would not fit the limit. A path is refused rather than cut short,
// since a shortened path can name some other file. The form is UTF-8 on every
// platform: on POSIX it is the file names' encoding; on Windows it keeps every
// character exactly, where the ANSI code page would lose some, and the file is
// opened through its UTF-16 form.
std::optional<std::string> NarrowFirmwarePath(std::wstring_view path);

// Opens the file that an 8-bit path from NarrowFirmwarePath names, for
// reading raw bytes; nullptr when it cannot be opened or is a directory.
std::FILE* OpenFirmwareFile(const std::string& narrow_path);

// Size in bytes of an open firmware file, 64 bits wide on every platform (a
// C long is 32 bits on Windows); nothing when it cannot be measured. Leaves
// the file positioned at its start.
std::optional<std::uint64_t> FirmwareFileSize(std::FILE* file);

}  // namespace zevuvuri
