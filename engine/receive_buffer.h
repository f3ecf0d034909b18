// The bytes the module sent since the worker last cleared the reply count.
// Byte 0 is the module's reply; only it is interpreted.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <span>

namespace zevuvuri {

// Append: receive thread only. Clear, ClearWithFirstByte, Count, FirstByte:
// any thread. Every operation takes the one short lock, so an append (read the
// count, copy, store the new count) never interleaves with a clear.
class ReceiveBuffer {
 public:
  static constexpr std::size_t kCapacity = 65536;
  // The count is 16 bits wide; appends that would take it past this are dropped
  // rather than wrapped, so a flood of bytes never moves the reply away from byte 0.
  static constexpr std::size_t kMaxCount = 65535;

  // Copies `bytes` at the current count; returns how many were kept.
  std::size_t Append(std::span<const std::uint8_t> bytes);
  void Clear();
  void ClearWithFirstByte();
  std::uint16_t Count() const;
  std::uint8_t FirstByte() const;

 private:
  mutable std::mutex mutex_;
  std::uint16_t count_ = 0;
  std::array<std::uint8_t, kCapacity> bytes_{};
};

}  // namespace zevuvuri
