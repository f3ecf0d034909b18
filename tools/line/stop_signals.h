// SIGTERM and SIGINT (Ctrl-C) as a request to stop: no work in a signal
// handler; a thread of its own waits for them and calls back.
#pragma once

#include <functional>
#include <memory>

namespace zevuvuri::line {

class StopSignals {
 public:
  // Before any other thread starts: the signals are held back in this
  // thread and every thread started after it.
  StopSignals();
  ~StopSignals();  // stops waiting
  StopSignals(const StopSignals&) = delete;
  StopSignals& operator=(const StopSignals&) = delete;

  // Calls `stop` once, on its own thread, when a signal comes (also one that
  // came before this call).
  void OnStop(std::function<void()> stop);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace zevuvuri::line
