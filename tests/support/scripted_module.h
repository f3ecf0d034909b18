// A module played by the test itself on a real pseudo-terminal: it splits what
// the loader writes into messages, records them, and answers each as the test
// says. For exact sequences and timings that a separate simulator process
// would make awkward to arrange.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "tests/support/pseudo_terminal.h"
#include "tests/support/wire_splitter.h"

namespace zevuvuri::testing {

struct Answer {
  std::vector<std::uint8_t> bytes;          // empty: no answer
  std::chrono::milliseconds delay{0};
  bool hang_up = false;  // then drops off the line, as a module resetting into its new firmware
};

class ScriptedModule {
 public:
  // `answer` is called on the module's thread for each complete message;
  // `nth` counts messages of that kind from 1.
  using AnswerFn = std::function<Answer(const WireMessage& message, int nth)>;

  explicit ScriptedModule(AnswerFn answer);
  ~ScriptedModule();

  const std::string& Port() const { return pty_.SlavePath(); }
  std::vector<WireMessage> Messages() const;
  int Count(WireMessage::Kind kind) const;
  // Waits up to `limit` until `count` messages of `kind` have arrived.
  bool AwaitCount(WireMessage::Kind kind, int count, std::chrono::milliseconds limit);
  std::vector<std::uint8_t> AllBytes() const;
  void Vanish();  // closes the master, as a module pulled off the line

  // A serial module that acknowledges everything; over the air with `over_the_air`.
  static AnswerFn Cooperative(bool over_the_air);

 private:
  void Run();
  void Take(std::uint8_t byte);

  PseudoTerminal pty_;
  AnswerFn answer_;
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<WireMessage> messages_;
  std::vector<std::uint8_t> all_bytes_;
  WireSplitter splitter_;
  int counts_[8] = {};
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

}  // namespace zevuvuri::testing
