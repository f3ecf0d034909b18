#include "engine/sha256.h"

namespace zevuvuri {

std::string HexOf(std::span<const std::uint8_t> digest) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string hex;
  for (const std::uint8_t d : digest) {
    hex += kDigits[d >> 4];
    hex += kDigits[d & 0xF];
  }
  return hex;
}

}  // namespace zevuvuri
