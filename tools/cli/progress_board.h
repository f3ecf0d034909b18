// Several upgrades' progress on a terminal: one line per port, redrawn in
// place with ANSI cursor movement, and notes printed above the lines. A
// station's board also shows each port's unit number and, below the ports,
// a line of totals.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace zevuvuri::cli {

// Every call from any thread; one lock around the rows and every write.
// Every text is flattened to one line (OneLine) and every line drawn is cut
// to the terminal's width, so that the board stays one line per row.
class ProgressBoard {
 public:
  // `station`: a unit column and the totals line. `columns`: the terminal's
  // width at each drawing (0 or unset: lines are not cut).
  ProgressBoard(std::FILE* err, std::vector<std::string> ports, bool station = false,
                std::function<std::size_t()> columns = {});

  void SetStatus(std::size_t row, std::string_view text);
  void SetMode(std::size_t row, std::string_view mode);
  // `figures`: rate and time left, as the single-port progress bar shows them.
  void SetProgress(std::size_t row, int percent, std::string_view figures);
  // Station: the row now shows unit `unit`, or none, with its mode, progress
  // and status cleared.
  void SetUnit(std::size_t row, std::optional<unsigned> unit);
  // Station: the unit's serial number as scanned, at the row's end; empty:
  // none. `repeat`: flagged as a board upgraded before with this image.
  void SetSerial(std::size_t row, std::string_view serial, bool repeat);
  // Station: the totals line below the ports.
  void SetFooter(std::string_view text);
  // The records' state (records_forwarding.h), a line at the board's foot; empty:
  // none.
  void SetRecordsLine(std::string_view text);
  // A line for the operator, printed above the board, which is then redrawn.
  void Note(std::string_view text);
  // Draws the final state and leaves the cursor below the board.
  void Finish();

  // One row as it is drawn, for the tests: port, (unit,) mode, percent,
  // figures, status.
  std::string RowText(std::size_t row) const;

 private:
  struct Row {
    std::string port;
    std::string mode = "-";
    int percent = -1;  // no data frame yet
    std::string figures;
    std::string status;
    std::optional<unsigned> unit;
    std::string serial;
    bool repeat = false;
  };

  void Draw(bool force);  // under mutex_
  std::string Format(const Row& row) const;  // under mutex_

  std::FILE* const err_;
  const std::function<std::size_t()> columns_;
  mutable std::mutex mutex_;
  const bool station_;
  std::vector<Row> rows_;
  std::string footer_;
  std::string records_line_;
  std::size_t port_width_ = 4;
  std::size_t drawn_ = 0;  // lines on screen below the notes
  std::chrono::steady_clock::time_point last_draw_{};
};

}  // namespace zevuvuri::cli
