// The simulated module: a strict state machine over the bytes the loader sends.
//
// It is fed the received bytes with their arrival time and returns what the module sends
// back (with the time before which each piece must not go out), the protocol violations it
// found, notes for the log, and the upgrades that completed. It does no I/O and reads no
// clock, so it can be driven byte by byte from a test.
//
// A session runs from the loader's wake-up to the loader closing the port (PortClosed), or
// to the next wake-up where a frame would begin. A session the loader abandons after a
// failure is not a violation; bytes it sends after a refused or unanswered message are.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "fault_plan.h"
#include "module_protocol.h"

namespace zevuvuri::sim {

// Time since an origin of the caller's choosing.
using Micros = std::chrono::microseconds;

struct ModelConfig {
  LinkMode mode = LinkMode::Serial;
  std::optional<std::uint8_t> type;                       // required type code, if given
  std::optional<std::vector<std::uint8_t>> expected;      // the firmware the loader must send
  FaultPlan faults;
  unsigned wire_baud = 0;                                 // 0: no wire-time emulation
  // A USB serial adapter's latency timer: what the module sends reaches the
  // loader only at the next tick of this period (since the model's origin).
  Micros usb_latency{0};
};

struct Output {
  std::vector<std::uint8_t> bytes;
  Micros not_before{0};
  bool hang_up_after = false;  // the module leaves the line once these bytes are out
};

struct CompletedUpgrade {
  unsigned session = 0;
  std::vector<std::uint8_t> firmware;  // payloads of all data frames but the repeated last one
  unsigned data_frames = 0;
  LinkMode mode = LinkMode::Serial;
  std::uint8_t type = 0;
};

struct Note {
  std::string text;
  bool detail = false;  // per-message trace, shown only when asked for
};

struct Events {
  std::vector<Output> outputs;
  std::vector<std::string> violations;
  std::vector<Note> notes;
  std::vector<CompletedUpgrade> completed;
  bool wakeup_began = false;  // the loader is sending the wake-up now (at 9600 baud)
  bool vanish = false;        // a fault asks the module to disappear now

  void Append(Events&& other);
};

class ModuleModel {
 public:
  explicit ModuleModel(ModelConfig config);

  // Bytes received at `now`. output_busy tells that replies from earlier calls still wait
  // to be written: a probe that arrives meanwhile is not answered a second time.
  Events Feed(std::span<const std::uint8_t> bytes, Micros now, bool output_busy = false);

  // The loader closed the port: the session ends.
  Events PortClosed();

  unsigned Sessions() const { return session_; }
  unsigned ViolationCount() const { return violation_count_; }
  unsigned CompletedCount() const { return completed_count_; }
  bool InSession() const { return state_ != State::Idle; }

 private:
  enum class State {
    Idle,      // no session: the port is closed or nothing has arrived yet
    Wakeup,    // inside the wake-up string
    Sync,      // probes until the first frame
    Header,    // the 4 header bytes of a frame
    Body,      // the 56 payload bytes of a poll or data frame
    Filler,    // the 56 "X" after the end header
    Trailer,   // the 60 "p" after an acknowledged end, over the air
    Done,      // the upgrade is complete: nothing more may arrive
    Stopped,   // a message was not acknowledged: the loader must give up
    Skipping,  // lost track of the framing: wait for the next wake-up
  };

  void FeedByte(std::uint8_t byte, Micros now, bool output_busy, Events& ev);
  void BeginSession(Events& ev);
  void EndSession(Events& ev);
  bool FaultsActive() const;
  void Violation(Events& ev, std::string text);
  void Skip(Events& ev);
  void StartMessage(Micros now);
  // Plans and queues the answer to the message that began at message_start_ and is
  // `length` bytes long on the wire.
  Answer SendAnswer(Events& ev, const MessageContext& message, std::size_t length);
  Micros WireTime(std::size_t bytes) const;

  void OnProbe(Events& ev, bool output_busy);
  void OnHeader(Events& ev);
  void OnPoll(Events& ev);
  void OnData(Events& ev);
  void OnEnd(Events& ev);
  void CheckType(Events& ev, const std::string& what, std::uint8_t type);
  void CheckPayload(Events& ev);
  void CheckLastRepeats(Events& ev);
  void Complete(Events& ev);
  std::string Where() const;

  ModelConfig config_;
  State state_ = State::Idle;
  unsigned session_ = 0;
  unsigned violation_count_ = 0;
  unsigned completed_count_ = 0;
  Micros message_start_{0};
  Micros line_free_{0};  // when the module's last output has left the wire
  Micros AtNextUsbTick(Micros t) const;

  // Per session.
  std::size_t pos_ = 0;  // position inside the wake-up, header, body, filler or trailer
  std::size_t skipped_ = 0;
  std::size_t wakeup_match_ = 0;  // wake-up bytes matched while skipping
  std::uint8_t header_[kHeaderSize]{};
  std::uint8_t body_[kPayloadSize]{};
  unsigned probes_ = 0;
  bool sync_answered_ = false;
  bool sync_answer_sent_ = false;
  unsigned polls_ = 0;
  unsigned acked_polls_ = 0;
  unsigned data_frames_ = 0;
  std::optional<std::uint8_t> session_type_;
  std::vector<std::uint8_t> received_;              // payloads of all data frames so far
  std::vector<std::uint8_t> expected_area_;         // the loader's payload area, with --expect
  bool beyond_expected_reported_ = false;
  std::size_t bad_filler_ = 0;
  std::size_t bad_trailer_ = 0;
  std::string stopped_after_;  // which message the loader did not get acknowledged
};

}  // namespace zevuvuri::sim
