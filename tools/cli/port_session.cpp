#include "tools/cli/port_session.h"

#include <cstdio>
#include <filesystem>
#include <system_error>
#include <thread>

#include "engine/port_diagnosis.h"
#include "engine/text_encoding.h"
#include "records/approved_image.h"
#include "records/journal.h"
#include "records/state_folder.h"
#include "records/unit_record.h"
#include "tools/cli/exit_codes.h"
#include "tools/cli/output_check.h"
#include "zevuvuri_version.h"

namespace zevuvuri::cli {

std::unique_ptr<PortSession> MakeSession(const CliOptions& options, const std::string& port,
                                         const ReporterPlace& place, const std::string& label) {
  auto s = std::make_unique<PortSession>();
  s->port = port;
  s->reporter = std::make_unique<ConsoleReporter>(stdout, stderr, options.json, ErrorIsTerminal(), place);
  s->trace = std::make_unique<LinkTrace>(stderr, label);
  s->controller = std::make_unique<UpgradeController>(*s->reporter);
  s->controller->SetPacing(options.pacing);
  if (options.trace) s->controller->Link().SetObserver(s->trace.get());
  if (options.yes) {
    // Confirmed from the worker at the first acknowledged poll, in every
    // pacing: waiting for the main loop would let fast pacing send hundreds more.
    s->reporter->SetPollHook([controller = s->controller.get()] {
      if (controller->Mode() == LinkMode::OverTheAir) controller->Confirm();
    });
  }
  s->approved_sha256 = options.firmware_sha256;
  s->controller->SetExpectedSha256(options.firmware_sha256);
  if (options.sync_timeout_seconds) {
    s->controller->SetSyncLimit(std::chrono::milliseconds(static_cast<long long>(*options.sync_timeout_seconds * 1000)));
  }
  return s;
}

void StartSession(PortSession& s, const CliOptions& options) {
  if (options.report) {
    s.device = DeviceForPort(s.port);
    if (!s.device.empty()) s.usb = DescribeDevice(s.device).usb;
  }
  s.started_wall = std::chrono::system_clock::now();
  s.started = std::chrono::steady_clock::now();
  // The port's and the file name's bytes as given: a name that is no UTF-8
  // opens as it is, never a look-alike.
  s.controller->Start(s.port, FromUtf8(options.type), FirmwareName::FromBytes(options.firmware));
}

void FinishSession(PortSession& s, UpgradeOutcome outcome, Pacing pacing) {
  s.outcome = outcome;
  s.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - s.started).count();
  s.exit_code = static_cast<int>(ExitCodeFor(outcome));
  if (outcome == UpgradeOutcome::PortFailure) {
    s.reporter->Note(ExplainOpenFailure(s.port, s.controller->Link().LastOpenError()));
  }
  if (outcome == UpgradeOutcome::FileFailure && s.approved_sha256) {
    const auto image = s.reporter->FirmwareImage();
    if (image && image->sha256 && *image->sha256 != *s.approved_sha256) {
      s.reporter->Note(records::ImageNotApprovedText(*image->sha256, *s.approved_sha256));
    }
  }
  s.reporter->Result(outcome, s.exit_code, s.seconds, pacing);
}

void StopSessions(const std::vector<PortSession*>& sessions, Pacing pacing) {
  std::vector<std::thread> stopping;
  for (PortSession* s : sessions) {
    UpgradeController* controller = s->controller.get();
    try {
      stopping.emplace_back([controller] { controller->Shutdown(); });
    } catch (const std::system_error&) {
      controller->Shutdown();
    }
  }
  for (auto& t : stopping) t.join();
  for (PortSession* s : sessions) {
    std::optional<UpgradeOutcome> outcome = s->reporter->Ended();
    if (!outcome) {
      outcome = s->controller->LastOutcome() == UpgradeOutcome::Ok ? UpgradeOutcome::Ok : UpgradeOutcome::Cancelled;
    }
    if (*outcome == UpgradeOutcome::Cancelled) s->reporter->Note("interrupted: port closed");
    FinishSession(*s, *outcome, pacing);
  }
}

std::string ResultText(const PortSession& s) {
  return s.outcome == UpgradeOutcome::Cancelled ? "interrupted" : s.reporter->LastStatus();
}

bool PortsNameDistinctDevices(const std::vector<std::string>& ports) {
  for (std::size_t i = 0; i < ports.size(); ++i) {
    const std::string device = DeviceForPort(ports[i]);
    for (std::size_t j = 0; j < i && !device.empty(); ++j) {
      if (DeviceForPort(ports[j]) == device) {
        std::fprintf(stderr, "zevuvuri-cli: --port %s and --port %s name the same device %s\n", ports[j].c_str(),
                     ports[i].c_str(), device.c_str());
        return false;
      }
    }
  }
  return true;
}

int UnitRecords::Open(const CliOptions& options, bool serials) {
  if (!options.report) return 0;
  // Records appended to the image itself would be flashed to every later unit.
  if (records::SameFile(*options.report, options.firmware)) {
    std::fprintf(stderr, "zevuvuri-cli: --report %s is the firmware file %s: give the records a file of their own\n",
                 options.report->c_str(), options.firmware.c_str());
    return static_cast<int>(ExitCode::Usage);
  }
  std::string error;
  // The forwarder reads the journal back: a pipe or a device would hand it
  // the bytes meant for their reader. Checked before the open, which would
  // wait for a FIFO's reader.
  std::error_code ec;
  const auto journal = std::filesystem::u8path(*options.report);
  if (options.records_db && std::filesystem::exists(journal, ec) && !std::filesystem::is_regular_file(journal, ec)) {
    std::fprintf(stderr, "zevuvuri-cli: --records-db: the journal %s must be a regular file\n",
                 options.report->c_str());
    return static_cast<int>(ExitCode::Usage);
  }
  if (options.records_db && !records::MakeJournalFolder(*options.report, &error)) {
    std::fprintf(stderr, "zevuvuri-cli: --report: %s\n", error.c_str());
    return static_cast<int>(ExitCode::Report);
  }
  file_ = records::ReportFile::Open(*options.report, &error, records::StopCheck{InterruptRequested, WaitForWake});
  if (!file_) {
    std::fprintf(stderr, "zevuvuri-cli: --report: %s\n", error.c_str());
    return static_cast<int>(InterruptRequested() ? ExitCode::Interrupted : ExitCode::Report);
  }
  // A pipe or a device hands out what is meant for its reader: only a file is read back.
  if (serials && std::filesystem::is_regular_file(journal, ec) && !ReadUpgradedSerials(*options.report)) {
    return static_cast<int>(ExitCode::Report);
  }
  host_ = records::HostName();
  const auto absolute = std::filesystem::absolute(std::filesystem::u8path(options.firmware), ec);
  const std::u8string utf8 = absolute.u8string();
  firmware_path_ = ec ? options.firmware : std::string(utf8.begin(), utf8.end());
  station_ = options.station_name;
  if (options.records_db && !line_.Start(*options.report, *options.records_db, &error)) {
    std::fprintf(stderr, "zevuvuri-cli: --records-db: %s\n", error.c_str());
    return static_cast<int>(ExitCode::Thread);
  }
  return 0;
}

// The journal's "Upgrade OK" records that carry a serial number: a board
// scanned again with the same image is then flagged as a repeat.
bool UnitRecords::ReadUpgradedSerials(const std::string& path) {
  constexpr std::size_t kLinesPerRead = 4096;
  std::uint64_t offset = 0;
  for (;;) {
    std::vector<records::JournalLine> lines;
    std::string error;
    if (!records::ReadJournal(path, offset, kLinesPerRead, &lines, &error)) {
      std::fprintf(stderr, "zevuvuri-cli: --report: %s\n", error.c_str());
      return false;
    }
    for (const auto& line : lines) {
      const auto row = records::ParseRecord(line.text);
      if (row && row->result == "Upgrade OK" && row->serial_number && row->firmware_sha256) {
        upgraded_.emplace(*row->serial_number, *row->firmware_sha256);
      }
    }
    if (lines.size() < kLinesPerRead) return true;
    offset = lines.back().end;
  }
}

bool UnitRecords::UpgradedBefore(const std::string& serial, const std::string& sha256) const {
  return upgraded_.count({serial, sha256}) > 0;
}

void UnitRecords::Finish(bool interrupted) {
  waiting_ = line_.Finish(interrupted || InterruptRequested());
  SayRecordsWaiting(waiting_, line_.Journal());
}

void UnitRecords::Write(const PortSession& s, Pacing pacing, std::optional<unsigned> unit) {
  if (!file_) return;
  records::UnitRecord r;
  r.record_id = records::NewRecordId();
  r.station = station_;
  r.loader_version = ZEVUVURI_VERSION;
  r.started = s.started_wall;
  r.host = host_;
  r.port = s.port;
  r.device = s.device;
  r.usb = s.usb;
  r.firmware = firmware_path_;
  // The image the upgrade took (the whole file as it was when the upgrade
  // began, which every frame carried): nothing when none was taken.
  if (const auto image = s.reporter->FirmwareImage()) {
    r.firmware_size = image->size;
    r.firmware_sha256 = image->sha256;
  }
  r.approved_sha256 = s.approved_sha256;
  r.type_code = s.controller->TypeCode();
  r.link_mode = s.reporter->LearnedMode();
  r.pacing = pacing;
  r.data_frames_sent = s.reporter->DataFramesSent();
  r.result = ResultText(s);
  r.exit_code = s.exit_code;
  r.duration_s = s.seconds;
  r.unit = unit;
  r.station_run = station_run_;
  r.serial_number = s.serial_number;
  r.repeat = s.repeat;
  std::string error;
  if (!file_->Append(records::RecordLine(r), &error)) {
    failed_ = true;
    interrupted_ = interrupted_ || InterruptRequested();
    s.reporter->Note("the record could not be written: " + error);
    return;
  }
  if (s.serial_number && r.firmware_sha256 && r.result == "Upgrade OK") {
    upgraded_.emplace(*s.serial_number, *r.firmware_sha256);
  }
  line_.Wake();
}

int RunExitStatus(int first_failure, bool interrupted, const UnitRecords& records) {
  if (interrupted || records.Interrupted()) return static_cast<int>(ExitCode::Interrupted);
  if (first_failure != 0) return first_failure;
  if (records.Failed()) return static_cast<int>(ExitCode::Report);
  if (records.Waiting() > 0) return static_cast<int>(ExitCode::RecordsWaiting);
  if (OutputFailed()) return static_cast<int>(ExitCode::Output);
  return 0;
}

std::vector<PortSession*> Confirmations::Waiting(const std::vector<PortSession*>& running) {
  std::vector<PortSession*> waiting;
  for (PortSession* s : running) {
    const auto& c = *s->controller;
    if (!s->outcome && c.State() == UpgradeState::Acquiring && c.Mode() == LinkMode::OverTheAir &&
        s->reporter->ButtonEnabled()) {
      waiting.push_back(s);
    }
  }
  if (yes_) return waiting;
  for (PortSession* s : waiting) {
    if (s->prompted) continue;
    s->prompted = true;
    s->reporter->Note("over the air: press Enter to start the upgrade (or run with --yes)");
  }
  return waiting;
}

void Confirmations::Apply(const std::vector<PortSession*>& waiting, bool enter) {
  for (PortSession* s : waiting) {
    if (yes_ ? s->reporter->PollsAcknowledged() > 0 : enter) s->controller->Confirm();
  }
}

std::vector<std::string> OperatorKeys::Lines() {
  if (!open_) return {};
  return key_.Lines(&open_);
}

bool OperatorKeys::EndJustSeen() {
  if (open_ || end_seen_) return false;
  end_seen_ = true;
  return true;
}

}  // namespace zevuvuri::cli
