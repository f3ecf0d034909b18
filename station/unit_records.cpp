#include "station/unit_records.h"

#include <filesystem>
#include <system_error>

#include "records/state_folder.h"
#include "records/unit_record.h"
#include "station/exit_codes.h"
#include "station/journal_files.h"
#include "zevuvuri_version.h"

namespace zevuvuri::station {

int UnitRecords::Open(const StationSettings& settings, bool serials, std::string* why) {
  interrupt_ = settings.interrupt;
  if (!settings.report) return 0;
  const std::string& report = *settings.report;
  // Records appended to the image itself, or the forwarder's mark written
  // over it, would be flashed to every later unit.
  names_ = settings.names;
  report_ = report;
  if (const auto clash = FirmwareRefused(settings.firmware)) {
    *why = *clash;
    return static_cast<int>(ExitCode::Usage);
  }
  std::string error;
  // The forwarder reads the journal back: a pipe or a device would hand it
  // the bytes meant for their reader. Checked before the open, which would
  // wait for a FIFO's reader.
  std::error_code ec;
  const auto journal = std::filesystem::u8path(report);
  if (settings.records_db && std::filesystem::exists(journal, ec) && !std::filesystem::is_regular_file(journal, ec)) {
    *why = names_.records_db + ": the journal " + report + " must be a regular file";
    return static_cast<int>(ExitCode::Usage);
  }
  if (settings.records_db && !records::MakeJournalFolder(report, &error)) {
    *why = names_.report + ": " + error;
    return static_cast<int>(ExitCode::Report);
  }
  file_ = records::ReportFile::Open(report, &error, settings.interrupt);
  if (!file_) {
    *why = names_.report + ": " + error;
    return static_cast<int>(InterruptAsked() ? ExitCode::Interrupted : ExitCode::Report);
  }
  // A pipe or a device hands out what is meant for its reader: only a file is read back.
  // The journal's "Upgrade OK" records that carry a serial number: a board
  // scanned again with the same image is then flagged as a repeat.
  if (serials && std::filesystem::is_regular_file(journal, ec) && !repeats_.ReadJournal(report, &error)) {
    *why = names_.report + ": " + error;
    return static_cast<int>(ExitCode::Report);
  }
  host_ = records::HostName();
  SetFirmware(settings.firmware);
  station_ = settings.station_name;
  if (settings.records_db && !forwarding_.Start(report, *settings.records_db, &error)) {
    *why = names_.records_db + ": " + error;
    return static_cast<int>(ExitCode::Thread);
  }
  return 0;
}

std::optional<std::string> UnitRecords::FirmwareRefused(const std::string& firmware) const {
  if (report_.empty()) return std::nullopt;
  const auto clash = JournalFileIsFirmware(report_, firmware);
  if (!clash) return std::nullopt;
  if (!names_.file_after_name) {
    return names_.report + ": " + *clash + " is the firmware file: give the records a file of their own";
  }
  return names_.report + " " + report_ + ": " + *clash + " is the firmware file " + firmware +
         ": give the records a file of their own";
}

void UnitRecords::SetFirmware(const std::string& firmware) {
  std::error_code ec;
  const auto absolute = std::filesystem::absolute(std::filesystem::u8path(firmware), ec);
  const std::u8string utf8 = absolute.u8string();
  firmware_path_ = ec ? firmware : std::string(utf8.begin(), utf8.end());
}

std::optional<std::string> UnitRecords::News() {
  if (auto line = Unwritten()) return line;
  return forwarding_.News();
}

void UnitRecords::Finish(bool interrupted) { left_ = forwarding_.Finish(interrupted || InterruptAsked()); }

void UnitRecords::Write(const UnitSession& s, std::optional<unsigned> unit) {
  if (!file_) return;
  records::UnitRecord r;
  r.record_id = records::NewRecordId();
  r.station = station_;
  r.loader_version = ZEVUVURI_VERSION;
  r.started = s.StartedWall();
  r.host = host_;
  r.port = s.Port();
  r.device = s.Device();
  r.usb = s.Usb();
  r.firmware = firmware_path_;
  // The image the upgrade took (the whole file as it was when the upgrade
  // began, which every frame carried): nothing when none was taken.
  if (const auto image = s.Sinks().FirmwareImage()) {
    r.firmware_size = image->size;
    r.firmware_sha256 = image->sha256;
  }
  r.approved_sha256 = s.ApprovedSha256();
  r.type_code = s.TypeCode();
  r.link_mode = s.Sinks().LearnedMode();
  r.pacing = s.GetPacing();
  r.data_frames_sent = s.Sinks().DataFramesSent();
  r.result = s.ResultText();
  r.exit_code = s.ExitCode();
  r.duration_s = s.Seconds();
  r.unit = unit;
  r.station_run = station_run_;
  r.serial_number = s.SerialNumber();
  r.repeat = s.Repeat();
  std::string error;
  if (!file_->Append(records::RecordLine(r), &error)) {
    failed_ = true;
    interrupted_ = interrupted_ || InterruptAsked();
    s.Note("the record could not be written: " + error);
    // Said on the records' line too: the unit's own line may soon show the
    // next unit.
    unwritten_ = "records: " + (unit ? "unit " + std::to_string(*unit) + "'s record" : std::string("the record")) +
                 " was not written: " + error;
    return;
  }
  // Rotation took the journal: said once, on the unit whose record started
  // the fresh one.
  if (const auto fresh = file_->FreshStart()) s.Note(*fresh);
  repeats_.Take(r.serial_number, r.firmware_sha256, r.result);
  forwarding_.Wake();
}

}  // namespace zevuvuri::station
