#include "engine/module_type.h"

#include <algorithm>
#include <cstdint>
#include <limits>

namespace zevuvuri {
namespace {

// What the Windows C library's wcstol takes, as the mingw-w64 build of the
// loader reads it: every UTF-16 code unit was run through wcstol under wine,
// alone, before and after a digit (the Windows tests run the same comparison
// against this table). glibc's wcstol takes ASCII digits and blanks only.

// The digit zero of each run of ten decimal digits, U+0030 to U+0039 first.
constexpr char16_t kDigitZeros[] = {
    0x0030,  // ASCII
    0x0660,  // Arabic-Indic
    0x06F0,  // Extended Arabic-Indic
    0x0966,  // Devanagari
    0x09E6,  // Bengali
    0x0A66,  // Gurmukhi
    0x0AE6,  // Gujarati
    0x0B66,  // Oriya
    0x0C66,  // Telugu
    0x0CE6,  // Kannada
    0x0D66,  // Malayalam
    0x0E50,  // Thai
    0x0ED0,  // Lao
    0x0F20,  // Tibetan
    0x1040,  // Myanmar
    0x17E0,  // Khmer
    0x1810,  // Mongolian
    0xFF10,  // full-width
};

// Leading blanks: the ASCII ones, the no-break and the Unicode spaces.
constexpr char16_t kBlanks[] = {
    0x0009, 0x000A, 0x000B, 0x000C, 0x000D, 0x0020, 0x00A0, 0x1680, 0x2000, 0x2001, 0x2002, 0x2003, 0x2004,
    0x2005, 0x2006, 0x2007, 0x2008, 0x2009, 0x200A, 0x2028, 0x2029, 0x202F, 0x205F, 0x3000,
};

}  // namespace

std::optional<int> TypeTextDigit(wchar_t c) {
  const auto code = static_cast<std::uint32_t>(c);
  for (const char16_t zero : kDigitZeros) {
    if (code >= zero && code < zero + 10u) return static_cast<int>(code - zero);
  }
  return std::nullopt;
}

bool IsTypeTextBlank(wchar_t c) {
  return std::find(std::begin(kBlanks), std::end(kBlanks), static_cast<std::uint32_t>(c)) != std::end(kBlanks);
}

std::uint8_t ModuleTypeCode(std::wstring_view text) {
  constexpr std::int64_t kMax = std::numeric_limits<std::int32_t>::max();
  constexpr std::int64_t kMin = std::numeric_limits<std::int32_t>::min();

  std::size_t i = 0;
  while (i < text.size() && IsTypeTextBlank(text[i])) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == L'+' || text[i] == L'-')) {
    negative = text[i] == L'-';
    ++i;
  }
  // Accumulate the magnitude, stopping once it is past either limit: from
  // there on the result saturates whatever digits follow.
  std::int64_t magnitude = 0;
  for (; i < text.size(); ++i) {
    const auto digit = TypeTextDigit(text[i]);
    if (!digit) break;
    if (magnitude <= kMax + 1) magnitude = magnitude * 10 + *digit;
  }
  std::int64_t value = negative ? -magnitude : magnitude;
  if (value > kMax) value = kMax;
  if (value < kMin) value = kMin;
  return static_cast<std::uint8_t>(static_cast<std::uint32_t>(static_cast<std::int32_t>(value)) & 0xFFu);
}

}  // namespace zevuvuri
