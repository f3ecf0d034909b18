#include "station/unit_sinks.h"

#include <algorithm>

namespace zevuvuri::station {

void UnitSinks::SetStatus(std::string_view text) {
  {
    std::lock_guard lock(mutex_);
    last_status_ = text;
  }
  if (front_) front_->SetStatus(text);
}

void UnitSinks::SetButtonCaption(std::string_view text) {
  if (front_) front_->SetButtonCaption(text);
}

void UnitSinks::EnableButton(bool enabled) {
  {
    std::lock_guard lock(mutex_);
    button_enabled_ = enabled;
  }
  if (front_) front_->EnableButton(enabled);
}

void UnitSinks::SetProgressRange(std::uint16_t maximum) {
  if (front_) front_->SetProgressRange(maximum);
}

void UnitSinks::SetProgressPosition(std::uint32_t position) {
  if (front_) front_->SetProgressPosition(position);
}

void UnitSinks::EndProcess() {
  if (front_) front_->EndProcess();
}

void UnitSinks::LinkModeLearned(LinkMode mode) {
  {
    std::lock_guard lock(mutex_);
    learned_mode_ = mode;
  }
  if (front_) front_->LinkModeLearned(mode);
}

void UnitSinks::PollAcknowledged() {
  {
    std::lock_guard lock(mutex_);
    ++polls_acknowledged_;
  }
  if (front_) front_->PollAcknowledged();
  if (poll_hook_) poll_hook_();
}

void UnitSinks::FirmwareImageTaken(std::uint64_t size, const std::optional<std::string>& sha256) {
  {
    std::lock_guard lock(mutex_);
    image_ = Image{size, sha256};
  }
  if (front_) front_->FirmwareImageTaken(size, sha256);
}

void UnitSinks::DataProgress(std::uint64_t bytes_sent, std::uint64_t file_size) {
  {
    std::lock_guard lock(mutex_);
    ++data_frames_;
    const std::uint64_t done = std::min(bytes_sent, file_size);
    percent_ = file_size == 0 ? 100 : static_cast<int>(done * 100 / file_size);
  }
  if (front_) front_->DataProgress(bytes_sent, file_size);
}

void UnitSinks::FirmwareSent(std::span<const std::uint8_t> bytes) {
  if (front_) front_->FirmwareSent(bytes);
}

void UnitSinks::UpgradeEnded(UpgradeOutcome outcome) {
  {
    std::lock_guard lock(mutex_);
    outcome_ = outcome;
  }
  if (front_) front_->UpgradeEnded(outcome);
  if (wake_) wake_();
}

std::optional<UpgradeOutcome> UnitSinks::Ended() const {
  std::lock_guard lock(mutex_);
  return outcome_;
}

bool UnitSinks::ButtonEnabled() const {
  std::lock_guard lock(mutex_);
  return button_enabled_;
}

int UnitSinks::PollsAcknowledged() const {
  std::lock_guard lock(mutex_);
  return polls_acknowledged_;
}

std::string UnitSinks::LastStatus() const {
  std::lock_guard lock(mutex_);
  return last_status_;
}

std::optional<LinkMode> UnitSinks::LearnedMode() const {
  std::lock_guard lock(mutex_);
  return learned_mode_;
}

std::uint64_t UnitSinks::DataFramesSent() const {
  std::lock_guard lock(mutex_);
  return data_frames_;
}

int UnitSinks::Percent() const {
  std::lock_guard lock(mutex_);
  return percent_;
}

std::optional<UnitSinks::Image> UnitSinks::FirmwareImage() const {
  std::lock_guard lock(mutex_);
  return image_;
}

}  // namespace zevuvuri::station
