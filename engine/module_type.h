// The module type code: one byte sent in every frame header, typed by the
// operator as decimal text.
#pragma once

#include <cstdint>
#include <string_view>

namespace zevuvuri {

// Converts the Type field's text the way C's wcstol does with base 10 on a
// platform with a 32-bit long (leading blanks and one sign accepted, stops at
// the first non-digit, no digits gives 0, saturates at the 32-bit limits),
// then keeps the low 8 bits: "24" -> 0x18, "300" -> 0x2C, "99999999999" -> 0xFF.
std::uint8_t ModuleTypeCode(std::wstring_view text);

}  // namespace zevuvuri
