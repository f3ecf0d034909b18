#include "tests/support/confirming_operator.h"

namespace zevuvuri::testing {

std::optional<UpgradeOutcome> ConfirmingOperator::Run(UpgradeController& controller, const std::wstring& port,
                                                      const std::wstring& file, std::chrono::milliseconds limit) {
  {
    std::lock_guard lock(mutex_);
    poll_acknowledged_ = false;
    outcome_.reset();
  }
  controller.OnAcquire(port, L"0", file);
  const auto deadline = std::chrono::steady_clock::now() + limit;
  std::unique_lock lock(mutex_);
  while (!outcome_) {
    if (!changed_.wait_until(lock, deadline, [&] { return outcome_ || poll_acknowledged_; })) return std::nullopt;
    if (poll_acknowledged_ && !outcome_) {
      poll_acknowledged_ = false;
      lock.unlock();
      controller.Confirm();  // false on a serial link, where nothing waits for it
      lock.lock();
    }
  }
  return outcome_;
}

std::string ConfirmingOperator::LastStatus() {
  std::lock_guard lock(mutex_);
  return last_status_;
}

std::chrono::steady_clock::duration ConfirmingOperator::QuietBeforeEnd() {
  std::lock_guard lock(mutex_);
  return ended_ - report_before_;
}

void ConfirmingOperator::Reported() {
  report_before_ = last_report_;
  last_report_ = std::chrono::steady_clock::now();
}

void ConfirmingOperator::SetStatus(std::string_view text) {
  std::lock_guard lock(mutex_);
  last_status_ = text;
  Reported();
}

void ConfirmingOperator::PollAcknowledged() {
  {
    std::lock_guard lock(mutex_);
    poll_acknowledged_ = true;
    Reported();
  }
  changed_.notify_all();
}

void ConfirmingOperator::DataProgress(std::uint64_t, std::uint64_t) {
  std::lock_guard lock(mutex_);
  Reported();
}

void ConfirmingOperator::UpgradeEnded(UpgradeOutcome outcome) {
  {
    std::lock_guard lock(mutex_);
    outcome_ = outcome;
    ended_ = std::chrono::steady_clock::now();
  }
  changed_.notify_all();
}

}  // namespace zevuvuri::testing
