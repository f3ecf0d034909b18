#include "tests/support/scripted_module.h"

#include <algorithm>
#include <string_view>

namespace zevuvuri::testing {
ScriptedModule::ScriptedModule(AnswerFn answer) : answer_(std::move(answer)) {
  thread_ = std::thread(&ScriptedModule::Run, this);
}

ScriptedModule::~ScriptedModule() {
  stop_ = true;
  thread_.join();
}

void ScriptedModule::Vanish() {
  stop_ = true;
  if (thread_.joinable()) thread_.join();
  pty_.Close();
}

void ScriptedModule::Run() {
  while (!stop_) {
    const auto bytes = pty_.Read(1, std::chrono::milliseconds{5});
    for (std::uint8_t b : bytes) Take(b);
  }
}

void ScriptedModule::Take(std::uint8_t byte) {
  {
    std::lock_guard lock(mutex_);
    all_bytes_.push_back(byte);
  }
  auto message = splitter_.Take(byte);
  if (!message) return;
  int nth = 0;
  {
    std::lock_guard lock(mutex_);
    nth = ++counts_[static_cast<int>(message->kind)];
    messages_.push_back(*message);
  }
  changed_.notify_all();
  const Answer a = answer_(*message, nth);
  if (a.delay.count() > 0) std::this_thread::sleep_for(a.delay);
  if (!a.bytes.empty()) pty_.Write(a.bytes);
  if (a.hang_up) {
    stop_ = true;
    pty_.Close();
  }
}

std::vector<WireMessage> ScriptedModule::Messages() const {
  std::lock_guard lock(mutex_);
  return messages_;
}

std::vector<std::uint8_t> ScriptedModule::AllBytes() const {
  std::lock_guard lock(mutex_);
  return all_bytes_;
}

int ScriptedModule::Count(WireMessage::Kind kind) const {
  std::lock_guard lock(mutex_);
  return counts_[static_cast<int>(kind)];
}

bool ScriptedModule::AwaitCount(WireMessage::Kind kind, int count, std::chrono::milliseconds limit) {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, limit, [&] { return counts_[static_cast<int>(kind)] >= count; });
}

ScriptedModule::AnswerFn ScriptedModule::Cooperative(bool over_the_air) {
  return [over_the_air](const WireMessage& m, int) -> Answer {
    switch (m.kind) {
      case WireMessage::Kind::Probe: return {{static_cast<std::uint8_t>(over_the_air ? '0' : '1')}};
      case WireMessage::Kind::Poll:
      case WireMessage::Kind::Data:
      case WireMessage::Kind::Fillers: return {{'0'}};
      default: return {};
    }
  };
}

}  // namespace zevuvuri::testing
