// One press of a key counts once, however long it is held. A held key comes
// as a stream of presses: Windows marks each repeat in the message itself,
// but an X server without detectable auto-repeat sends each repeat as a
// release and a press with one time stamp, which the toolkit does not always
// see as a repeat when the two arrive in separate reads. This tells a new
// press from a repeat by what came before it, for any toolkit.
#pragma once

#include <cstdint>
#include <map>

namespace zevuvuri::ui {

class KeyPresses {
 public:
  // A key went down at `time` (the window system's milliseconds); `repeat`:
  // the toolkit says it is an auto-repeat. True for a new press: the key was
  // up, and it did not come back at the very moment it was let go.
  bool Pressed(int key, std::uint64_t time, bool repeat);
  // The key went up at `time` (a repeat's release included: the press that
  // follows it tells).
  void Released(int key, std::uint64_t time);
  // Every key taken as up: the window lost the keyboard, and a release may
  // have gone elsewhere.
  void Forget() { keys_.clear(); }

 private:
  struct State {
    bool down = false;
    bool released = false;       // let go at least once
    std::uint64_t released_at = 0;
  };
  std::map<int, State> keys_;
};

}  // namespace zevuvuri::ui
