#include "ui/window_records.h"

#include <utility>

#include "records/approved_image.h"
#include "records/state_folder.h"
#include "station/journal_files.h"
#include "station/station_name.h"
#include "zevuvuri_version.h"

namespace zevuvuri::ui {

RecordSettings ReadRecordSettings(const SettingsFile& settings) {
  return RecordSettings{settings.Read(setting::kReport), settings.Read(setting::kRecordsDb),
                        settings.Read(setting::kStationName), settings.Read(setting::kFirmwareSha256)};
}

WindowRecords::WindowRecords(const RecordSettings& settings) {
  if (const auto name_problem = station::StationNameProblem(settings.station_name)) {
    problem_ = "StationName= in loader.cfg: " + *name_problem + ": no upgrade starts";
    return;
  }
  if (!settings.firmware_sha256.empty()) {
    approved_ = records::ApprovedSha256(settings.firmware_sha256);
    if (!approved_) {
      problem_ = "FirmwareSha256= in loader.cfg is not a SHA-256 (64 hex digits): no upgrade starts";
      return;
    }
  }
  std::string journal = settings.report;
  if (journal.empty() && !settings.records_db.empty()) journal = records::DefaultJournalPath();
  if (journal.empty()) {
    if (!settings.records_db.empty()) problem_ = "RecordsDb= in loader.cfg: no folder is known for the journal: give Report=";
    return;
  }
  std::string error;
  if (!settings.records_db.empty() && !records::MakeJournalFolder(journal, &error)) {
    problem_ = "Report= in loader.cfg: " + error;
    return;
  }
  journal_path_ = journal;
  journal_ = records::ReportFile::Open(journal, &error);
  if (!journal_) {
    problem_ = "Report= in loader.cfg: " + error;
    return;
  }
  host_ = records::HostName();
  station_ = settings.station_name.empty() ? host_ : settings.station_name;
  if (!settings.records_db.empty()) {
    forwarder_ = std::make_unique<records::RecordForwarder>(journal, settings.records_db);
    if (!forwarder_->Start(&error)) {
      forwarder_.reset();
      problem_ = "RecordsDb= in loader.cfg: " + error;
    }
  }
}

WindowRecords::~WindowRecords() { Close(); }

void WindowRecords::Started(const std::string& port, const std::string& firmware, unsigned type_code, Pacing pacing) {
  record_ = records::UnitRecord{};
  record_.station = station_;
  record_.loader_version = ZEVUVURI_VERSION;
  record_.started = std::chrono::system_clock::now();
  record_.host = host_;
  record_.port = port;
  record_.firmware = firmware;
  record_.type_code = type_code;
  record_.pacing = pacing;
  record_.approved_sha256 = approved_;
  started_ = std::chrono::steady_clock::now();
  running_ = true;
  // The forwarder yields while the upgrade streams.
  if (forwarder_) forwarder_->SetBusy(true);
}

void WindowRecords::ImageTaken(std::uint64_t size, const std::optional<std::string>& sha256) {
  record_.firmware_size = size;
  record_.firmware_sha256 = sha256;
}

// The window's own ending in the exit code: 0 after "Upgrade OK", 1 for any
// other, as a production window's process ends.
bool WindowRecords::Ended(UpgradeOutcome outcome, std::string* error) {
  if (forwarder_) forwarder_->SetBusy(false);
  if (!journal_ || !running_) return true;
  running_ = false;
  record_.record_id = records::NewRecordId();
  record_.exit_code = outcome == UpgradeOutcome::Ok ? 0 : 1;
  record_.duration_s = std::chrono::duration<double>(std::chrono::steady_clock::now() - started_).count();
  if (!journal_->Append(records::RecordLine(record_), error)) return false;
  if (auto fresh = journal_->FreshStart()) fresh_start_ = "records: " + *fresh;
  if (forwarder_) forwarder_->Wake();
  return true;
}

std::optional<std::string> WindowRecords::NotApproved() const {
  if (!approved_ || !record_.firmware_sha256 || *record_.firmware_sha256 == *approved_) return std::nullopt;
  return records::ImageNotApprovedText(*record_.firmware_sha256, *approved_);
}

std::string WindowRecords::RefusedFirmware(const std::string& firmware) const {
  if (journal_path_.empty()) return {};
  const auto clash = station::JournalFileIsFirmware(journal_path_, firmware);
  if (!clash) return {};
  return "Report= in loader.cfg: " + *clash + " is the firmware file: give the records a file of their own";
}

std::optional<std::string> WindowRecords::News() {
  // Rotation took the journal: said once, until the forwarder's state changes.
  if (fresh_start_) return std::exchange(fresh_start_, std::nullopt);
  if (!forwarder_) return std::nullopt;
  return news_.Next(forwarder_->State());
}

void WindowRecords::Close() {
  if (forwarder_) {
    forwarder_->SetBusy(false);
    forwarder_->WaitSent(std::chrono::milliseconds{400});
    forwarder_->Stop(records::RecordForwarder::kStopLimit);
    forwarder_.reset();
  }
  journal_.reset();
}

}  // namespace zevuvuri::ui
