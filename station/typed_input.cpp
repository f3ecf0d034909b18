#include "station/typed_input.h"

#include <algorithm>
#include <utility>

#include "station/serial_scan.h"

namespace zevuvuri::station {
namespace {

std::string Named(const std::optional<std::string>& serial) {
  return serial ? "scan " + *serial : std::string("a scan");
}

}  // namespace

bool IsEnter(const std::string& line) { return line.empty() || line == "\r"; }

bool PressesStart(const std::vector<std::string>& lines, bool scans) {
  return scans ? std::any_of(lines.begin(), lines.end(), IsEnter) : !lines.empty();
}

ScanMatch MatchScan(const std::string& line, std::vector<WaitingSlot> waiting, bool may_start,
                    const std::string& port_name) {
  ScanMatch match;
  std::string why;
  match.serial = SerialFromScan(line, &why);
  if (waiting.empty() || !may_start) {
    match.note = Named(match.serial) + " dropped: no slot waits for a unit";
    return match;
  }
  std::stable_sort(waiting.begin(), waiting.end(),
                   [](const WaitingSlot& a, const WaitingSlot& b) { return a.since < b.since; });
  if (!match.serial) {
    match.note = "scan refused: " + why + "; " + port_name + " " + waiting.front().port + " waits for the next scan";
    return match;
  }
  for (const WaitingSlot& w : waiting) match.slots.push_back(w.slot);
  return match;
}

std::optional<std::string> HeldScanNote(const std::string& line) {
  if (IsEnter(line)) return std::nullopt;
  std::string why;
  return Named(SerialFromScan(line, &why)) + " dropped: no unit starts while the station is held";
}

}  // namespace zevuvuri::station
