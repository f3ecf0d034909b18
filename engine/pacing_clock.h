// Where the engine's pauses go. Real time by default; tests and fuzzers give
// the link and the controller a clock of their own so that an upgrade's
// timing can be played out exactly and without waiting.
#pragma once

#include <chrono>

namespace zevuvuri {

class PacingClock {
 public:
  virtual ~PacingClock() = default;
  // Pauses the calling thread for `duration` of this clock's time.
  virtual void Sleep(std::chrono::milliseconds duration) = 0;
};

}  // namespace zevuvuri
