#include "tools/cli/console_reporter.h"

#include <nlohmann/json.hpp>

#include <algorithm>

#include "tools/cli/exit_codes.h"

namespace zevuvuri::cli {

namespace {

constexpr auto kProgressInterval = std::chrono::milliseconds{100};

std::string Clock(double seconds) {
  const auto s = static_cast<long>(seconds + 0.5);
  char text[32];
  std::snprintf(text, sizeof text, "%ld:%02ld", s / 60, s % 60);
  return text;
}

}  // namespace

ConsoleReporter::ConsoleReporter(std::FILE* out, std::FILE* err, bool json, bool progress_bar)
    : out_(out), err_(err), json_(json), progress_bar_(progress_bar && !json) {}

void ConsoleReporter::EmitJson(const std::string& line) {
  std::fputs(line.c_str(), out_);
  std::fputc('\n', out_);
  std::fflush(out_);
}

void ConsoleReporter::SetStatus(std::string_view text) {
  std::lock_guard lock(mutex_);
  last_status_ = text;
  if (json_) {
    EmitJson(nlohmann::json{{"event", "status"}, {"text", text}}.dump());
    return;
  }
  ClearProgressLine();
  std::fprintf(out_, "%.*s\n", static_cast<int>(text.size()), text.data());
  std::fflush(out_);
}

void ConsoleReporter::EnableButton(bool enabled) {
  std::lock_guard lock(mutex_);
  button_enabled_ = enabled;
}

void ConsoleReporter::LinkModeLearned(LinkMode mode) {
  std::lock_guard lock(mutex_);
  if (json_) {
    EmitJson(nlohmann::json{{"event", "link_mode"}, {"mode", mode == LinkMode::Serial ? "serial" : "over_the_air"}}
                 .dump());
  }
}

void ConsoleReporter::PollAcknowledged() {
  std::lock_guard lock(mutex_);
  ++polls_acknowledged_;
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
    EmitJson(nlohmann::json{{"event", "progress"}, {"bytes", std::min(bytes_sent, file_size)}, {"total", file_size}}
                 .dump());
  } else if (progress_bar_) {
    DrawProgressLine(bytes_sent, file_size);
  }
}

void ConsoleReporter::DrawProgressLine(std::uint64_t bytes_sent, std::uint64_t file_size) {
  constexpr int kWidth = 30;
  const std::uint64_t done = std::min(bytes_sent, file_size);
  const double fraction = file_size == 0 ? 1.0 : static_cast<double>(done) / static_cast<double>(file_size);
  const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - *data_started_).count();
  std::string bar(kWidth, ' ');
  std::fill_n(bar.begin(), static_cast<int>(fraction * kWidth), '#');
  // The first frames say nothing about the rate yet.
  std::string speed = "-- KiB/s  -:-- left";
  if (elapsed >= 0.5 && done > 0) {
    const double rate = static_cast<double>(done) / elapsed;
    char text[64];
    std::snprintf(text, sizeof text, "%.1f KiB/s  %s left", rate / 1024.0,
                  Clock(static_cast<double>(file_size - done) / rate).c_str());
    speed = text;
  }
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

void ConsoleReporter::UpgradeEnded(UpgradeOutcome outcome) {
  {
    std::lock_guard lock(mutex_);
    outcome_ = outcome;
  }
  ended_cv_.notify_all();
}

std::optional<UpgradeOutcome> ConsoleReporter::WaitForEnd(std::chrono::milliseconds timeout) {
  std::unique_lock lock(mutex_);
  ended_cv_.wait_for(lock, timeout, [this] { return outcome_.has_value(); });
  return outcome_;
}

bool ConsoleReporter::ButtonEnabled() const {
  std::lock_guard lock(mutex_);
  return button_enabled_;
}

int ConsoleReporter::PollsAcknowledged() const {
  std::lock_guard lock(mutex_);
  return polls_acknowledged_;
}

void ConsoleReporter::Note(const std::string& text) {
  std::lock_guard lock(mutex_);
  if (json_) {
    EmitJson(nlohmann::json{{"event", "note"}, {"text", text}}.dump());
    return;
  }
  ClearProgressLine();
  std::fprintf(err_, "zevuvuri-cli: %s\n", text.c_str());
  std::fflush(err_);
}

std::string ConsoleReporter::LastStatus() const {
  std::lock_guard lock(mutex_);
  return last_status_;
}

void ConsoleReporter::Result(UpgradeOutcome outcome, int exit_code, double seconds) {
  std::lock_guard lock(mutex_);
  if (json_) {
    EmitJson(nlohmann::json{{"event", "result"},
                            {"outcome", OutcomeName(outcome)},
                            {"status", last_status_},
                            {"exit_code", exit_code},
                            {"duration_s", seconds}}
                 .dump());
    return;
  }
  ClearProgressLine();
}

}  // namespace zevuvuri::cli
