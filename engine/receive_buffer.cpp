#include "engine/receive_buffer.h"

#include <algorithm>

namespace zevuvuri {

std::size_t ReceiveBuffer::Append(std::span<const std::uint8_t> bytes) {
  std::lock_guard lock(mutex_);
  const std::size_t room = kMaxCount - count_;
  const std::size_t kept = std::min(room, bytes.size());
  std::copy_n(bytes.begin(), kept, bytes_.begin() + count_);
  count_ = static_cast<std::uint16_t>(count_ + kept);
  return kept;
}

void ReceiveBuffer::Clear() {
  std::lock_guard lock(mutex_);
  count_ = 0;
}

void ReceiveBuffer::ClearWithFirstByte() {
  std::lock_guard lock(mutex_);
  count_ = 0;
  bytes_[0] = 0;
}

std::uint16_t ReceiveBuffer::Count() const {
  std::lock_guard lock(mutex_);
  return count_;
}

std::uint8_t ReceiveBuffer::FirstByte() const {
  std::lock_guard lock(mutex_);
  return bytes_[0];
}

}  // namespace zevuvuri
