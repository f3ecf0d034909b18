#include "tests/support/wire_splitter.h"

#include <string_view>

namespace zevuvuri::testing {
namespace {

constexpr std::string_view kWake = "ATZ\r\nATZ\r\n";

}  // namespace

// The wake-up, single probe bytes, then 4-byte headers whose marker says how
// many bytes follow; after the end header, 56 fillers and a 60-byte trailer.
std::optional<WireMessage> WireSplitter::Take(std::uint8_t byte) {
  pending_.push_back(byte);
  using K = WireMessage::Kind;
  const std::string_view seen(reinterpret_cast<const char*>(pending_.data()), pending_.size());
  if (kWake.starts_with(seen)) {
    if (seen.size() != kWake.size()) return std::nullopt;
    after_end_ = false;
    framing_ = false;
    return Complete(K::WakeUp);
  }
  if (after_end_) {
    const bool fillers = pending_.front() == 'X';
    if (pending_.size() == (fillers ? 56u : 60u)) return Complete(fillers ? K::Fillers : K::Trailer);
    return std::nullopt;
  }
  // Probes come only before the first frame: later, a frame may begin with
  // 0x58 (the data frame at offset 1624 does).
  if (!framing_ && pending_.size() == 1 && byte == 'X') return Complete(K::Probe);
  if (pending_.size() < 4) return std::nullopt;
  framing_ = true;
  if (pending_[2] == 0x00) return pending_.size() == 60 ? Complete(K::Poll) : std::nullopt;
  if ((pending_[2] & 0xF0) == 0x50) return pending_.size() == 60 ? Complete(K::Data) : std::nullopt;
  if ((pending_[2] & 0xF0) == 0x70) {
    after_end_ = true;
    return Complete(K::End);
  }
  return Complete(K::Junk);
}

std::optional<WireMessage> WireSplitter::Complete(WireMessage::Kind kind) {
  WireMessage message{kind, pending_, std::chrono::steady_clock::now()};
  pending_.clear();
  return message;
}

}  // namespace zevuvuri::testing
