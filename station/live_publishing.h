// A station's live state in the line's database (records/live_state_publisher.h),
// as the station model feeds it: the station's row from its settings, a slot's
// row from what the slot shows and the unit on it, the totals after each
// unit. Only with a records database; without one every call does nothing.
#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "records/live_state.h"
#include "records/live_state_publisher.h"
#include "station/station_model.h"
#include "station/station_tally.h"

namespace zevuvuri::station {

class UnitSession;

// The live row of a slot: the snapshot, and of the unit on it or the last
// one (`unit`, numbered `number`; null before the slot's first) its number,
// image and module type. The view drops a plug slot's unit once the board has
// gone; the row keeps the last one, as the line asks "what did this slot do".
records::LiveSlot LiveSlotOf(std::size_t slot, const SlotSnapshot& shown, const UnitSession* unit, unsigned number,
                             const std::string& firmware);

// The station's thread only.
class LivePublishing {
 public:
  // Starts the publisher when the settings name a records database:
  // `shown`, every slot's first state. `opener`: where it writes (the
  // database itself when empty).
  void Start(const StationSettings& settings, const std::string& run_id, const std::vector<SlotSnapshot>& shown,
             records::LiveWriterOpener opener = {});
  void SlotChanged(std::size_t slot, const SlotSnapshot& shown, const UnitSession* unit, unsigned number);
  // The totals after a unit, and the image a unit took (the station's row
  // names the image the run flashes).
  void RunChanged(const StationTotals& totals, const UnitSession* unit);
  // A single run on request that flashes another file from now on.
  void SetFirmware(const std::string& firmware);
  // Once: why the live state is not published.
  std::optional<std::string> News();
  // The run ended: the last states and its end go out; returns at once.
  void Ending();
  // Waits for the end to be written until `deadline`, then lets go.
  void Stop(std::chrono::steady_clock::time_point deadline);

 private:
  std::unique_ptr<records::LiveStatePublisher> publisher_;
  records::LiveRun run_;
};

}  // namespace zevuvuri::station
