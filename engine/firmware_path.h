// The firmware path as the worker opens it: an 8-bit copy of the file name
// field's text that must fit 1024 bytes with its terminator.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace zevuvuri {

constexpr std::size_t kFirmwarePathLimit = 1024;  // bytes, terminator included

// The 8-bit form of `path`, or nothing when it has no exact 8-bit form, holds a
// NUL, or would not fit the limit. A path is refused rather than cut short,
// since a shortened path can name some other file.
// POSIX: UTF-8, the file names' encoding.
std::optional<std::string> NarrowFirmwarePath(std::wstring_view path);

}  // namespace zevuvuri
