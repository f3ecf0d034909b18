// The window's line records: with Report=, RecordsDb=, StationName= and
// FirmwareSha256= in loader.cfg, every upgrade the window runs appends its
// record to the journal (records/unit_record.h, as the command line writes
// them), and a forwarder takes the journal's records to the line's database.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "engine/pacing.h"
#include "engine/upgrade_frame.h"
#include "engine/upgrade_sinks.h"
#include "records/forwarder.h"
#include "records/forwarder_news.h"
#include "records/report_file.h"
#include "records/unit_record.h"
#include "ui/settings_file.h"

namespace zevuvuri::ui {

// The settings' values, as loader.cfg gives them (empty: not given).
struct RecordSettings {
  std::string report;           // the journal
  std::string records_db;       // an ODBC connection string
  std::string station_name;     // the host name when empty
  std::string firmware_sha256;  // the approved image
};
RecordSettings ReadRecordSettings(const SettingsFile& settings);

// Window thread only; the forwarder's own thread is its business.
class WindowRecords {
 public:
  // Opens the journal (Report=, or the default one when only RecordsDb= is
  // given) and starts the forwarder. Problem() then says why no upgrade may
  // start: a pin that is no SHA-256, a journal that cannot be opened.
  explicit WindowRecords(const RecordSettings& settings);
  ~WindowRecords();  // Close()
  WindowRecords(const WindowRecords&) = delete;
  WindowRecords& operator=(const WindowRecords&) = delete;

  const std::string& Problem() const { return problem_; }
  const std::optional<std::string>& ApprovedSha256() const { return approved_; }

  // Why this firmware file may not be flashed on this line: the journal is
  // that very file (the same name, a hard link or a symbolic link), and the
  // records appended to it would go into every later unit's image. Empty
  // when it may. `firmware` as the platform opens it.
  std::string RefusedFirmware(const std::string& firmware) const;

  // Whether a forwarder runs, so that News() is worth asking now and then.
  bool Forwards() const { return forwarder_ != nullptr; }
  // The records' state when it changed since the last call, as the command
  // line's board shows it: "records: N waiting for the database: REASON"
  // while sending fails (the password masked), "records: all in the
  // database" once they have gone after that; once, after an upgrade whose
  // record started a fresh journal because rotation took the old one, the
  // line that says so.
  std::optional<std::string> News();

  // One upgrade, as its sink calls come; from Started to Ended the
  // forwarder yields to it (RecordForwarder::SetBusy).
  void Started(const std::string& port, const std::string& firmware, unsigned type_code, Pacing pacing);
  void ImageTaken(std::uint64_t size, const std::optional<std::string>& sha256);
  void ModeLearned(LinkMode mode) { record_.link_mode = mode; }
  void FramesSent(std::uint64_t count) { record_.data_frames_sent = count; }
  void Status(std::string_view text) { record_.result = text; }
  // Appends the record; false and `*error` when it did not go out whole.
  bool Ended(UpgradeOutcome outcome, std::string* error);

  // After "couldn't open file": the image's and the approved hash, when a
  // pinned upgrade took another image.
  std::optional<std::string> NotApproved() const;

  // Ends the forwarder within records::RecordForwarder::kStopLimit; records
  // not sent stay in the journal for the next start.
  void Close();

 private:
  std::string problem_;
  std::optional<std::string> approved_;
  std::string journal_path_;
  std::string station_;
  std::string host_;
  std::unique_ptr<records::ReportFile> journal_;
  std::unique_ptr<records::RecordForwarder> forwarder_;
  records::ForwarderNews news_;
  records::UnitRecord record_;
  std::optional<std::string> fresh_start_;  // for News, once
  std::chrono::steady_clock::time_point started_;
  bool running_ = false;
};

}  // namespace zevuvuri::ui
