// How long a window waits for its journal to open before it appears. A FIFO
// named by Report= opens only once a reader has it open; a window that waited
// for that on its own thread would never be seen, and could not even be
// closed. The wait is cut at kJournalOpenLimit and the window says why; the
// window's closing cuts the journal's later waits too (a pipe whose reader
// takes no more), as Ctrl-C cuts the command line's.
#pragma once

#include <chrono>
#include <memory>
#include <string>

#include "records/report_file.h"

namespace zevuvuri::ui {

constexpr auto kJournalOpenLimit = std::chrono::seconds{2};

// Window thread; the checks it hands out may be called from any thread.
class JournalOpenLimit {
 public:
  explicit JournalOpenLimit(std::chrono::milliseconds limit = kJournalOpenLimit);

  // For StationSettings::interrupt: asked once the open has waited past the
  // limit, or once the window closes.
  records::StopCheck Check() const;
  // The journal is open (or refused): from now on only Closing cuts a wait.
  void Opened();
  void Closing();
  // The open was cut by the limit: the journal is a FIFO nobody reads.
  bool Expired() const;
  // What the window says then, in loader.cfg's words.
  static std::string NobodyReads(const std::string& journal);

 private:
  struct State;
  std::shared_ptr<State> state_;
};

}  // namespace zevuvuri::ui
