#include "engine/module_type.h"

#include <cstdint>
#include <limits>

namespace zevuvuri {
namespace {

bool IsBlank(wchar_t c) {
  return c == L' ' || c == L'\t' || c == L'\n' || c == L'\v' || c == L'\f' || c == L'\r';
}

}  // namespace

std::uint8_t ModuleTypeCode(std::wstring_view text) {
  constexpr std::int64_t kMax = std::numeric_limits<std::int32_t>::max();
  constexpr std::int64_t kMin = std::numeric_limits<std::int32_t>::min();

  std::size_t i = 0;
  while (i < text.size() && IsBlank(text[i])) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == L'+' || text[i] == L'-')) {
    negative = text[i] == L'-';
    ++i;
  }
  // Accumulate the magnitude, stopping once it is past either limit: from
  // there on the result saturates whatever digits follow.
  std::int64_t magnitude = 0;
  for (; i < text.size() && text[i] >= L'0' && text[i] <= L'9'; ++i) {
    if (magnitude <= kMax + 1) magnitude = magnitude * 10 + (text[i] - L'0');
  }
  std::int64_t value = negative ? -magnitude : magnitude;
  if (value > kMax) value = kMax;
  if (value < kMin) value = kMin;
  return static_cast<std::uint8_t>(static_cast<std::uint32_t>(static_cast<std::int32_t>(value)) & 0xFFu);
}

}  // namespace zevuvuri
