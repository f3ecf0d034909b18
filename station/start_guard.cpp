#include "station/start_guard.h"

namespace zevuvuri::station {

bool StartGuard::Allows(std::size_t slot, Clock::time_point now) const {
  if (slot >= last_.size() || !last_[slot]) return true;
  // A clock that went back (never with a steady one, but a caller's may)
  // counts as inside the guard rather than as a long time since.
  return now - *last_[slot] >= guard_;
}

void StartGuard::Started(std::size_t slot, Clock::time_point now) {
  if (slot >= last_.size()) last_.resize(slot + 1);
  last_[slot] = now;
}

}  // namespace zevuvuri::station
