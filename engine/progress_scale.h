// The progress bar's range is 16 bits wide. Files of up to 131071 bytes use
// half their offsets, as the operators know it; larger files use a coarser
// divisor so that the bar still ends full instead of wrapping.
#pragma once

#include <algorithm>
#include <cstdint>

namespace zevuvuri {

struct ProgressScale {
  std::uint64_t divisor = 2;
  std::uint16_t maximum = 0;

  std::uint32_t Position(std::uint64_t offset) const { return static_cast<std::uint32_t>(offset / divisor); }
};

// The smallest divisor, at least 2, that keeps size / divisor within 16 bits.
inline ProgressScale ProgressScaleFor(std::uint64_t file_size) {
  const std::uint64_t divisor = std::max<std::uint64_t>(2, file_size / 0x10000 + 1);
  return ProgressScale{divisor, static_cast<std::uint16_t>(file_size / divisor)};
}

}  // namespace zevuvuri
