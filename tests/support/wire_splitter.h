// Splits the loader's byte stream into the messages a module sees: the
// wake-up, probes, poll and data frames, the end header, fillers and trailer.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <vector>

namespace zevuvuri::testing {

struct WireMessage {
  enum class Kind { WakeUp, Probe, Poll, Data, End, Fillers, Trailer, Junk };
  Kind kind;
  std::vector<std::uint8_t> bytes;  // exactly as received
  std::chrono::steady_clock::time_point at;
};

class WireSplitter {
 public:
  // Takes one byte; a message once this byte completes one.
  std::optional<WireMessage> Take(std::uint8_t byte);

 private:
  std::optional<WireMessage> Complete(WireMessage::Kind kind);

  std::vector<std::uint8_t> pending_;
  bool after_end_ = false;
  bool framing_ = false;
};

}  // namespace zevuvuri::testing
