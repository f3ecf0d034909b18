#include "station/live_publishing.h"

#include <cstdio>
#include <random>
#include <utility>

#include "engine/module_type.h"
#include "engine/pacing.h"
#include "engine/text_encoding.h"
#include "records/live_state_sql.h"
#include "records/report_file.h"
#include "records/unit_record.h"
#include "station/unit_session.h"
#include "zevuvuri_version.h"

namespace zevuvuri::station {
namespace {

const char* PhaseName(SlotPhase phase) {
  switch (phase) {
    case SlotPhase::Upgrading:
      return "upgrading";
    case SlotPhase::Leaving:
      return "leaving";
    case SlotPhase::Waiting:
      break;
  }
  return "waiting";
}

// A single run has no station run in its records; its live row still needs one.
std::string SingleRunId() {
  std::random_device random;
  char suffix[16];
  std::snprintf(suffix, sizeof suffix, "-%08x", static_cast<unsigned>(random()));
  return records::UtcTimeText(std::chrono::system_clock::now()) + suffix;
}

}  // namespace

records::LiveSlot LiveSlotOf(std::size_t slot, const SlotSnapshot& shown, const UnitSession* unit, unsigned number,
                             const std::string& firmware) {
  records::LiveSlot live;
  live.port = shown.port;
  live.slot = static_cast<int>(slot);
  live.unit = shown.unit;
  live.serial = shown.serial;
  live.phase = PhaseName(shown.phase);
  live.state_text = shown.text;
  if (shown.percent >= 0) live.percent = shown.percent;
  if (shown.result != ResultKind::None) {
    live.result = shown.result == ResultKind::Ok ? "ok" : "failed";
    live.result_text = shown.result_text;
  }
  live.repeat = shown.repeat;
  // The unit's image and type, while it runs and after: a slot that waits
  // for its first unit names none.
  if (unit != nullptr) {
    if (!live.unit) live.unit = number;
    live.firmware = firmware;
    if (const auto image = unit->Sinks().FirmwareImage()) live.firmware_sha256 = image->sha256;
    live.type_code = unit->TypeCode();
  }
  return live;
}

void LivePublishing::Start(const StationSettings& settings, const std::string& run_id,
                           const std::vector<SlotSnapshot>& shown, records::LiveWriterOpener opener) {
  if (!settings.records_db) return;
  records::LiveStation station;
  station.station = settings.station_name.empty() ? records::HostName() : settings.station_name;
  station.host = records::HostName();
  station.station_run = run_id.empty() ? SingleRunId() : run_id;
  station.type_code = ModuleTypeCode(FromUtf8(settings.type_text));
  station.pacing = std::string(PacingName(settings.pacing));
  station.firmware = settings.firmware;
  station.approved_sha256 = settings.firmware_sha256;
  station.loader_version = ZEVUVURI_VERSION;
  std::vector<records::LiveSlot> first;
  for (std::size_t i = 0; i < shown.size(); ++i) {
    station.ports.push_back(shown[i].port);
    first.push_back(LiveSlotOf(i, shown[i], nullptr, 0, settings.firmware));
  }
  run_.firmware = settings.firmware;
  if (!opener) {
    opener = [connection = *settings.records_db](std::string* error) {
      return records::OpenLiveStateSql(connection, error);
    };
  }
  publisher_ = std::make_unique<records::LiveStatePublisher>(std::move(station), std::move(first), run_,
                                                             std::move(opener));
  std::string error;
  // Without its thread the station runs as it would without a live state.
  if (!publisher_->Start(&error)) publisher_.reset();
}

void LivePublishing::SlotChanged(std::size_t slot, const SlotSnapshot& shown, const UnitSession* unit,
                                 unsigned number) {
  if (!publisher_) return;
  publisher_->SetSlot(LiveSlotOf(slot, shown, unit, number, run_.firmware));
  // The run flashes the image its first unit took.
  if (!run_.firmware_sha256 && unit != nullptr) {
    if (const auto image = unit->Sinks().FirmwareImage(); image && image->sha256) {
      run_.firmware_sha256 = image->sha256;
      publisher_->SetRun(run_);
    }
  }
}

void LivePublishing::RunChanged(const StationTotals& totals, const UnitSession* unit) {
  if (!publisher_) return;
  run_.units = totals.units;
  run_.ok = totals.ok;
  run_.failed = totals.failed;
  run_.failures = totals.failures;
  if (unit != nullptr) {
    if (const auto image = unit->Sinks().FirmwareImage(); image && image->sha256) run_.firmware_sha256 = image->sha256;
  }
  publisher_->SetRun(run_);
}

void LivePublishing::SetFirmware(const std::string& firmware) {
  if (run_.firmware == firmware) return;
  run_.firmware = firmware;
  run_.firmware_sha256.reset();
  if (publisher_) publisher_->SetRun(run_);
}

std::optional<std::string> LivePublishing::News() {
  if (!publisher_) return std::nullopt;
  return publisher_->News();
}

void LivePublishing::Ending() {
  if (publisher_) publisher_->Ending();
}

void LivePublishing::Stop(std::chrono::steady_clock::time_point deadline) {
  if (!publisher_) return;
  publisher_->Stop(deadline);
}

}  // namespace zevuvuri::station
