#include "ui/journal_open_limit.h"

#include <algorithm>
#include <atomic>
#include <thread>

namespace zevuvuri::ui {

struct JournalOpenLimit::State {
  std::chrono::steady_clock::time_point deadline;
  std::atomic<bool> opening{true};
  std::atomic<bool> closing{false};
  std::atomic<bool> expired{false};
};

JournalOpenLimit::JournalOpenLimit(std::chrono::milliseconds limit) : state_(std::make_shared<State>()) {
  state_->deadline = std::chrono::steady_clock::now() + limit;
}

records::StopCheck JournalOpenLimit::Check() const {
  std::shared_ptr<State> state = state_;
  records::StopCheck check;
  check.asked = [state] {
    if (state->closing.load()) return true;
    if (!state->opening.load() || std::chrono::steady_clock::now() < state->deadline) return false;
    state->expired.store(true);
    return true;
  };
  // Short steps, so that the limit and the closing end a wait promptly.
  check.pause = [](std::chrono::milliseconds step) {
    std::this_thread::sleep_for(std::min(step, std::chrono::milliseconds{50}));
  };
  return check;
}

void JournalOpenLimit::Opened() { state_->opening.store(false); }
void JournalOpenLimit::Closing() { state_->closing.store(true); }
bool JournalOpenLimit::Expired() const { return state_->expired.load(); }

std::string JournalOpenLimit::NobodyReads(const std::string& journal) {
  return "Report= in loader.cfg: nothing reads " + journal + " (a FIFO; waited " +
         std::to_string(std::chrono::seconds(kJournalOpenLimit).count()) + " s for its reader)";
}

}  // namespace zevuvuri::ui
