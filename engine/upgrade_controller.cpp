#include "engine/upgrade_controller.h"

#include <system_error>

#include "engine/module_type.h"
#include "engine/progress_scale.h"
#include "engine/status_texts.h"
#include "engine/text_encoding.h"

namespace zevuvuri {
namespace {

std::thread StartThread(std::function<void()> body) { return std::thread(std::move(body)); }

std::span<const std::uint8_t> AsBytes(std::string_view text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

}  // namespace

UpgradeController::UpgradeController(UpgradeSinks& sinks)
    : sinks_(sinks), link_(link_mode_), start_thread_(StartThread) {}

UpgradeController::~UpgradeController() { Shutdown(); }

void UpgradeController::OnAcquire(std::wstring_view port_text, std::wstring_view type_text,
                                  std::wstring_view file_text) {
  OnAcquire(port_text, type_text, FirmwareName::FromText(file_text));
}

void UpgradeController::OnAcquire(std::wstring_view port_text, std::wstring_view type_text,
                                  std::optional<FirmwareName> firmware) {
  if (state_.load() == UpgradeState::Acquiring) {
    Confirm();
  } else {
    Start(port_text, type_text, std::move(firmware));
  }
}

void UpgradeController::Status(std::string_view text) {
  if (Reporting()) sinks_.SetStatus(text);
}
void UpgradeController::Caption(std::string_view text) {
  if (Reporting()) sinks_.SetButtonCaption(text);
}
void UpgradeController::Enable(bool enabled) {
  if (Reporting()) sinks_.EnableButton(enabled);
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

// A press that comes while the previous worker makes its last calls to the
// button (it can only come once the button is enabled, so those calls are
// on their way or done) waits for them, running the ones that wait for this
// thread, for a bounded time. A worker that still owns the link ignores it.
bool UpgradeController::AwaitPreviousEnding() {
  constexpr auto kLimit = std::chrono::seconds{2};
  const auto give_up = std::chrono::steady_clock::now() + kLimit;
  for (;;) {
    const Phase phase = phase_.load();
    if (phase == Phase::Idle) return true;
    if (phase == Phase::Running || std::chrono::steady_clock::now() >= give_up) return false;
    sinks_.RunWaitingCalls();
    std::this_thread::sleep_for(std::chrono::milliseconds{1});
  }
}

// The window's field: its UTF-8 form is the device name's bytes.
bool UpgradeController::Start(std::wstring_view port_text, std::wstring_view type_text,
                              std::optional<FirmwareName> firmware) {
  return Start(ToUtf8(port_text), type_text, std::move(firmware));
}

bool UpgradeController::Start(std::optional<std::string> port, std::wstring_view type_text,
                              std::optional<FirmwareName> firmware) {
  // The running upgrade owns the link and the button until its worker says
  // otherwise: a press now must change nothing, on the line or on screen.
  if (shutting_down_.load() || !AwaitPreviousEnding()) return false;
  ReapWorkers();
  link_mode_.store(LinkMode::Serial);
  state_.store(UpgradeState::Acquiring);
  type_code_.store(ModuleTypeCode(type_text));
  // A bar left full by the previous upgrade would read as a success beside
  // this attempt's failure.
  if (Reporting()) sinks_.SetProgressPosition(0);

  if (!port || !link_.OpenLink(*port)) {
    outcome_.store(UpgradeOutcome::PortFailure);
    Status(status::kPortFailure);
    Caption(caption::kAcquire);
    Enable(true);
    state_.store(UpgradeState::Idle);
    if (Reporting()) sinks_.UpgradeEnded(UpgradeOutcome::PortFailure);
    return true;
  }

  firmware_name_ = std::move(firmware);
  {
    std::lock_guard lock(mutex_);
    start_reported_ = false;
  }
  auto returned = std::make_shared<std::atomic<bool>>(false);
  phase_.store(Phase::Running);
  workers_running_.fetch_add(1);
  try {
    worker_.thread = start_thread_([this, returned] {
      Work();
      workers_running_.fetch_sub(1);
      returned->store(true);
    });
    worker_.returned = std::move(returned);
  } catch (const std::system_error&) {
    // Without a worker nothing would ever end this upgrade: undo the Start.
    worker_ = Worker{};
    workers_running_.fetch_sub(1);
    outcome_.store(UpgradeOutcome::ThreadFailure);
    Status(status::kThreadFailure);
    link_.CloseLink();
    state_.store(UpgradeState::Idle);
    phase_.store(Phase::Idle);
    Caption(caption::kAcquire);
    Enable(true);
    if (Reporting()) sinks_.UpgradeEnded(UpgradeOutcome::ThreadFailure);
    return true;
  }

  Status(status::kRunning);
  Caption(caption::kClickToStart);
  {
    std::lock_guard lock(mutex_);
    start_reported_ = true;
  }
  start_cv_.notify_all();
  return true;
}

bool UpgradeController::Confirm() {
  // Exchanged, not just stored: a confirm that races the end of the
  // synchronisation or a failed poll must not turn into anything else.
  UpgradeState expected = UpgradeState::Acquiring;
  if (!state_.compare_exchange_strong(expected, UpgradeState::Idle)) return false;
  Enable(false);
  Caption(caption::kAcquire);
  return true;
}

void UpgradeController::Shutdown() {
  shutting_down_.store(true);
  link_.Abort();
  {
    std::lock_guard lock(mutex_);
    start_reported_ = true;
  }
  start_cv_.notify_all();
  if (worker_.thread.joinable()) worker_.thread.join();
  for (auto& w : finished_workers_) w.thread.join();
  finished_workers_.clear();
  link_.CloseLink();
  file_.reset();
}

void UpgradeController::CheckLink() const {
  if (shutting_down_.load()) throw Cancelled{};
  if (link_.DeviceGone()) throw device_lost_;
}

void UpgradeController::Pause(std::chrono::milliseconds duration) {
  link_.Pause(duration);
  CheckLink();
}

void UpgradeController::Write(std::span<const std::uint8_t> bytes) {
  link_.WriteBytes(bytes);  // a frame that did not go out shows up as a missing reply
  CheckLink();
}

std::optional<std::uint8_t> UpgradeController::WaitReply(std::chrono::milliseconds limit) {
  const auto reply = link_.WaitReply(limit);
  CheckLink();
  return reply;
}

void UpgradeController::Work() {
  {
    std::unique_lock lock(mutex_);
    start_cv_.wait(lock, [this] { return start_reported_; });
  }
  trailer_sent_ = false;
  try {
    if (shutting_down_.load()) throw Cancelled{};
    Enable(false);
    OpenFirmware();
    WakeUp();
    Synchronise();
    AwaitStart();
    EndAndReboot(StreamData());
    Succeed();
  } catch (const Ending& ending) {
    EndWith(ending);
  } catch (const Cancelled&) {
    link_.CloseLink();
    file_.reset();
    state_.store(UpgradeState::Idle);
    // After the trailer the module has taken its firmware: the upgrade
    // succeeded, whatever ends the loader now.
    outcome_.store(trailer_sent_ ? UpgradeOutcome::Ok : UpgradeOutcome::Cancelled);
    phase_.store(Phase::Idle);
  }
}

void UpgradeController::OpenFirmware() {
  file_ = firmware_name_ ? FirmwareFile::Open(*firmware_name_) : nullptr;
  if (file_ == nullptr) throw Ending{status::kFileFailure, UpgradeOutcome::FileFailure};
  // The module could not place offsets past the 20-bit field; refuse before
  // anything is sent.
  if (!FitsOffsetField(file_->Size())) throw Ending{status::kFileTooLarge, UpgradeOutcome::FileTooLarge};
  if (Reporting()) {
    sinks_.SetProgressRange(ProgressScaleFor(file_->Size()).maximum);
    sinks_.SetProgressPosition(0);
  }
}

void UpgradeController::WakeUp() {
  device_lost_ = {status::kPortLost, UpgradeOutcome::PortLost};
  link_.SetLineSpeed(kWakeUpBaud);
  Write(AsBytes(kWakeUp));
  // The wake-up takes 10.4 ms on the wire at 9600 baud, and the adapter may
  // hold some of it: switching speed before it has left would garble its end.
  link_.DrainOutput();
  Pause(pacing::kAfterWakeUp);
  link_.SetLineSpeed(kUpgradeBaud);
}

void UpgradeController::Synchronise() {
  Status(status::kSynchronising);
  std::chrono::milliseconds probing{0};
  for (;;) {
    link_.ClearReplyAndFirstByte();
    Write({&kSyncProbe, 1});
    Pause(pacing::kProbeInterval);
    const auto meaning = ClassifyReply(ReplyPhase::Synchronisation, link_.FirstByte());
    if (meaning == ReplyMeaning::OverTheAir || meaning == ReplyMeaning::Serial) {
      const LinkMode mode = meaning == ReplyMeaning::OverTheAir ? LinkMode::OverTheAir : LinkMode::Serial;
      link_mode_.store(mode);
      if (Reporting()) sinks_.LinkModeLearned(mode);
      if (mode == LinkMode::OverTheAir && state_.load() == UpgradeState::Acquiring) {
        // The operator confirms the start with the button. A confirm that
        // lands while this enable is on its way has disabled it already: take
        // the enable back, so the data phase never runs under a live button.
        Enable(true);
        if (state_.load() != UpgradeState::Acquiring) Enable(false);
      }
      return;
    }
    probing += pacing::kProbeInterval;
    if (sync_limit_ && probing >= *sync_limit_) throw Ending{status::kSyncTimeout, UpgradeOutcome::SyncTimeout};
  }
}

void UpgradeController::AwaitStart() {
  Status(status::kAcquiring);
  const Ending refused{status::kPollRefused, UpgradeOutcome::PollRefused};
  device_lost_ = refused;
  const std::uint8_t type = type_code_.load();
  while (state_.load() == UpgradeState::Acquiring) {
    frame_.SetPollHeader(type);
    link_.ClearReply();
    Write(frame_.Bytes());
    const auto reply = WaitReply(pacing::kFrameReplyLimit);
    if (!reply || ClassifyReply(ReplyPhase::Frame, *reply) != ReplyMeaning::Acknowledged) throw refused;
    if (Reporting()) sinks_.PollAcknowledged();
    if (link_mode_.load() == LinkMode::Serial) {
      Status(status::kUpgradingSerial);
      state_.store(UpgradeState::Idle);
      Pause(pacing::kSerialStartPause);
      link_.ClearReply();
    }
    // Over the air the module is polled again at once, until the operator confirms.
  }
}

// One data frame per read of the file, the final read that returns nothing
// included: the module takes that repeated frame as the end of the data.
// Returns the end header's offset.
std::uint32_t UpgradeController::StreamData() {
  if (link_mode_.load() == LinkMode::OverTheAir) Status(status::kUpgradingOverTheAir);
  const Ending refused{status::kWriteError, UpgradeOutcome::FrameRefused};
  const Ending unreadable{status::kFileReadFailure, UpgradeOutcome::FileFailure};
  device_lost_ = refused;
  const std::uint8_t type = type_code_.load();
  const std::uint64_t size = file_->Size();
  const ProgressScale scale = ProgressScaleFor(size);
  std::uint64_t read_total = 0;
  std::uint32_t offset = 0;
  for (;;) {
    // A file that grows while it is streamed must not run past the offset field.
    if (static_cast<std::uint64_t>(offset) + kPayloadSize >= kOffsetLimit) {
      throw Ending{status::kFileTooLarge, UpgradeOutcome::FileTooLarge};
    }
    link_.ClearReply();
    frame_.SetDataHeader(offset, type);
    if (Reporting()) sinks_.SetProgressPosition(scale.Position(offset));
    const auto payload = frame_.Payload();
    const auto read = file_->Read(payload);
    if (!read) throw unreadable;
    read_total += *read;
    // The size was taken before the first frame. A file that now ends
    // earlier, or goes on past it, has changed under the upgrade: its frames
    // would give the module a cut or shifted image. Stop before this frame.
    if (read_total > size || (*read < kPayloadSize && read_total != size)) throw unreadable;
    link_.ClearReply();
    Write(frame_.Bytes());
    if (Reporting()) {
      if (*read > 0) sinks_.FirmwareSent(payload.first(*read));
      sinks_.DataProgress(read_total, size);
    }
    const auto reply = WaitReply(pacing::kFrameReplyLimit);
    if (!reply || ClassifyReply(ReplyPhase::Frame, *reply) != ReplyMeaning::Acknowledged) throw refused;
    offset += static_cast<std::uint32_t>(kPayloadSize);
    if (*read == 0) return offset;
  }
}

void UpgradeController::EndAndReboot(std::uint32_t end_offset) {
  const Ending refused{status::kRebootRefused, UpgradeOutcome::RebootRefused};
  device_lost_ = refused;
  frame_.SetEndHeader(end_offset, type_code_.load());
  link_.ClearReply();
  Write(frame_.Header());
  for (std::size_t i = 0; i < kEndFillerCount; ++i) Write({&kEndFiller, 1});
  // A serial module may also answer "2". No fresh reply is no answer: byte 0
  // would still hold the last data frame's "0".
  const auto reply = WaitReply(pacing::kRebootReplyLimit);
  if (!reply || ClassifyReply(ReplyPhase::End, *reply, link_mode_.load()) != ReplyMeaning::Acknowledged) {
    throw refused;
  }
}

void UpgradeController::Succeed() {
  outcome_.store(UpgradeOutcome::Ok);
  Status(status::kUpgradeOk);
  if (link_mode_.load() == LinkMode::OverTheAir) {
    // The module has acknowledged its reboot: a device that goes away now
    // takes nothing from the upgrade, so the trailer and the pause stop early.
    for (std::size_t i = 0; i < kRebootTrailerCount && !link_.DeviceGone(); ++i) {
      if (shutting_down_.load()) throw Cancelled{};
      link_.WriteBytes({&kRebootTrailer, 1});
    }
    trailer_sent_ = true;
    link_.Pause(pacing::kAfterTrailer);
    if (shutting_down_.load()) throw Cancelled{};
  }
  CommonEnding();
  if (Reporting()) sinks_.UpgradeEnded(UpgradeOutcome::Ok);
  if (production_.load() && Reporting()) sinks_.EndProcess();
}

void UpgradeController::EndWith(const Ending& ending) {
  outcome_.store(ending.outcome);
  Status(ending.status);
  CommonEnding();
  if (Reporting()) sinks_.UpgradeEnded(ending.outcome);
}

// The port, the receive thread and the file are released before the button
// comes back, so that the next Start begins from a closed link; the worker
// stops being busy only after its last call to the button, so that a new
// Start's first calls come after it.
void UpgradeController::CommonEnding() {
  link_.CloseLink();
  file_.reset();
  state_.store(UpgradeState::Idle);
  phase_.store(Phase::Ending);
  Caption(caption::kAcquire);
  Enable(true);
  phase_.store(Phase::Idle);
}

}  // namespace zevuvuri
