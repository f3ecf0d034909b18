#include "engine/upgrade_controller.h"

#include <system_error>

#include "engine/firmware_path.h"
#include "engine/module_type.h"
#include "engine/progress_scale.h"
#include "engine/status_texts.h"
#include "engine/text_encoding.h"

namespace zevuvuri {
namespace {

std::thread StartThread(std::function<void()> body) { return std::thread(std::move(body)); }

}  // namespace

UpgradeController::UpgradeController(UpgradeSinks& sinks)
    : sinks_(sinks), link_(link_mode_), start_thread_(StartThread) {}

UpgradeController::~UpgradeController() { Shutdown(); }

void UpgradeController::OnAcquire(std::wstring_view port_text, std::wstring_view type_text,
                                  std::wstring_view file_text) {
  if (shutting_down_.load()) return;
  if (state_.load() == UpgradeState::Idle) {
    Start(port_text, type_text, file_text);
  } else {
    Confirm();
  }
}

void UpgradeController::Status(std::string_view text) {
  if (!shutting_down_.load()) sinks_.SetStatus(text);
}
void UpgradeController::Caption(std::string_view text) {
  if (!shutting_down_.load()) sinks_.SetButtonCaption(text);
}
void UpgradeController::Enable(bool enabled) {
  if (!shutting_down_.load()) sinks_.EnableButton(enabled);
}

void UpgradeController::ReapWorkers() {
  if (worker_.thread.joinable()) finished_workers_.push_back(std::move(worker_));
  worker_ = Worker{};
  std::erase_if(finished_workers_, [](Worker& w) {
    if (!w.returned->load()) return false;
    w.thread.join();
    return true;
  });
}

void UpgradeController::Start(std::wstring_view port_text, std::wstring_view type_text,
                              std::wstring_view file_text) {
  ReapWorkers();
  link_mode_.store(LinkMode::Serial);
  state_.store(UpgradeState::Acquiring);
  type_code_.store(ModuleTypeCode(type_text));

  const auto port = ToUtf8(port_text);
  if (!port || !link_.OpenLink(*port)) {
    outcome_.store(UpgradeOutcome::PortFailure);
    Status(status::kPortFailure);
    Caption(caption::kAcquire);
    Enable(true);
    state_.store(UpgradeState::Idle);
    if (!shutting_down_.load()) sinks_.UpgradeEnded(UpgradeOutcome::PortFailure);
    return;
  }

  firmware_path_ = file_text;
  firmware_path_8bit_ = NarrowFirmwarePath(file_text);

  {
    std::lock_guard lock(mutex_);
    start_reported_ = false;
  }
  auto returned = std::make_shared<std::atomic<bool>>(false);
  worker_running_.store(true);
  try {
    worker_.thread = start_thread_([this, returned] {
      Work();
      worker_running_.store(false);
      returned->store(true);
    });
    worker_.returned = std::move(returned);
  } catch (const std::system_error&) {
    // Without a worker nothing would ever end this upgrade: undo the Start.
    worker_ = Worker{};
    worker_running_.store(false);
    outcome_.store(UpgradeOutcome::ThreadFailure);
    Status(status::kThreadFailure);
    link_.CloseLink();
    state_.store(UpgradeState::Idle);
    Caption(caption::kAcquire);
    Enable(true);
    if (!shutting_down_.load()) sinks_.UpgradeEnded(UpgradeOutcome::ThreadFailure);
    return;
  }

  Status(status::kRunning);
  Caption(caption::kClickToStart);
  {
    std::lock_guard lock(mutex_);
    start_reported_ = true;
  }
  wake_cv_.notify_all();
}

void UpgradeController::Confirm() {
  Enable(false);
  Caption(caption::kAcquire);
  state_.store(UpgradeState::Idle);
}

void UpgradeController::Shutdown() {
  shutting_down_.store(true);
  link_.Abort();
  {
    std::lock_guard lock(mutex_);
    start_reported_ = true;
  }
  wake_cv_.notify_all();
  if (worker_.thread.joinable()) worker_.thread.join();
  for (auto& w : finished_workers_) w.thread.join();
  finished_workers_.clear();
  link_.CloseLink();
}

void UpgradeController::CheckCancelled() const {
  if (shutting_down_.load()) throw Cancelled{};
}

void UpgradeController::Pause(std::chrono::milliseconds duration) {
  if (clock_ != nullptr) {
    clock_->Sleep(duration);
    return CheckCancelled();
  }
  std::unique_lock lock(mutex_);
  if (wake_cv_.wait_for(lock, duration, [this] { return shutting_down_.load(); })) throw Cancelled{};
}

void UpgradeController::Write(std::span<const std::uint8_t> bytes) {
  link_.WriteBytes(bytes);  // a frame that did not go out shows up as a missing reply
  CheckCancelled();
}

std::optional<std::uint8_t> UpgradeController::WaitReply(std::chrono::milliseconds limit) {
  const auto reply = link_.WaitReply(limit);
  CheckCancelled();
  return reply;
}

void UpgradeController::Work() {
  {
    std::unique_lock lock(mutex_);
    wake_cv_.wait(lock, [this] { return start_reported_; });
  }
  std::FILE* file = nullptr;
  trailer_sent_ = false;
  try {
    CheckCancelled();
    RunSteps(&file);
  } catch (const Cancelled&) {
    link_.CloseLink();
    if (file != nullptr) std::fclose(file);
    state_.store(UpgradeState::Idle);
    // Once the trailer is out the module has its firmware: a shutdown in the
    // pause after it interrupts nothing.
    if (!trailer_sent_) outcome_.store(UpgradeOutcome::Cancelled);
  }
}

void UpgradeController::CommonEnding(std::FILE* file) {
  link_.CloseLink();
  if (file != nullptr) std::fclose(file);
  state_.store(UpgradeState::Idle);
  Caption(caption::kAcquire);
  Enable(true);
}

void UpgradeController::EndWith(std::string_view text, UpgradeOutcome outcome, std::FILE* file) {
  outcome_.store(outcome);
  Status(text);
  CommonEnding(file);
  if (!shutting_down_.load()) sinks_.UpgradeEnded(outcome);
}

// The worker's steps. `*file` is set once the firmware is open so that a
// Shutdown in the middle still closes it.
void UpgradeController::RunSteps(std::FILE** file) {
  const std::uint8_t type = type_code_.load();
  UpgradeFrame frame;

  Enable(false);
  std::FILE* const f = firmware_path_8bit_ ? OpenFirmwareFile(*firmware_path_8bit_) : nullptr;
  if (f == nullptr) return EndWith(status::kFileFailure, UpgradeOutcome::FileFailure, nullptr);
  *file = f;
  // Unbuffered: every frame carries the file's bytes as they are when that
  // frame is read, not a copy taken kilobytes earlier. One read per 56 bytes
  // costs nothing beside the 10 ms per frame that the module takes.
  std::setvbuf(f, nullptr, _IONBF, 0);

  const auto size = FirmwareFileSize(f);
  if (!size) return EndWith(status::kFileFailure, UpgradeOutcome::FileFailure, f);
  // The module could not place offsets past the 20-bit field; refuse before
  // anything is streamed.
  if (!FitsOffsetField(*size)) return EndWith(status::kFileTooLarge, UpgradeOutcome::FileTooLarge, f);
  const ProgressScale scale = ProgressScaleFor(*size);
  if (!shutting_down_.load()) {
    sinks_.SetProgressRange(scale.maximum);
    sinks_.SetProgressPosition(0);
  }

  link_.SetLineSpeed(kWakeUpBaud);
  Write({reinterpret_cast<const std::uint8_t*>(kWakeUp.data()), kWakeUp.size()});
  Pause(pacing::kAfterWakeUp);
  link_.SetLineSpeed(kUpgradeBaud);

  Status(status::kSynchronising);
  std::chrono::milliseconds probing{0};
  for (;;) {
    link_.ClearReplyAndFirstByte();
    Write({&kSyncProbe, 1});
    Pause(pacing::kProbeInterval);
    const auto meaning = ClassifyReply(ReplyPhase::Synchronisation, link_.FirstByte());
    if (meaning == ReplyMeaning::OverTheAir) {
      link_mode_.store(LinkMode::OverTheAir);
      if (!shutting_down_.load()) sinks_.LinkModeLearned(LinkMode::OverTheAir);
      Enable(true);  // the operator confirms the start with it
      break;
    }
    if (meaning == ReplyMeaning::Serial) {
      link_mode_.store(LinkMode::Serial);
      if (!shutting_down_.load()) sinks_.LinkModeLearned(LinkMode::Serial);
      break;
    }
    probing += pacing::kProbeInterval;
    if (sync_limit_ && probing >= *sync_limit_) {
      return EndWith(status::kSyncTimeout, UpgradeOutcome::SyncTimeout, f);
    }
  }

  Status(status::kAcquiring);
  while (state_.load() == UpgradeState::Acquiring) {
    frame.SetPollHeader(type);
    link_.ClearReply();
    Write(frame.Bytes());
    const auto reply = WaitReply(pacing::kFrameReplyLimit);
    if (!reply || ClassifyReply(ReplyPhase::Frame, *reply) != ReplyMeaning::Acknowledged) {
      return EndWith(status::kPollRefused, UpgradeOutcome::PollRefused, f);
    }
    if (!shutting_down_.load()) sinks_.PollAcknowledged();
    if (link_mode_.load() == LinkMode::Serial) {
      Status(status::kUpgradingSerial);
      state_.store(UpgradeState::Idle);
      Pause(pacing::kSerialStartPause);
      link_.ClearReply();
    }
    // Over the air the module is polled again at once, until the operator confirms.
  }

  const LinkMode mode = link_mode_.load();
  if (mode == LinkMode::OverTheAir) Status(status::kUpgradingOverTheAir);

  // One data frame per read of the file, the final read that returns nothing
  // included: the module takes that repeated frame as the end of the data.
  std::uint32_t offset = 0;
  for (;;) {
    // A file that grows while it is streamed must not run past the offset field.
    if (static_cast<std::uint64_t>(offset) + kPayloadSize >= kOffsetLimit) {
      return EndWith(status::kFileTooLarge, UpgradeOutcome::FileTooLarge, f);
    }
    link_.ClearReply();
    frame.SetDataHeader(offset, type);
    if (!shutting_down_.load()) sinks_.SetProgressPosition(scale.Position(offset));
    const auto payload = frame.Payload();
    const std::size_t read = std::fread(payload.data(), 1, payload.size(), f);
    if (std::ferror(f)) return EndWith(status::kFileReadFailure, UpgradeOutcome::FileFailure, f);
    link_.ClearReply();
    Write(frame.Bytes());
    if (!shutting_down_.load()) sinks_.DataProgress(offset + read, *size);
    const auto reply = WaitReply(pacing::kFrameReplyLimit);
    if (!reply || ClassifyReply(ReplyPhase::Frame, *reply) != ReplyMeaning::Acknowledged) {
      return EndWith(status::kWriteError, UpgradeOutcome::FrameRefused, f);
    }
    offset += static_cast<std::uint32_t>(kPayloadSize);
    if (read == 0) break;
  }

  frame.SetEndHeader(offset, type);
  link_.ClearReply();
  Write(frame.Header());
  for (std::size_t i = 0; i < kEndFillerCount; ++i) Write({&kEndFiller, 1});
  const auto reply = WaitReply(pacing::kRebootReplyLimit);
  bool acknowledged = reply && *reply == kReplyAck;
  // A serial module may answer "2". Byte 0 is looked at even when no fresh
  // reply came; it then still holds the last data frame's "0", which is no "2".
  if (!acknowledged && mode == LinkMode::Serial) acknowledged = link_.FirstByte() == kReplySerialReboot;
  if (!acknowledged) return EndWith(status::kRebootRefused, UpgradeOutcome::RebootRefused, f);

  outcome_.store(UpgradeOutcome::Ok);
  Status(status::kUpgradeOk);
  if (mode == LinkMode::OverTheAir) {
    for (std::size_t i = 0; i < kRebootTrailerCount; ++i) Write({&kRebootTrailer, 1});
    trailer_sent_ = true;
    Pause(pacing::kAfterTrailer);
  }
  CommonEnding(f);
  *file = nullptr;
  if (!shutting_down_.load()) sinks_.UpgradeEnded(UpgradeOutcome::Ok);
  if (production_.load() && !shutting_down_.load()) sinks_.EndProcess();
}

}  // namespace zevuvuri
