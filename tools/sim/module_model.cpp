#include "module_model.h"

#include <algorithm>
#include <cstdio>
#include <utility>

namespace zevuvuri::sim {

namespace {

std::string ShowByte(std::uint8_t byte) {
  char text[16];
  if (byte >= 0x20 && byte < 0x7F) {
    std::snprintf(text, sizeof text, "0x%02x '%c'", byte, byte);
  } else {
    std::snprintf(text, sizeof text, "0x%02x", byte);
  }
  return text;
}

std::string ShowHex(std::uint8_t byte) {
  char text[8];
  std::snprintf(text, sizeof text, "0x%02x", byte);
  return text;
}

std::uint32_t HeaderOffset(const std::uint8_t* header) {
  return static_cast<std::uint32_t>(header[0]) | static_cast<std::uint32_t>(header[1]) << 8 |
         static_cast<std::uint32_t>(header[2] & 0x0F) << 16;
}

std::size_t FramesForFile(std::size_t size) {
  return (size + kPayloadSize - 1) / kPayloadSize + 1;  // one more for the read that hit the end
}

std::string DescribeAnswer(const Answer& answer) {
  if (answer.reply.empty()) return "not answered";
  std::string text = "answered " + ShowByte(answer.reply.back());
  const std::size_t extra = answer.reply.size() + answer.after.size() - 1;
  if (extra > 0) text += " with " + std::to_string(extra) + " junk bytes";
  if (answer.delay.count() > 0) text += " after " + std::to_string(answer.delay.count()) + " ms";
  return text;
}

}  // namespace

void Events::Append(Events&& other) {
  for (auto& o : other.outputs) outputs.push_back(std::move(o));
  for (auto& v : other.violations) violations.push_back(std::move(v));
  for (auto& n : other.notes) notes.push_back(std::move(n));
  for (auto& c : other.completed) completed.push_back(std::move(c));
  wakeup_began = wakeup_began || other.wakeup_began;
  vanish = vanish || other.vanish;
}

ModuleModel::ModuleModel(ModelConfig config) : config_(std::move(config)) {}

Events ModuleModel::Feed(std::span<const std::uint8_t> bytes, Micros now, bool output_busy) {
  Events ev;
  for (const std::uint8_t byte : bytes) {
    FeedByte(byte, now, output_busy || !ev.outputs.empty(), ev);
    if (ev.vanish) break;
  }
  return ev;
}

Events ModuleModel::PortClosed() {
  Events ev;
  EndSession(ev);
  return ev;
}

bool ModuleModel::FaultsActive() const { return config_.faults.every_session || session_ == 1; }

void ModuleModel::Violation(Events& ev, std::string text) {
  ++violation_count_;
  ev.violations.push_back(std::move(text));
}

Micros ModuleModel::WireTime(std::size_t bytes) const {
  if (config_.wire_baud == 0) return Micros{0};
  return Micros{static_cast<long long>(bytes) * kBitsPerByte * 1'000'000LL / config_.wire_baud};
}

// An adapter holds what it received until its latency timer fires, and then
// passes on everything it holds.
Micros ModuleModel::AtNextUsbTick(Micros t) const {
  const auto period = config_.usb_latency;
  if (period <= Micros{0}) return t;
  return ((t + period - Micros{1}) / period) * period;
}

void ModuleModel::StartMessage(Micros now) { message_start_ = now; }

void ModuleModel::BeginSession(Events& ev) {
  ++session_;
  state_ = State::Wakeup;
  pos_ = 0;
  skipped_ = 0;
  wakeup_match_ = 0;
  probes_ = 0;
  sync_answered_ = false;
  sync_answer_sent_ = false;
  polls_ = 0;
  acked_polls_ = 0;
  data_frames_ = 0;
  session_type_.reset();
  received_.clear();
  expected_area_.assign(kPayloadSize, 0);  // the loader's payload area starts as zeros
  beyond_expected_reported_ = false;
  bad_filler_ = 0;
  bad_trailer_ = 0;
  stopped_after_.clear();
  // Replies of the session before that are still to go are dropped with it
  // (the simulator clears its queue at a wake-up or a close): the line is
  // free for this session's first answer.
  line_free_ = Micros{0};
  ev.wakeup_began = true;
  ev.notes.push_back({"session " + std::to_string(session_) + " began" +
                          (FaultsActive() ? "" : " (faults off)"),
                      false});
}

std::string ModuleModel::Where() const {
  if (data_frames_ > 0) return "after data frame " + std::to_string(data_frames_);
  if (polls_ > 0) return "after poll frame " + std::to_string(polls_);
  if (probes_ > 0) return "after probe " + std::to_string(probes_);
  return "during the wake-up";
}

void ModuleModel::EndSession(Events& ev) {
  std::string outcome;
  switch (state_) {
    case State::Idle:
      return;
    case State::Wakeup:
      Violation(ev, "wake-up cut short: " + std::to_string(pos_) + " of " +
                        std::to_string(kWakeup.size()) + " bytes");
      break;
    case State::Sync:
      if (!sync_answered_) outcome = "while synchronising";
      break;
    case State::Header:
    case State::Body: {
      const std::size_t got = state_ == State::Header ? pos_ : kHeaderSize + pos_;
      if (got > 0) {
        Violation(ev, "frame cut short: " + std::to_string(got) + " of " +
                          std::to_string(kFrameSize) + " bytes " + Where());
      }
      break;
    }
    case State::Filler:
      Violation(ev, "filler cut short: " + std::to_string(pos_) + " of " +
                        std::to_string(kFillerCount) + " bytes");
      break;
    case State::Trailer:
      if (pos_ == 0) {
        outcome = "without the reboot trailer";
      } else {
        Violation(ev, "reboot trailer cut short: " + std::to_string(pos_) + " of " +
                          std::to_string(kTrailerCount) + " bytes");
      }
      break;
    case State::Done:
      outcome = "after a complete upgrade";
      break;
    case State::Stopped:
      outcome = "after " + stopped_after_ + " was not acknowledged";
      break;
    case State::Skipping:
      ev.notes.push_back({"skipped " + std::to_string(skipped_) + " bytes", false});
      break;
  }
  if (outcome.empty()) outcome = Where();
  ev.notes.push_back({"session " + std::to_string(session_) + " ended " + outcome, false});
  state_ = State::Idle;
}

void ModuleModel::Skip(Events& ev) {
  (void)ev;
  state_ = State::Skipping;
  skipped_ = 0;
  wakeup_match_ = 0;
}

void ModuleModel::FeedByte(std::uint8_t byte, Micros now, bool output_busy, Events& ev) {
  if (state_ == State::Idle) BeginSession(ev);

  // Where a message would begin, a wake-up means the loader started over without closing.
  auto restarts_session = [&] {
    if (byte != kWakeup[0]) return false;
    EndSession(ev);
    BeginSession(ev);
    pos_ = 1;
    return true;
  };

  switch (state_) {
    case State::Idle:
      break;

    case State::Wakeup:
      if (byte != kWakeup[pos_]) {
        Violation(ev, "wake-up byte " + std::to_string(pos_ + 1) + " is " + ShowByte(byte) +
                          ", expected " + ShowByte(kWakeup[pos_]));
        Skip(ev);
        FeedByte(byte, now, output_busy, ev);  // it may begin the real wake-up
        return;
      }
      if (++pos_ == kWakeup.size()) {
        state_ = State::Sync;
        ev.notes.push_back({"wake-up received", true});
      }
      return;

    case State::Sync:
      if (byte == kProbe) {
        StartMessage(now);
        OnProbe(ev, output_busy);
        return;
      }
      if (sync_answered_) {
        state_ = State::Header;
        pos_ = 0;
        FeedByte(byte, now, output_busy, ev);
        return;
      }
      if (restarts_session()) return;
      Violation(ev, "byte " + ShowByte(byte) + " before the module answered a probe");
      Skip(ev);
      return;

    case State::Header:
      if (pos_ == 0) {
        if (restarts_session()) return;
        StartMessage(now);
      }
      header_[pos_++] = byte;
      if (pos_ == kHeaderSize) OnHeader(ev);
      return;

    case State::Body:
      body_[pos_++] = byte;
      if (pos_ < kPayloadSize) return;
      if (header_[2] == kPollMarker) {
        OnPoll(ev);
      } else {
        OnData(ev);
      }
      return;

    case State::Filler:
      if (byte != kFiller && bad_filler_++ == 0) {
        Violation(ev, "filler byte " + std::to_string(pos_ + 1) + " is " + ShowByte(byte) +
                          ", expected 'X'");
      }
      if (++pos_ < kFillerCount) return;
      {
        const Answer a = SendAnswer(ev, {Phase::End, 1, kAck, false}, kHeaderSize + kFillerCount);
        if (a.vanish) return;
        const bool reply_ok =
            !a.reply.empty() && (a.reply.front() == kAck ||
                                 (a.reply.front() == kRebootAck && config_.mode == LinkMode::Serial));
        ev.notes.push_back({"end " + DescribeAnswer(a), true});
        if (!reply_ok || a.delay > kEndReplyLimit) {
          state_ = State::Stopped;
          stopped_after_ = "the end";
        } else if (config_.mode == LinkMode::Serial) {
          Complete(ev);
        } else {
          state_ = State::Trailer;
          pos_ = 0;
        }
      }
      return;

    case State::Trailer:
      if (byte != kTrailerByte && bad_trailer_++ == 0) {
        Violation(ev, "reboot trailer byte " + std::to_string(pos_ + 1) + " is " +
                          ShowByte(byte) + ", expected 'p'");
      }
      if (++pos_ == kTrailerCount) Complete(ev);
      return;

    case State::Done:
      if (restarts_session()) return;
      Violation(ev, "byte " + ShowByte(byte) + " after the upgrade ended" +
                        (config_.mode == LinkMode::Serial && byte == kTrailerByte
                             ? " (no reboot trailer in serial mode)"
                             : ""));
      Skip(ev);
      return;

    case State::Stopped:
      if (restarts_session()) return;
      Violation(ev, "byte " + ShowByte(byte) + " after " + stopped_after_ +
                        " was not acknowledged: the loader should have given up");
      Skip(ev);
      return;

    case State::Skipping: {
      ++skipped_;
      wakeup_match_ = byte == kWakeup[wakeup_match_] ? wakeup_match_ + 1
                      : byte == kWakeup[0]           ? 1
                                                     : 0;
      if (wakeup_match_ == kWakeup.size()) {
        skipped_ -= kWakeup.size();
        EndSession(ev);
        BeginSession(ev);
        state_ = State::Sync;
      }
      return;
    }
  }
}

Answer ModuleModel::SendAnswer(Events& ev, const MessageContext& message, std::size_t length) {
  Answer a = PlanAnswer(config_.faults, FaultsActive(), message);
  if (a.vanish) {
    ev.vanish = true;
    ev.notes.push_back({"vanishing at " + std::string(PhaseName(message.phase)) + " message " +
                            std::to_string(message.number) + ", as asked",
                        false});
    state_ = State::Skipping;
    return a;
  }
  // The reply waits until the message has crossed the wire, then takes its own wire time.
  const Micros ready =
      message_start_ + WireTime(length) + std::chrono::duration_cast<Micros>(a.delay);
  const std::size_t first_output = ev.outputs.size();
  for (auto* piece : {&a.reply, &a.after}) {
    if (piece->empty()) continue;
    line_free_ = std::max(ready, line_free_) + WireTime(piece->size());
    ev.outputs.push_back({*piece, AtNextUsbTick(line_free_)});
  }
  if (a.hang_up_after_reply) {
    ev.notes.push_back({"hanging up after " + std::string(PhaseName(message.phase)) + " message " +
                            std::to_string(message.number) + ", as asked",
                        false});
    if (ev.outputs.size() > first_output) {
      ev.outputs.back().hang_up_after = true;
    } else {
      ev.vanish = true;  // nothing to send first
    }
  }
  return a;
}

void ModuleModel::OnProbe(Events& ev, bool output_busy) {
  ++probes_;
  if (sync_answer_sent_ && output_busy) {
    ev.notes.push_back({"probe " + std::to_string(probes_) + ": an answer is on its way", true});
    return;
  }
  const std::uint8_t mode_byte =
      config_.mode == LinkMode::Serial ? kSyncSerial : kSyncOverTheAir;
  const Answer a = SendAnswer(ev, {Phase::Sync, probes_, mode_byte, !sync_answer_sent_}, 1);
  if (a.vanish) return;
  ev.notes.push_back({"probe " + std::to_string(probes_) + " " + DescribeAnswer(a), true});
  if (a.reply.empty()) return;
  sync_answer_sent_ = true;
  // A loader may look past a junk byte for the answer, so any answer counts.
  if (std::find(a.reply.begin(), a.reply.end(), mode_byte) != a.reply.end()) {
    sync_answered_ = true;
  }
}

void ModuleModel::OnHeader(Events& ev) {
  const std::uint8_t marker = header_[2];
  if (marker == kPollMarker || (marker & kMarkerMask) == kDataMarker) {
    state_ = State::Body;
    pos_ = 0;
    return;
  }
  if ((marker & kMarkerMask) == kEndMarker) {
    OnEnd(ev);
    return;
  }
  Violation(ev, "frame header " + ShowHex(header_[0]) + " " + ShowHex(header_[1]) + " " +
                    ShowHex(header_[2]) + " " + ShowHex(header_[3]) + " " + Where() +
                    ": unknown marker " + ShowHex(marker));
  Skip(ev);
}

void ModuleModel::CheckType(Events& ev, const std::string& what, std::uint8_t type) {
  if (config_.type && type != *config_.type) {
    Violation(ev, what + ": type " + ShowHex(type) + ", expected " + ShowHex(*config_.type));
  } else if (!config_.type && session_type_ && type != *session_type_) {
    Violation(ev, what + ": type " + ShowHex(type) + ", the first frame had " +
                      ShowHex(*session_type_));
  }
  if (!session_type_) session_type_ = type;
}

void ModuleModel::OnPoll(Events& ev) {
  ++polls_;
  const std::string what = "poll frame " + std::to_string(polls_);
  const std::uint32_t offset = HeaderOffset(header_);
  if (offset != 0) {
    Violation(ev, what + ": offset " + std::to_string(offset) + ", expected 0");
  }
  CheckType(ev, what, header_[3]);
  if (data_frames_ > 0) {
    Violation(ev, what + " after data frames began");
  } else if (config_.mode == LinkMode::Serial && acked_polls_ > 0) {
    Violation(ev, what + " in serial mode: streaming should have begun after the first "
                         "acknowledged poll frame");
  }
  const Answer a = SendAnswer(ev, {Phase::Poll, polls_, kAck, false}, kFrameSize);
  if (a.vanish) return;
  ev.notes.push_back({what + " " + DescribeAnswer(a), true});
  if (!a.reply.empty() && a.reply.front() == kAck && a.delay <= kFrameReplyLimit) {
    ++acked_polls_;
    state_ = State::Header;
    pos_ = 0;
  } else {
    state_ = State::Stopped;
    stopped_after_ = what;
  }
}

void ModuleModel::CheckPayload(Events& ev) {
  const auto& file = *config_.expected;
  const std::size_t frames = FramesForFile(file.size());
  if (data_frames_ > frames) {
    if (!beyond_expected_reported_) {
      Violation(ev, "data frame " + std::to_string(data_frames_) + " is beyond the " +
                        std::to_string(frames) + " data frames the file gives");
      beyond_expected_reported_ = true;
    }
    return;
  }
  // Mirror the loader's payload area: each read overwrites only as many bytes as it got.
  const std::size_t start = static_cast<std::size_t>(data_frames_ - 1) * kPayloadSize;
  if (start < file.size()) {
    const std::size_t n = std::min(kPayloadSize, file.size() - start);
    std::copy_n(file.begin() + static_cast<std::ptrdiff_t>(start), n, expected_area_.begin());
  }
  const auto mismatch = std::mismatch(std::begin(body_), std::end(body_), expected_area_.begin());
  if (mismatch.first != std::end(body_)) {
    const auto index = mismatch.first - std::begin(body_);
    Violation(ev, "data frame " + std::to_string(data_frames_) + ": payload byte " +
                      std::to_string(index) + " is " + ShowHex(*mismatch.first) +
                      ", expected " + ShowHex(*mismatch.second));
  }
}

void ModuleModel::OnData(Events& ev) {
  ++data_frames_;
  const std::string what = "data frame " + std::to_string(data_frames_);
  const std::uint32_t expected_offset =
      static_cast<std::uint32_t>((data_frames_ - 1) * kPayloadSize) & kOffsetMask;
  const std::uint32_t offset = HeaderOffset(header_);
  if (offset != expected_offset) {
    Violation(ev, what + ": offset " + std::to_string(offset) + ", expected " +
                      std::to_string(expected_offset));
  }
  CheckType(ev, what, header_[3]);
  if (data_frames_ == 1 && config_.mode == LinkMode::Serial && acked_polls_ == 0) {
    Violation(ev, what + " before any acknowledged poll frame in serial mode");
  }
  received_.insert(received_.end(), std::begin(body_), std::end(body_));
  if (config_.expected) CheckPayload(ev);

  const Answer a = SendAnswer(ev, {Phase::Data, data_frames_, kAck, false}, kFrameSize);
  if (a.vanish) return;
  ev.notes.push_back({what + " (offset " + std::to_string(offset) + ") " + DescribeAnswer(a), true});
  if (!a.reply.empty() && a.reply.front() == kAck && a.delay <= kFrameReplyLimit) {
    state_ = State::Header;
    pos_ = 0;
  } else {
    state_ = State::Stopped;
    stopped_after_ = what;
  }
}

void ModuleModel::CheckLastRepeats(Events& ev) {
  // The last data frame comes from the read that found the end: its payload is unchanged.
  const auto last = received_.end() - static_cast<std::ptrdiff_t>(kPayloadSize);
  const std::vector<std::uint8_t> zeros(kPayloadSize, 0);
  const auto previous = data_frames_ > 1 ? last - static_cast<std::ptrdiff_t>(kPayloadSize)
                                         : zeros.begin();
  const auto mismatch = std::mismatch(last, received_.end(), previous);
  if (mismatch.first != received_.end()) {
    Violation(ev, "last data frame " + std::to_string(data_frames_) + " does not repeat " +
                      (data_frames_ > 1 ? "the previous payload" : "the initial zero payload") +
                      ": byte " + std::to_string(mismatch.first - last) + " is " +
                      ShowHex(*mismatch.first) + ", expected " + ShowHex(*mismatch.second));
  }
}

void ModuleModel::OnEnd(Events& ev) {
  const std::uint32_t expected_offset =
      static_cast<std::uint32_t>(data_frames_ * kPayloadSize) & kOffsetMask;
  const std::uint32_t offset = HeaderOffset(header_);
  if (data_frames_ == 0) {
    Violation(ev, "end header before any data frame");
  } else if (offset != expected_offset) {
    Violation(ev, "end header: offset " + std::to_string(offset) + ", expected " +
                      std::to_string(expected_offset) + " (" + std::to_string(data_frames_) +
                      " data frames)");
  }
  CheckType(ev, "end header", header_[3]);
  if (config_.expected) {
    const std::size_t frames = FramesForFile(config_.expected->size());
    if (data_frames_ != frames) {
      Violation(ev, std::to_string(data_frames_) + " data frames, the file gives " +
                        std::to_string(frames));
    }
  } else if (data_frames_ > 0) {
    CheckLastRepeats(ev);
  }
  state_ = State::Filler;
  pos_ = 0;
}

void ModuleModel::Complete(Events& ev) {
  CompletedUpgrade done;
  done.session = session_;
  done.data_frames = data_frames_;
  done.mode = config_.mode;
  done.type = session_type_.value_or(config_.type.value_or(0));
  done.firmware = received_;
  done.firmware.resize(done.firmware.size() - std::min(done.firmware.size(), kPayloadSize));
  if (config_.expected && done.firmware.size() > config_.expected->size()) {
    done.firmware.resize(config_.expected->size());
  }
  ++completed_count_;
  ev.completed.push_back(std::move(done));
  state_ = State::Done;
}

}  // namespace zevuvuri::sim
