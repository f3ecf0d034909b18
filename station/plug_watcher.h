// Whether a station slot's device is there, for the plug mode. One
// implementation per platform, chosen by CMake: plug_watcher_posix.cpp
// follows the port text to its device (a comN link of the port directory, or
// a path such as /dev/serial/by-id/...) and watches the folders on the way
// with inotify, so that a plug wakes the station at once; on Windows
// (plug_watcher_win32.cpp) the station's own short wait polls the COM list.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace zevuvuri::station {

struct PortPresence {
  // The device the port text leads to, not the links on the way: the same
  // while a board stays, though its link is made anew or touched. Changes
  // when the device is replaced, even by one of the same name: a board
  // unplugged and the next plugged between two looks is not taken for the
  // same board.
  std::string mark;
  // This user may open it now. A USB device appears a moment before udev has
  // given it its group: the station waits that moment out.
  bool accessible = true;
};

// Look: the station's thread. The watch calls `wake` from a thread of its
// own when something changes in a watched folder.
class PlugWatcher {
 public:
  PlugWatcher(std::vector<std::string> ports, std::function<void()> wake);
  ~PlugWatcher();
  PlugWatcher(const PlugWatcher&) = delete;
  PlugWatcher& operator=(const PlugWatcher&) = delete;

  // Whether a unit can come and go at the port text: a COM number, or on
  // POSIX a device path.
  static bool Watchable(const std::string& port_text);

  // A new pass of the station over its slots: the looks until the next
  // call may share one listing of the system's ports (Windows lists its COM
  // ports once per pass, not once per slot).
  void NewPass();

  // What is at port `slot` now: nothing when no device is there.
  std::optional<PortPresence> Look(std::size_t slot);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace zevuvuri::station
