#include "engine/upgrade_controller.h"

#include <algorithm>
#include <cctype>
#include <system_error>

#include "engine/module_type.h"
#include "engine/progress_scale.h"
#include "engine/sha256.h"
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

UpgradeController::~UpgradeController() { Stop(); }

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
  Report([text](UpgradeSinks& s) { s.SetStatus(text); });
}
void UpgradeController::Caption(std::string_view text) {
  Report([text](UpgradeSinks& s) { s.SetButtonCaption(text); });
}
void UpgradeController::Enable(bool enabled) {
  Report([enabled](UpgradeSinks& s) { s.EnableButton(enabled); });
}

bool UpgradeController::SetExpectedSha256(std::optional<std::string> sha256) {
  if (UpgradeInProgress()) return false;
  if (sha256) std::transform(sha256->begin(), sha256->end(), sha256->begin(), [](unsigned char c) {
    return static_cast<char>(std::tolower(c));
  });
  expected_sha256_ = std::move(sha256);
  return true;
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
    const WorkerPhase phase = worker_phase_.load();
    if (phase == WorkerPhase::Free) return true;
    if (phase == WorkerPhase::OwnsLink || std::chrono::steady_clock::now() >= give_up) return false;
    Report([](UpgradeSinks& s) { s.UnblockPreviousWorker(); });
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
  // Inside a sink call the previous worker may be the one waiting for this
  // call to return, so its ending cannot be waited for.
  if (SinkCallScope::Active() || shutting_down_.load() || !AwaitPreviousEnding()) return false;
  ReapWorkers();
  link_mode_.store(LinkMode::Serial);
  state_.store(UpgradeState::Acquiring);
  type_code_.store(ModuleTypeCode(type_text));
  // A bar left full by the previous upgrade would read as a success beside
  // this attempt's failure.
  Report([](UpgradeSinks& s) { s.SetProgressPosition(0); });

  if (!port || !link_.OpenLink(*port)) {
    outcome_.store(UpgradeOutcome::PortFailure);
    Status(status::kPortFailure);
    Caption(caption::kAcquire);
    Enable(true);
    state_.store(UpgradeState::Idle);
    Report([](UpgradeSinks& s) { s.UpgradeEnded(UpgradeOutcome::PortFailure); });
    return true;
  }

  firmware_name_ = std::move(firmware);
  {
    std::lock_guard lock(mutex_);
    start_reported_ = false;
  }
  auto returned = std::make_shared<std::atomic<bool>>(false);
  worker_phase_.store(WorkerPhase::OwnsLink);
  live_worker_threads_.fetch_add(1);
  try {
    worker_.thread = start_thread_([this, returned] {
      Work();
      live_worker_threads_.fetch_sub(1);
      returned->store(true);
    });
    worker_.returned = std::move(returned);
  } catch (const std::system_error&) {
    // Without a worker nothing would ever end this upgrade: undo the Start.
    worker_ = Worker{};
    live_worker_threads_.fetch_sub(1);
    outcome_.store(UpgradeOutcome::ThreadFailure);
    Status(status::kThreadFailure);
    link_.CloseLink();
    state_.store(UpgradeState::Idle);
    worker_phase_.store(WorkerPhase::Free);
    Caption(caption::kAcquire);
    Enable(true);
    Report([](UpgradeSinks& s) { s.UpgradeEnded(UpgradeOutcome::ThreadFailure); });
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

void UpgradeController::Stop() {
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
  image_ = {};
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

// A reply that came counts, whatever becomes of the device after it (a USB
// module that resets into its new firmware drops off the line at once): the
// device gone decides only when no reply came.
std::optional<std::uint8_t> UpgradeController::WaitReply(std::chrono::milliseconds limit) {
  const auto reply = link_.WaitReply(limit);
  if (shutting_down_.load()) throw Cancelled{};
  if (!reply) CheckLink();
  return reply;
}

void UpgradeController::Work() {
  {
    std::unique_lock lock(mutex_);
    start_cv_.wait(lock, [this] { return start_reported_; });
  }
  trailer_sent_ = false;
  frame_.ClearPayload();
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
    ReleaseLinkAndImage();
    state_.store(UpgradeState::Idle);
    // After the trailer the module has taken its firmware: the upgrade
    // succeeded, whatever ends the loader now.
    outcome_.store(trailer_sent_ ? UpgradeOutcome::Ok : UpgradeOutcome::Cancelled);
    worker_phase_.store(WorkerPhase::Free);
  }
}

// Takes the image: the whole file, read once into memory before the wake-up,
// so that a file rewritten or cut during the upgrade changes nothing on the
// wire, and its SHA-256, computed once. The file is closed again at once.
void UpgradeController::OpenFirmware() {
  const Ending unopened{status::kFileFailure, UpgradeOutcome::FileFailure};
  const Ending unreadable{status::kFileReadFailure, UpgradeOutcome::FileFailure};
  const auto file = firmware_name_ ? FirmwareFile::Open(*firmware_name_) : nullptr;
  if (file == nullptr) throw unopened;
  // The module could not place offsets past the 20-bit field; refuse before
  // anything is read or sent.
  if (!FitsOffsetField(file->Size())) throw Ending{status::kFileTooLarge, UpgradeOutcome::FileTooLarge};
  image_.resize(static_cast<std::size_t>(file->Size()));
  const auto read = file->Read(image_);
  if (!read || *read != image_.size()) throw unreadable;
  // A file that goes on past the size it had when opened is being written:
  // what was read may be half of one state and half of another.
  std::uint8_t beyond = 0;
  const auto more = file->Read({&beyond, 1});
  if (!more || *more != 0) throw unreadable;

  Sha256 hash;
  hash.Update(image_);
  const auto sha256 = hash.HexDigest();
  Report([&](UpgradeSinks& s) { s.FirmwareImageTaken(image_.size(), sha256); });
  if (expected_sha256_ && sha256 != expected_sha256_) throw unopened;
  Report([this](UpgradeSinks& s) {
    s.SetProgressRange(ProgressScaleFor(image_.size()).maximum);
    s.SetProgressPosition(0);
  });
}

void UpgradeController::WakeUp() {
  device_lost_ = {status::kPortLost, UpgradeOutcome::PortLost};
  link_.SetLineSpeed(kWakeUpBaud);
  Write(AsBytes(kWakeUp));
  // The wake-up takes 10.4 ms on the wire at 9600 baud, and the adapter may
  // hold some of it: switching speed before it has left would garble its end.
  link_.DrainOutput();
  Pause(sequence_timing::kAfterWakeUp);
  link_.SetLineSpeed(kUpgradeBaud);
}

void UpgradeController::Synchronise() {
  Status(status::kSynchronising);
  std::chrono::milliseconds probing{0};
  for (;;) {
    link_.ClearReplyAndFirstByte();
    Write({&kSyncProbe, 1});
    Pause(sequence_timing::kProbeInterval);
    const auto meaning = ClassifyReply(ReplyPhase::Synchronisation, link_.FirstByte());
    if (meaning == ReplyMeaning::OverTheAir || meaning == ReplyMeaning::Serial) {
      const LinkMode mode = meaning == ReplyMeaning::OverTheAir ? LinkMode::OverTheAir : LinkMode::Serial;
      link_mode_.store(mode);
      Report([mode](UpgradeSinks& s) { s.LinkModeLearned(mode); });
      if (mode == LinkMode::OverTheAir && state_.load() == UpgradeState::Acquiring) {
        // The operator confirms the start with the button. A confirm that
        // lands while this enable is on its way has disabled it already: take
        // the enable back, so the data phase never runs under a live button.
        Enable(true);
        if (state_.load() != UpgradeState::Acquiring) Enable(false);
      }
      return;
    }
    probing += sequence_timing::kProbeInterval;
    const std::int64_t limit = sync_limit_ms_.load();
    if (limit != kNoSyncLimit && probing.count() >= limit) {
      throw Ending{status::kSyncTimeout, UpgradeOutcome::SyncTimeout};
    }
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
    const auto reply = WaitReply(sequence_timing::kFrameReplyLimit);
    if (!reply || ClassifyReply(ReplyPhase::Frame, *reply) != ReplyMeaning::Acknowledged) throw refused;
    Report([](UpgradeSinks& s) { s.PollAcknowledged(); });
    if (link_mode_.load() == LinkMode::Serial) {
      Status(status::kUpgradingSerial);
      state_.store(UpgradeState::Idle);
      Pause(sequence_timing::kSerialStartPause);
      link_.ClearReply();
    }
    // Over the air the module is polled again at once, until the operator confirms.
  }
}

// One data frame per 56 bytes of the image, and one more past its end that
// carries none of it: the module takes that repeated frame as the end of the
// data. Returns the end header's offset.
std::uint32_t UpgradeController::StreamData() {
  if (link_mode_.load() == LinkMode::OverTheAir) Status(status::kUpgradingOverTheAir);
  const Ending refused{status::kWriteError, UpgradeOutcome::FrameRefused};
  device_lost_ = refused;
  const std::uint8_t type = type_code_.load();
  const std::uint64_t size = image_.size();
  const ProgressScale scale = ProgressScaleFor(size);
  std::size_t sent = 0;
  std::uint32_t offset = 0;
  for (;;) {
    link_.ClearReply();
    frame_.SetDataHeader(offset, type);
    Report([&](UpgradeSinks& s) { s.SetProgressPosition(scale.Position(offset)); });
    // A short last piece leaves the rest of the payload as the previous frame had it.
    const auto payload = frame_.Payload();
    const std::size_t piece = std::min(kPayloadSize, image_.size() - sent);
    std::copy_n(image_.begin() + static_cast<std::ptrdiff_t>(sent), piece, payload.begin());
    sent += piece;
    link_.ClearReply();
    // Counted as sent once written, before the link is looked at: a module
    // that refuses the frame and drops off the line at once still had it.
    link_.WriteBytes(frame_.Bytes());
    Report([&](UpgradeSinks& s) {
      if (piece > 0) s.FirmwareSent(payload.first(piece));
      s.DataProgress(sent, size);
    });
    CheckLink();
    const auto reply = WaitReply(sequence_timing::kFrameReplyLimit);
    if (!reply || ClassifyReply(ReplyPhase::Frame, *reply) != ReplyMeaning::Acknowledged) throw refused;
    offset += static_cast<std::uint32_t>(kPayloadSize);
    if (piece == 0) return offset;
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
  const auto reply = WaitReply(sequence_timing::kRebootReplyLimit);
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
    link_.Pause(sequence_timing::kAfterTrailer);
    if (shutting_down_.load()) throw Cancelled{};
  }
  CommonEnding();
  Report([](UpgradeSinks& s) { s.UpgradeEnded(UpgradeOutcome::Ok); });
  if (production_.load()) Report([](UpgradeSinks& s) { s.EndProcess(); });
}

void UpgradeController::EndWith(const Ending& ending) {
  outcome_.store(ending.outcome);
  Status(ending.status);
  CommonEnding();
  Report([outcome = ending.outcome](UpgradeSinks& s) { s.UpgradeEnded(outcome); });
}

void UpgradeController::ReleaseLinkAndImage() {
  link_.CloseLink();
  image_ = {};
}

// The port, the receive thread and the image are released before the button
// comes back, so that the next Start begins from a closed link; the upgrade
// stops being in progress only after the worker's last call to the button, so
// that a new Start's first calls come after it.
void UpgradeController::CommonEnding() {
  ReleaseLinkAndImage();
  state_.store(UpgradeState::Idle);
  worker_phase_.store(WorkerPhase::ReturningButton);
  Caption(caption::kAcquire);
  Enable(true);
  worker_phase_.store(WorkerPhase::Free);
}

}  // namespace zevuvuri
