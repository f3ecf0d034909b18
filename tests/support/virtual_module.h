// A module and a clock that live inside the test: the controller's pauses and
// reply waits advance a virtual clock, and the module's answers arrive at
// exact virtual times. An upgrade's timing plays out exactly and at once.
#pragma once

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "engine/pacing_clock.h"
#include "engine/upgrade_controller.h"
#include "tests/support/scripted_module.h"

namespace zevuvuri::testing {

using std::chrono::milliseconds;

// Advanced only by the thread that sleeps on it (the worker); events due by
// the new time run on that thread, in time order, before Sleep returns.
class VirtualClock : public PacingClock {
 public:
  void Sleep(milliseconds duration) override;
  milliseconds Now() const;
  void At(milliseconds when, std::function<void()> event);

 private:
  mutable std::mutex mutex_;
  milliseconds now_{0};
  std::multimap<milliseconds, std::function<void()>> events_;
};

struct TimedMessage {
  WireMessage message;
  milliseconds at;  // virtual time at which its last byte was written
};

class VirtualModule {
 public:
  VirtualModule(VirtualClock& clock, ScriptedModule::AnswerFn answer) : clock_(clock), answer_(std::move(answer)) {}

  // Makes `controller` open this module for any port text, on `clock`.
  void Attach(UpgradeController& controller);
  std::vector<TimedMessage> Messages() const;
  int Count(WireMessage::Kind kind) const;
  std::uint32_t LastBaud() const { return last_baud_; }
  // The port's first 16 line operations in order: "low latency", "baud N",
  // "write N" (bytes), "drain". They reach past the wake-up and the change of speed
  // after it; later ones are not kept, so a long upgrade does not grow them.
  std::vector<std::string> LineOperations() const;

 private:
  class Port;
  void Take(std::span<const std::uint8_t> bytes, Port& port);

  VirtualClock& clock_;
  ScriptedModule::AnswerFn answer_;
  mutable std::mutex mutex_;
  std::vector<TimedMessage> messages_;
  std::map<WireMessage::Kind, int> counts_;
  WireSplitter splitter_;
  std::uint32_t last_baud_ = 0;
  std::vector<std::string> line_operations_;  // under mutex_
  void Note(std::string operation);
};

}  // namespace zevuvuri::testing
