// One unit's upgrade as the station keeps it: the sinks the controller
// reports to, which keep what the station needs (the ending, the button, the
// polls, the status, the image, the progress) under a lock, and pass every
// call on to the front end's own sinks.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>

#include "engine/upgrade_sinks.h"

namespace zevuvuri::station {

// Sinks: from the thread that starts the upgrade and from its worker. The
// queries: any thread.
class UnitSinks final : public UpgradeSinks {
 public:
  // `front`: the front end's sinks, called after each call has been kept;
  // may be null. `wake`: called after the upgrade's end has been kept.
  UnitSinks(UpgradeSinks* front, std::function<void()> wake) : front_(front), wake_(std::move(wake)) {}

  void SetStatus(std::string_view text) override;
  void SetButtonCaption(std::string_view text) override;
  void EnableButton(bool enabled) override;
  void SetProgressRange(std::uint16_t maximum) override;
  void SetProgressPosition(std::uint32_t position) override;
  void EndProcess() override;
  void LinkModeLearned(LinkMode mode) override;
  void PollAcknowledged() override;
  void FirmwareImageTaken(std::uint64_t size, const std::optional<std::string>& sha256) override;
  void DataProgress(std::uint64_t bytes_sent, std::uint64_t file_size) override;
  void FirmwareSent(std::span<const std::uint8_t> bytes) override;
  void UpgradeEnded(UpgradeOutcome outcome) override;

  // Called on the worker after each acknowledged poll, outside the lock (it
  // may confirm the upgrade, which calls back here). Set before the start.
  void SetPollHook(std::function<void()> hook) { poll_hook_ = std::move(hook); }

  std::optional<UpgradeOutcome> Ended() const;
  bool ButtonEnabled() const;
  int PollsAcknowledged() const;
  std::string LastStatus() const;
  std::optional<LinkMode> LearnedMode() const;
  std::uint64_t DataFramesSent() const;
  // 0..100 of the image sent; -1 before the first data frame.
  int Percent() const;
  struct Image {
    std::uint64_t size = 0;
    std::optional<std::string> sha256;
  };
  // The firmware image the upgrade took, once it has: its size and SHA-256.
  std::optional<Image> FirmwareImage() const;

 private:
  UpgradeSinks* const front_;
  const std::function<void()> wake_;
  std::function<void()> poll_hook_;

  mutable std::mutex mutex_;
  std::optional<UpgradeOutcome> outcome_;
  bool button_enabled_ = true;
  int polls_acknowledged_ = 0;
  std::string last_status_;
  std::optional<LinkMode> learned_mode_;
  std::uint64_t data_frames_ = 0;
  int percent_ = -1;
  std::optional<Image> image_;
};

}  // namespace zevuvuri::station
