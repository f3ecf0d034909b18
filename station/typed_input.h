// The operator's typed lines as a station reads them: presses of the start
// key (Enter), scanned labels, and which waiting slot a label goes to.
#pragma once

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace zevuvuri::station {

// An empty line, or a lone '\r' (a terminal or scanner sending CR LF).
bool IsEnter(const std::string& line);

// Whether the lines press the start key. With scans a label is no press,
// only an Enter is; without, every line is one.
bool PressesStart(const std::vector<std::string>& lines, bool scans);

// A slot that waits for its next unit, and since when.
struct WaitingSlot {
  std::size_t slot = 0;
  std::chrono::steady_clock::time_point since{};
  std::string port;
};

// Where one scanned label goes.
struct ScanMatch {
  std::optional<std::string> serial;  // the label's serial number, when it reads as one
  // The slots to try in turn, the longest waiting first (one whose device
  // another slot holds takes nothing). Empty when nothing starts: `note`
  // then tells the operator why.
  std::vector<std::size_t> slots;
  std::string note;
};

// A label goes to the slot that has waited longest (the earlier slot on a
// tie). One that finds no slot waiting, or a station that takes no more
// units (`may_start` false), is dropped, as an Enter is, so that it never
// starts a board plugged later under another board's serial number. A label
// that is no serial number is refused and the slot it was for named, by
// `port_name` (how the front end names a port).
ScanMatch MatchScan(const std::string& line, std::vector<WaitingSlot> waiting, bool may_start,
                    const std::string& port_name);

// A label typed while the station is held, said to be dropped so that the
// operator scans it again rather than believing it taken; nothing for an Enter.
std::optional<std::string> HeldScanNote(const std::string& line);

}  // namespace zevuvuri::station
