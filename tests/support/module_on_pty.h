// The simulator's module model on a real pseudo-terminal, inside the test
// process: the model answers what the loader writes, at the times it plans,
// and the test sees every message the loader sent, when it came, and every
// protocol violation the model found.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "module_model.h"
#include "tests/support/module_config.h"
#include "tests/support/pseudo_terminal.h"
#include "tests/support/wire_splitter.h"

namespace zevuvuri::testing {

class ModuleOnPty {
 public:
  // Called on the module's thread for each complete message, before the model
  // answers it; `nth` counts messages of that kind from 1.
  using MessageWatch = std::function<void(const WireMessage& message, int nth)>;

  explicit ModuleOnPty(sim::ModelConfig config, MessageWatch watch = {});
  ~ModuleOnPty();
  ModuleOnPty(const ModuleOnPty&) = delete;
  ModuleOnPty& operator=(const ModuleOnPty&) = delete;

  const std::string& Port() const { return pty_.SlavePath(); }
  std::vector<WireMessage> Messages() const;
  std::vector<WireMessage> Of(WireMessage::Kind kind) const;
  int Count(WireMessage::Kind kind) const;
  // Waits up to `limit` until `count` messages of `kind` have arrived.
  bool AwaitCount(WireMessage::Kind kind, int count, std::chrono::milliseconds limit);
  std::vector<std::uint8_t> AllBytes() const;
  std::vector<std::string> Violations() const;
  int CompletedUpgrades() const;

 private:
  void Run();
  void Take(std::uint8_t byte, sim::Micros now);
  void LeaveTheLine();

  PseudoTerminal pty_;
  MessageWatch watch_;
  sim::ModuleModel model_;  // the module's thread only
  const std::chrono::steady_clock::time_point origin_ = std::chrono::steady_clock::now();
  std::vector<sim::Output> pending_;  // the module's thread only

  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<WireMessage> messages_;
  std::vector<std::uint8_t> all_bytes_;
  std::map<WireMessage::Kind, int> counts_;
  std::vector<std::string> violations_;
  int completed_ = 0;

  WireSplitter splitter_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

}  // namespace zevuvuri::testing
