// How a SerialLink paces its receive thread and the worker's reply waits:
// one small strategy per Pacing, chosen once when the link opens. The bytes
// written and every pause and time limit of the sequence are the same in
// both; what differs is only how soon an arrival reaches the worker.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>

#include "engine/pacing.h"
#include "engine/serial_port.h"
#include "engine/upgrade_frame.h"

namespace zevuvuri {

// What a reply wait needs of the link; the link implements it for its worker.
class ReplyWatch {
 public:
  // Byte 0 of the reply once one has begun to arrive.
  virtual std::optional<std::uint8_t> Reply() const = 0;
  // The link was aborted or its device is gone: no reply will come.
  virtual bool Ended() const = 0;
  // Pauses the worker for `step` on the link's clock.
  virtual void Sleep(std::chrono::milliseconds step) = 0;
  // Sleeps until an arrival, the end or `limit` on a monotonic clock, and
  // returns true; false at once on a test's clock, where nothing arrives by
  // itself while the worker sleeps.
  virtual bool AwaitArrival(std::chrono::milliseconds limit) = 0;

 protected:
  ~ReplyWatch() = default;
};

class LinkPacing {
 public:
  virtual ~LinkPacing() = default;

  static const LinkPacing& For(Pacing pacing);

  // Once, on the port just opened, before the receive thread starts.
  virtual void PreparePort(SerialPort& port) const = 0;
  // The receive thread's rest before each read (it stops early on a close).
  virtual std::chrono::milliseconds RestBeforeRead(LinkMode mode) const = 0;
  // Its rest after a read that brought nothing without the device going away
  // (an interrupted port, a failed read), so that it never spins.
  virtual std::chrono::milliseconds RestAfterEmptyRead() const = 0;
  // Whether each arrival wakes the worker's waits at once.
  virtual bool WakesWorkerOnArrival() const = 0;
  // Returns byte 0 once a reply has begun to arrive; nothing when `limit`
  // passes or the link has ended.
  virtual std::optional<std::uint8_t> WaitReply(ReplyWatch& watch, std::chrono::milliseconds limit) const = 0;

 protected:
  // Looks every `step`, `limit / step` times and once more at the end: the
  // limit is counted in steps, not read from a clock.
  static std::optional<std::uint8_t> LookEveryStep(ReplyWatch& watch, std::chrono::milliseconds step,
                                                   std::chrono::milliseconds limit);
};

const LinkPacing& ClassicPacing();
const LinkPacing& FastPacing();

}  // namespace zevuvuri
