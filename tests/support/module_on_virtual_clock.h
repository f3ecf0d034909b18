// The simulator's module model on a line and a clock that live inside the
// test: the controller's pauses and reply waits advance a virtual clock, and
// the model's answers arrive at exact virtual times. An upgrade's timing
// plays out exactly and at once.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "engine/pacing_clock.h"
#include "engine/upgrade_controller.h"
#include "module_model.h"
#include "tests/support/module_config.h"
#include "tests/support/wire_splitter.h"

namespace zevuvuri::testing {

using std::chrono::milliseconds;

// Advanced only by the thread that sleeps on it (the worker); events due by
// the new time run on that thread, in time order, before Sleep returns.
class VirtualClock : public PacingClock {
 public:
  void Sleep(milliseconds duration) override;
  milliseconds Now() const;
  // `owner`: whose event it is, so that Forget can drop it.
  void At(milliseconds when, std::function<void()> event, const void* owner = nullptr);
  // Drops the events of `owner` not yet run: a module that goes while its
  // answers are still due must not have them run on a later upgrade's worker.
  void Forget(const void* owner);

 private:
  struct Event {
    const void* owner;
    std::function<void()> run;
  };
  mutable std::mutex mutex_;
  milliseconds now_{0};
  std::multimap<milliseconds, Event> events_;
};

struct TimedMessage {
  WireMessage message;
  milliseconds at;  // virtual time at which its last byte was written
};

class ModuleOnVirtualClock {
 public:
  // Called on the worker for each complete message, before the model answers
  // it; `nth` counts messages of that kind from 1.
  using MessageWatch = std::function<void(const WireMessage& message, int nth)>;

  ModuleOnVirtualClock(VirtualClock& clock, sim::ModelConfig config, MessageWatch watch = {})
      : clock_(clock), model_(std::move(config)), watch_(std::move(watch)) {}
  ~ModuleOnVirtualClock() { clock_.Forget(this); }
  ModuleOnVirtualClock(const ModuleOnVirtualClock&) = delete;
  ModuleOnVirtualClock& operator=(const ModuleOnVirtualClock&) = delete;

  // Makes `controller` open this module for any port text, on `clock`.
  void Attach(UpgradeController& controller);
  std::vector<TimedMessage> Messages() const;
  std::vector<TimedMessage> Of(WireMessage::Kind kind) const;
  int Count(WireMessage::Kind kind) const;
  std::vector<std::string> Violations() const;
  // The module has left the line (a vanish or a hang-up fault).
  bool LeftTheLine() const { return left_the_line_.load(); }
  std::uint32_t LastBaud() const { return last_baud_; }
  // The port's first 16 line operations in order: "low latency", "baud N",
  // "write N" (bytes), "drain". They reach past the wake-up and the change of speed
  // after it; later ones are not kept, so a long upgrade does not grow them.
  std::vector<std::string> LineOperations() const;

 private:
  class Port;
  void Take(std::span<const std::uint8_t> bytes, Port& port);
  void Schedule(sim::Output output, Port& port);

  VirtualClock& clock_;
  sim::ModuleModel model_;  // the worker only
  MessageWatch watch_;
  mutable std::mutex mutex_;
  std::vector<TimedMessage> messages_;
  std::map<WireMessage::Kind, int> counts_;
  std::vector<std::string> violations_;
  // Answers planned but not yet delivered: as the simulator does, the model
  // does not answer a probe a second time while its answer is on its way.
  int undelivered_ = 0;  // under mutex_
  std::atomic<bool> left_the_line_{false};
  WireSplitter splitter_;
  std::uint32_t last_baud_ = 0;
  std::vector<std::string> line_operations_;  // under mutex_
  void Note(std::string operation);
};

}  // namespace zevuvuri::testing
