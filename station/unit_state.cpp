#include "station/unit_state.h"

#include <algorithm>

namespace zevuvuri::station {

void UnitState::SetStatus(std::string_view text) {
  {
    std::lock_guard lock(mutex_);
    last_status_ = text;
  }
  if (front_) front_->SetStatus(text);
}

void UnitState::SetButtonCaption(std::string_view text) {
  if (front_) front_->SetButtonCaption(text);
}

void UnitState::EnableButton(bool enabled) {
  {
    std::lock_guard lock(mutex_);
    button_enabled_ = enabled;
  }
  if (front_) front_->EnableButton(enabled);
}

void UnitState::SetProgressRange(std::uint16_t maximum) {
  if (front_) front_->SetProgressRange(maximum);
}

void UnitState::SetProgressPosition(std::uint32_t position) {
  if (front_) front_->SetProgressPosition(position);
}

void UnitState::EndProcess() {
  if (front_) front_->EndProcess();
}

void UnitState::LinkModeLearned(LinkMode mode) {
  {
    std::lock_guard lock(mutex_);
    learned_mode_ = mode;
  }
  if (front_) front_->LinkModeLearned(mode);
}

void UnitState::PollAcknowledged() {
  {
    std::lock_guard lock(mutex_);
    ++polls_acknowledged_;
  }
  if (front_) front_->PollAcknowledged();
  if (poll_hook_) poll_hook_();
}

void UnitState::FirmwareImageTaken(std::uint64_t size, const std::optional<std::string>& sha256) {
  {
    std::lock_guard lock(mutex_);
    image_ = Image{size, sha256};
  }
  if (front_) front_->FirmwareImageTaken(size, sha256);
}

void UnitState::DataProgress(std::uint64_t bytes_sent, std::uint64_t file_size) {
  {
    std::lock_guard lock(mutex_);
    ++data_frames_;
    const std::uint64_t done = std::min(bytes_sent, file_size);
    percent_ = file_size == 0 ? 100 : static_cast<int>(done * 100 / file_size);
  }
  if (front_) front_->DataProgress(bytes_sent, file_size);
}

void UnitState::FirmwareSent(std::span<const std::uint8_t> bytes) {
  if (front_) front_->FirmwareSent(bytes);
}

void UnitState::UpgradeEnded(UpgradeOutcome outcome) {
  {
    std::lock_guard lock(mutex_);
    outcome_ = outcome;
  }
  if (front_) front_->UpgradeEnded(outcome);
  if (wake_) wake_();
}

std::optional<UpgradeOutcome> UnitState::Ended() const {
  std::lock_guard lock(mutex_);
  return outcome_;
}

bool UnitState::ButtonEnabled() const {
  std::lock_guard lock(mutex_);
  return button_enabled_;
}

int UnitState::PollsAcknowledged() const {
  std::lock_guard lock(mutex_);
  return polls_acknowledged_;
}

std::string UnitState::LastStatus() const {
  std::lock_guard lock(mutex_);
  return last_status_;
}

std::optional<LinkMode> UnitState::LearnedMode() const {
  std::lock_guard lock(mutex_);
  return learned_mode_;
}

std::uint64_t UnitState::DataFramesSent() const {
  std::lock_guard lock(mutex_);
  return data_frames_;
}

int UnitState::Percent() const {
  std::lock_guard lock(mutex_);
  return percent_;
}

std::optional<UnitState::Image> UnitState::FirmwareImage() const {
  std::lock_guard lock(mutex_);
  return image_;
}

}  // namespace zevuvuri::station
