#include "ui/key_presses.h"

namespace zevuvuri::ui {

bool KeyPresses::Pressed(int key, std::uint64_t time, bool repeat) {
  State& state = keys_[key];
  // Down already (no release between: a system that marks its repeats), or
  // back down at the time stamp of its release (the X server's repeat pair).
  // A time of 0 is no time stamp at all (events a program or a test makes):
  // such presses are told apart by their releases alone.
  const bool again = state.down || (state.released && time != 0 && state.released_at == time);
  state.down = true;
  return !repeat && !again;
}

void KeyPresses::Released(int key, std::uint64_t time) {
  State& state = keys_[key];
  state.down = false;
  state.released = true;
  state.released_at = time;
}

}  // namespace zevuvuri::ui
