#include "tools/cli/progress_board.h"

#include <algorithm>
#include <cstdio>

#include "tools/cli/screen_line.h"

namespace zevuvuri::cli {

namespace {

// Redrawing every frame of four ports would be four hundred redraws a second.
constexpr auto kDrawInterval = std::chrono::milliseconds{100};
constexpr std::size_t kUnitWidth = 6;  // "#12345"

}  // namespace

ProgressBoard::ProgressBoard(std::FILE* err, std::vector<std::string> ports, bool station,
                             std::function<std::size_t()> columns)
    : err_(err), columns_(std::move(columns)), station_(station) {
  for (auto& p : ports) {
    Row row;
    row.port = OneLine(p);
    port_width_ = std::max(port_width_, row.port.size());
    rows_.push_back(std::move(row));
  }
}

std::string ProgressBoard::Format(const Row& row) const {
  std::string percent = row.percent < 0 ? "   -" : std::to_string(row.percent) + "%";
  percent.insert(0, percent.size() < 4 ? 4 - percent.size() : 0, ' ');
  // A station's rows carry the unit's number after the port.
  std::string port = row.port;
  if (station_) {
    char unit[16] = "-";
    if (row.unit) std::snprintf(unit, sizeof unit, "#%u", *row.unit);
    port.resize(std::max(port.size(), port_width_), ' ');
    port += "  ";
    port += unit;
  }
  const int width = static_cast<int>(port_width_ + (station_ ? 2 + kUnitWidth : 0));
  char line[512];
  std::snprintf(line, sizeof line, "%-*s  %-12s %s  %-22s %s", width, port.c_str(), row.mode.c_str(),
                percent.c_str(), row.figures.c_str(), row.status.c_str());
  // Last, so that the columns before it stay aligned whatever its length.
  if (row.serial.empty()) return line;
  return std::string(line) + "  [" + row.serial + (row.repeat ? ", REPEAT" : "") + "]";
}

std::string ProgressBoard::RowText(std::size_t row) const {
  std::lock_guard lock(mutex_);
  return Format(rows_.at(row));
}

void ProgressBoard::Draw(bool force) {
  const auto now = std::chrono::steady_clock::now();
  if (!force && now - last_draw_ < kDrawInterval) return;
  last_draw_ = now;
  // A line as wide as the terminal leaves some terminals' cursor on the
  // next line already: one column is kept free.
  const std::size_t columns = columns_ ? columns_() : 0;
  const std::size_t room = columns > 1 ? columns - 1 : 0;
  // Back to the board's first line, then each line cleared and rewritten.
  std::string out;
  if (drawn_ > 0) out += "\033[" + std::to_string(drawn_) + "A";
  for (const auto& row : rows_) out += "\r\033[K" + FitColumns(Format(row), room) + "\n";
  if (station_) out += "\r\033[K" + FitColumns(footer_, room) + "\n";
  if (!records_line_.empty()) out += "\r\033[K" + FitColumns(records_line_, room) + "\n";
  const std::size_t lines = rows_.size() + (station_ ? 1 : 0) + (records_line_.empty() ? 0 : 1);
  if (lines < drawn_) out += "\033[J";  // a records line that went leaves nothing behind
  std::fputs(out.c_str(), err_);
  std::fflush(err_);
  drawn_ = lines;
}

void ProgressBoard::SetStatus(std::size_t row, std::string_view text) {
  std::lock_guard lock(mutex_);
  rows_.at(row).status = OneLine(text);
  Draw(true);
}

void ProgressBoard::SetMode(std::size_t row, std::string_view mode) {
  std::lock_guard lock(mutex_);
  rows_.at(row).mode = mode;
  Draw(true);
}

void ProgressBoard::SetProgress(std::size_t row, int percent, std::string_view figures) {
  std::lock_guard lock(mutex_);
  rows_.at(row).percent = percent;
  rows_.at(row).figures = figures;
  Draw(false);
}

void ProgressBoard::SetUnit(std::size_t row, std::optional<unsigned> unit) {
  std::lock_guard lock(mutex_);
  Row fresh;
  fresh.port = rows_.at(row).port;
  fresh.unit = unit;
  rows_[row] = std::move(fresh);
  Draw(true);
}

void ProgressBoard::SetSerial(std::size_t row, std::string_view serial, bool repeat) {
  std::lock_guard lock(mutex_);
  rows_.at(row).serial = OneLine(serial);
  rows_.at(row).repeat = repeat;
  Draw(true);
}

void ProgressBoard::SetFooter(std::string_view text) {
  std::lock_guard lock(mutex_);
  footer_ = OneLine(text);
  Draw(true);
}

void ProgressBoard::SetRecordsLine(std::string_view text) {
  std::lock_guard lock(mutex_);
  records_line_ = OneLine(text);
  Draw(true);
}

void ProgressBoard::Note(std::string_view text) {
  std::lock_guard lock(mutex_);
  // Clear the board, print the note where it stood, and draw it below.
  std::string out;
  if (drawn_ > 0) out += "\033[" + std::to_string(drawn_) + "A\r\033[J";
  out += "zevuvuri-cli: ";
  out += OneLine(text);
  out += "\n";
  std::fputs(out.c_str(), err_);
  drawn_ = 0;
  Draw(true);
}

void ProgressBoard::Finish() {
  std::lock_guard lock(mutex_);
  Draw(true);
}

}  // namespace zevuvuri::cli
