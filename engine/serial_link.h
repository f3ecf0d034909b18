// The one serial port an upgrade talks through, its receive thread and the
// buffer that thread fills. No framing here: what is written and what replies
// mean belongs to upgrade_frame.h and upgrade_controller.cpp.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string_view>
#include <thread>

#include "engine/link_pacing.h"
#include "engine/pacing.h"
#include "engine/pacing_clock.h"
#include "engine/receive_buffer.h"
#include "engine/serial_port.h"
#include "engine/upgrade_frame.h"

namespace zevuvuri {

// Sees every byte that crosses the link, for tracing. Sent: on the writing
// thread; Received: on the receive thread. Must be quick and must not call
// back into the link.
class LinkObserver {
 public:
  virtual ~LinkObserver() = default;
  virtual void Sent(std::span<const std::uint8_t> bytes) = 0;
  virtual void Received(std::span<const std::uint8_t> bytes) = 0;
};

// Thread contract:
//   OpenLink: one thread while the link is closed (the window thread at Start).
//   SetLineSpeed, WriteBytes, DrainOutput, ClearReply*, WaitReply, Pause,
//   CloseLink: the worker.
//   ReplyCount, FirstByte, DeviceGone, Abort: any thread.
//   The receive thread only appends to the buffer, and marks the device gone.
//
// How the receive thread rests between reads and how WaitReply looks for a
// reply is the pacing's (link_pacing.h), chosen at OpenLink; the receive
// thread reads `link_mode` before each rest.
class SerialLink : private ReplyWatch {
 public:
  static constexpr std::size_t kReadChunk = 60000;

  explicit SerialLink(const std::atomic<LinkMode>& link_mode);
  ~SerialLink();
  SerialLink(const SerialLink&) = delete;
  SerialLink& operator=(const SerialLink&) = delete;

  // Opens the port the text names and starts the receive thread. On false the
  // link stays closed and LastOpenError says why. A link that is open is in
  // use: it is never closed from here, and the call returns false.
  bool OpenLink(std::string_view port_text);
  const PortOpenError& LastOpenError() const { return last_open_error_; }
  // The pacing of the next OpenLink onwards; set while the link is closed.
  // GetPacing: any thread.
  void SetPacing(Pacing pacing) { pacing_.store(pacing); }
  Pacing GetPacing() const { return pacing_.load(); }
  bool IsOpen() const { return port_ != nullptr; }

  bool SetLineSpeed(std::uint32_t baud);
  // One call is one system write; returns when it completed or failed.
  bool WriteBytes(std::span<const std::uint8_t> bytes);
  // Returns once what was written has left the port.
  bool DrainOutput();

  void ClearReply() { buffer_.Clear(); }
  void ClearReplyAndFirstByte() { buffer_.ClearWithFirstByte(); }
  std::uint16_t ReplyCount() const { return buffer_.Count(); }
  std::uint8_t FirstByte() const { return buffer_.FirstByte(); }

  // Returns byte 0 once the count is not 0; nothing when the limit passes,
  // the link is aborted or its device is gone. Classic pacing looks every
  // 10 ms, `limit / 10 ms` pauses and a last look: the limit is counted in
  // pauses, not read from a clock. Fast pacing sleeps until an arrival or the
  // limit on a monotonic clock, then looks once more.
  std::optional<std::uint8_t> WaitReply(std::chrono::milliseconds limit) { return paced_->WaitReply(*this, limit); }

  // Sleeps for `duration`; returns false at once (and early) when the link is
  // aborted or its device is gone.
  bool Pause(std::chrono::milliseconds duration);

  // True once the device has gone away under the open link (a read or write
  // found it hung up or removed). Reset by the next OpenLink.
  bool DeviceGone() const { return device_gone_.load(); }

  // Ends the port's use and stops the receive thread (cooperatively: it is
  // woken and joined, never killed, so its lock is never left held), then
  // releases the device. Safe on a closed link.
  void CloseLink();

  // Ends a blocked write or wait at once and makes later ones return at once,
  // until the next OpenLink. For shutting down while an upgrade runs.
  void Abort();
  bool Aborted() const { return aborted_.load(); }

  void SetObserver(LinkObserver* observer) { observer_ = observer; }

  // For tests and fuzzers: open ports through `opener` instead of the
  // platform's devices, and take WaitReply's pauses from `clock`. Set both
  // while the link is closed.
  using PortOpener = std::function<std::unique_ptr<SerialPort>(std::string_view port_text, PortOpenError* error)>;
  void SetPortOpenerForTesting(PortOpener opener) { port_opener_ = std::move(opener); }
  void SetClockForTesting(PacingClock* clock) { clock_ = clock; }
  // Appends as the receive thread does, for a test port that delivers bytes itself.
  void DeliverForTesting(std::span<const std::uint8_t> bytes) { buffer_.Append(bytes); }

 private:
  void ReceiveLoop();
  // Rests the receive thread for `duration`, or only looks when it is 0;
  // false once the link is being closed.
  bool RestOrStop(std::chrono::milliseconds duration);
  void MarkGone();

  // The worker's view for the pacing's reply wait.
  std::optional<std::uint8_t> Reply() const override;
  bool Ended() const override { return aborted_.load() || device_gone_.load(); }
  void Sleep(std::chrono::milliseconds step) override;
  bool AwaitArrival(std::chrono::milliseconds limit) override;
  void Wake();  // ends Pause and WaitReply early

  const std::atomic<LinkMode>& link_mode_;
  ReceiveBuffer buffer_;
  PortOpenError last_open_error_;
  std::unique_ptr<SerialPort> port_;
  std::thread receiver_;
  LinkObserver* observer_ = nullptr;
  PortOpener port_opener_;
  PacingClock* clock_ = nullptr;  // nothing: real time
  std::atomic<Pacing> pacing_{Pacing::Classic};
  // The strategy of the pacing the link opened with; set by OpenLink while
  // no receive thread runs.
  const LinkPacing* paced_ = &LinkPacing::For(Pacing::Classic);

  std::mutex port_mutex_;  // guards port_ against Abort from another thread
  std::mutex stop_mutex_;
  std::condition_variable stop_cv_;
  bool stop_ = false;  // under stop_mutex_
  std::atomic<bool> aborted_{false};
  std::atomic<bool> device_gone_{false};
  // Pauses and waits of the worker sleep on this, so that an abort, a device
  // that goes away or (in fast pacing) an arrival ends them at once.
  std::mutex event_mutex_;
  std::condition_variable event_cv_;
};

}  // namespace zevuvuri
