// Conversions between the window's wide text and the 8-bit text that the
// platform's file and device names take.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace zevuvuri {

// UTF-8; nothing for text that holds no valid character (a lone surrogate).
std::optional<std::string> ToUtf8(std::wstring_view text);
// Invalid sequences become U+FFFD.
std::wstring FromUtf8(std::string_view text);
// True when FromUtf8 would replace nothing.
bool IsValidUtf8(std::string_view text);

}  // namespace zevuvuri
