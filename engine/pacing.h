// How the upgrade waits for the module. Classic is the pacing the modules in
// the field are tuned to: replies looked for in 10 ms steps, the receive
// thread pausing 10 ms (serial) or 50 ms (over the air) between reads. Fast
// sends the same bytes in the same writes, order, pauses and time limits,
// but hands each arrival to the worker at once, so a frame costs what the
// wire and the module take.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace zevuvuri {

enum class Pacing : std::uint8_t { Classic, Fast };

constexpr std::string_view PacingName(Pacing pacing) { return pacing == Pacing::Fast ? "fast" : "classic"; }

// "classic" or "fast", exactly; nothing for anything else.
constexpr std::optional<Pacing> ParsePacing(std::string_view text) {
  if (text == "classic") return Pacing::Classic;
  if (text == "fast") return Pacing::Fast;
  return std::nullopt;
}

}  // namespace zevuvuri
