// The module type code: one byte sent in every frame header, typed by the
// operator as decimal text.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace zevuvuri {

// Converts the Type field's text the way the Windows C library's wcstol does
// with base 10 and its 32-bit long (leading blanks and one sign accepted,
// stops at the first non-digit, no digits gives 0, saturates at the 32-bit
// limits), then keeps the low 8 bits: "24" -> 0x18, "300" -> 0x2C,
// "99999999999" -> 0xFF. Blanks and digits are those of that library, the
// other scripts' decimal digits included ("２４" typed with an input method
// is 24), on every platform, so a Type= value gives the same byte everywhere.
std::uint8_t ModuleTypeCode(std::wstring_view text);

// The value of a character that the conversion takes as a decimal digit.
std::optional<int> TypeTextDigit(wchar_t c);
// Whether the conversion skips the character as a leading blank.
bool IsTypeTextBlank(wchar_t c);

}  // namespace zevuvuri
