// An operator for over-the-air upgrades, played from the test's own thread as
// the window thread would play it: once the module has acknowledged a poll,
// it confirms. Sinks only record; nothing calls into the controller from the
// worker thread.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <string>

#include "engine/upgrade_controller.h"

namespace zevuvuri::testing {

class ConfirmingOperator : public UpgradeSinks {
 public:
  // Starts an upgrade and waits for its end, confirming as soon as a poll is
  // acknowledged. Nothing when it does not end within `limit`.
  std::optional<UpgradeOutcome> Run(UpgradeController& controller, const std::wstring& port,
                                    const std::wstring& file,
                                    std::chrono::milliseconds limit = std::chrono::seconds{30});
  std::string LastStatus();
  // How long the last upgrade went without a word from the worker before it
  // ended: from the last report before its final status to its end. An
  // upgrade that ends on a time limit was quiet for at least that limit; one
  // that noticed a lost device at once, for about a frame's time, however
  // long the steps before took on a busy machine.
  std::chrono::steady_clock::duration QuietBeforeEnd();

  void SetStatus(std::string_view text) override;
  void SetButtonCaption(std::string_view) override {}
  void EnableButton(bool) override {}
  void SetProgressRange(std::uint16_t) override {}
  void SetProgressPosition(std::uint32_t) override {}
  void EndProcess() override {}
  void PollAcknowledged() override;
  void DataProgress(std::uint64_t bytes_sent, std::uint64_t file_size) override;
  void UpgradeEnded(UpgradeOutcome outcome) override;

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::string last_status_;
  bool poll_acknowledged_ = false;
  std::optional<UpgradeOutcome> outcome_;
  // When the worker last reported, and the report before that one.
  std::chrono::steady_clock::time_point last_report_{}, report_before_{};
  std::chrono::steady_clock::time_point ended_{};
  void Reported();  // with mutex_ held
};

}  // namespace zevuvuri::testing
