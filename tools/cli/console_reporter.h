// The command line's view of one upgrade: status texts as plain lines (or
// JSON events) on standard output, a progress bar on a terminal's standard
// error. The station keeps the upgrade's state (station/unit_sinks.h) and
// passes each call on to this reporter.
// With several ports, one reporter per port: its lines carry the port, and on
// a terminal a shared board shows every port's progress instead. A station
// has one reporter per unit, whose lines also carry the unit's number.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "engine/pacing.h"
#include "engine/upgrade_sinks.h"

namespace zevuvuri::cli {

class ProgressBoard;

// Where one port's upgrade is shown.
struct ReporterPlace {
  std::string port;            // the port text, carried by every JSON event
  bool prefix_lines = false;   // plain lines as "PORT: text"
  ProgressBoard* board = nullptr;  // a terminal board instead of lines and a bar
  std::size_t row = 0;         // this port's line on the board
  std::optional<unsigned> unit;  // station mode: the unit's number, in every line and event
};

// Sinks: called from the main thread (Start) and the worker; Note and
// Result: main thread. Every print is one stdio call under one lock, so lines
// never interleave, those of other ports' reporters included.
class ConsoleReporter final : public UpgradeSinks {
 public:
  ConsoleReporter(std::FILE* out, std::FILE* err, bool json, bool progress_bar, ReporterPlace place = {});

  void SetStatus(std::string_view text) override;
  void SetButtonCaption(std::string_view) override {}
  void EnableButton(bool) override {}
  void SetProgressRange(std::uint16_t) override {}
  void SetProgressPosition(std::uint32_t) override {}
  void EndProcess() override {}
  void LinkModeLearned(LinkMode mode) override;
  void DataProgress(std::uint64_t bytes_sent, std::uint64_t file_size) override;

  // The last status text shown, for the summary.
  std::string LastStatus() const;

  // Notes for the operator, on standard error (a JSON "note" event with --json).
  void Note(const std::string& text);
  void Result(UpgradeOutcome outcome, int exit_code, double seconds, Pacing pacing);

 private:
  void ClearProgressLine();  // under mutex_
  void DrawProgressLine(std::uint64_t bytes_sent, std::uint64_t file_size);  // under mutex_
  void EmitJson(nlohmann::json event);  // under mutex_
  void PrintLine(std::FILE* to, std::string_view text);  // under mutex_
  std::string Prefix() const;  // "PORT: " or "PORT #UNIT: "

  std::FILE* const out_;
  std::FILE* const err_;
  const bool json_;
  const bool progress_bar_;
  const ReporterPlace place_;

  mutable std::mutex mutex_;
  std::string last_status_;
  bool progress_shown_ = false;
  std::optional<std::chrono::steady_clock::time_point> data_started_;
  std::chrono::steady_clock::time_point last_progress_{};
};

}  // namespace zevuvuri::cli
