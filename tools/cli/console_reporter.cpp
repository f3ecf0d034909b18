#include "tools/cli/console_reporter.h"

#include <algorithm>

#include "station/exit_codes.h"
#include "records/json_line.h"
#include "tools/cli/output_check.h"
#include "tools/cli/progress_board.h"

namespace zevuvuri::cli {

using station::OutcomeName;

namespace {

constexpr auto kProgressInterval = std::chrono::milliseconds{100};

std::string Clock(double seconds) {
  const auto s = static_cast<long>(seconds + 0.5);
  char text[32];
  std::snprintf(text, sizeof text, "%ld:%02ld", s / 60, s % 60);
  return text;
}

std::string_view ModeName(LinkMode mode) { return mode == LinkMode::Serial ? "serial" : "over_the_air"; }

}  // namespace

ConsoleReporter::ConsoleReporter(std::FILE* out, std::FILE* err, bool json, bool progress_bar, ReporterPlace place)
    : out_(out), err_(err), json_(json), progress_bar_(progress_bar && !json && place.board == nullptr),
      place_(std::move(place)) {}

std::string ConsoleReporter::Prefix() const {
  return place_.unit ? place_.port + " #" + std::to_string(*place_.unit) + ": " : place_.port + ": ";
}

void ConsoleReporter::EmitJson(nlohmann::json event) {
  if (!place_.port.empty()) event["port"] = place_.port;
  if (place_.unit) event["unit"] = *place_.unit;
  const std::string line = records::JsonLine(event) + "\n";
  std::fputs(line.c_str(), out_);
  FlushChecked(out_);
}

void ConsoleReporter::PrintLine(std::FILE* to, std::string_view text) {
  std::string line = place_.prefix_lines ? Prefix() : std::string();
  line += text;
  line += "\n";
  std::fputs(line.c_str(), to);
  FlushChecked(to);
}

void ConsoleReporter::SetStatus(std::string_view text) {
  std::lock_guard lock(mutex_);
  last_status_ = text;
  if (json_) {
    EmitJson({{"event", "status"}, {"text", text}});
    return;
  }
  if (place_.board != nullptr) {
    place_.board->SetStatus(place_.row, text);
    return;
  }
  ClearProgressLine();
  PrintLine(out_, text);
}

void ConsoleReporter::LinkModeLearned(LinkMode mode) {
  std::lock_guard lock(mutex_);
  if (json_) {
    EmitJson({{"event", "link_mode"}, {"mode", ModeName(mode)}});
  } else if (place_.board != nullptr) {
    place_.board->SetMode(place_.row, mode == LinkMode::Serial ? "serial" : "over the air");
  }
}

void ConsoleReporter::DataProgress(std::uint64_t bytes_sent, std::uint64_t file_size) {
  std::lock_guard lock(mutex_);
  const auto now = std::chrono::steady_clock::now();
  if (!data_started_) data_started_ = now;
  // Every frame would be a thousand lines a minute: report at most ten times
  // a second, and always the last frame.
  const bool last = bytes_sent >= file_size;
  if (!last && now - last_progress_ < kProgressInterval) return;
  last_progress_ = now;
  if (json_) {
    EmitJson({{"event", "progress"}, {"bytes", std::min(bytes_sent, file_size)}, {"total", file_size}});
  } else if (progress_bar_ || place_.board != nullptr) {
    DrawProgressLine(bytes_sent, file_size);
  }
}

void ConsoleReporter::DrawProgressLine(std::uint64_t bytes_sent, std::uint64_t file_size) {
  constexpr int kWidth = 30;
  const std::uint64_t done = std::min(bytes_sent, file_size);
  const double fraction = file_size == 0 ? 1.0 : static_cast<double>(done) / static_cast<double>(file_size);
  const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - *data_started_).count();
  // The first frames say nothing about the rate yet.
  std::string speed = "-- KiB/s  -:-- left";
  if (elapsed >= 0.5 && done > 0) {
    const double rate = static_cast<double>(done) / elapsed;
    char text[64];
    std::snprintf(text, sizeof text, "%.1f KiB/s  %s left", rate / 1024.0,
                  Clock(static_cast<double>(file_size - done) / rate).c_str());
    speed = text;
  }
  if (place_.board != nullptr) {
    place_.board->SetProgress(place_.row, static_cast<int>(fraction * 100), speed);
    return;
  }
  std::string bar(kWidth, ' ');
  std::fill_n(bar.begin(), static_cast<int>(fraction * kWidth), '#');
  std::fprintf(err_, "\r\033[K[%s] %3d%%  %llu/%llu bytes  %s", bar.c_str(), static_cast<int>(fraction * 100),
               static_cast<unsigned long long>(done), static_cast<unsigned long long>(file_size), speed.c_str());
  std::fflush(err_);
  progress_shown_ = true;
}

void ConsoleReporter::ClearProgressLine() {
  if (!progress_shown_) return;
  std::fputs("\r\033[K", err_);
  std::fflush(err_);
  progress_shown_ = false;
}

void ConsoleReporter::Note(const std::string& text) {
  std::lock_guard lock(mutex_);
  if (json_) {
    EmitJson({{"event", "note"}, {"text", text}});
    return;
  }
  const std::string prefixed = place_.prefix_lines || place_.board != nullptr ? Prefix() + text : text;
  if (place_.board != nullptr) {
    place_.board->Note(prefixed);
    return;
  }
  ClearProgressLine();
  const std::string line = "zevuvuri-cli: " + prefixed + "\n";
  std::fputs(line.c_str(), err_);
  std::fflush(err_);
}

std::string ConsoleReporter::LastStatus() const {
  std::lock_guard lock(mutex_);
  return last_status_;
}

void ConsoleReporter::Result(UpgradeOutcome outcome, int exit_code, double seconds, Pacing pacing) {
  std::lock_guard lock(mutex_);
  if (json_) {
    EmitJson({{"event", "result"},
              {"outcome", OutcomeName(outcome)},
              {"status", last_status_},
              {"exit_code", exit_code},
              {"duration_s", seconds},
              {"pacing", PacingName(pacing)}});
    return;
  }
  ClearProgressLine();
}

}  // namespace zevuvuri::cli
