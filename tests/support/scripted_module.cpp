#include "tests/support/scripted_module.h"

#include <algorithm>
#include <string_view>

namespace zevuvuri::testing {
namespace {

constexpr std::string_view kWake = "ATZ\r\nATZ\r\n";

}  // namespace

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

// Splits the stream the way a module must: the wake-up, single probe bytes,
// then 4-byte headers whose marker says how many bytes follow.
void ScriptedModule::Take(std::uint8_t byte) {
  {
    std::lock_guard lock(mutex_);
    all_bytes_.push_back(byte);
  }
  pending_.push_back(byte);
  using K = WireMessage::Kind;
  const std::string_view seen(reinterpret_cast<const char*>(pending_.data()), pending_.size());
  if (kWake.starts_with(seen)) {
    if (seen.size() == kWake.size()) {
      after_end_ = false;
      framing_ = false;
      Complete(K::WakeUp);
    }
    return;
  }
  if (after_end_) {
    const bool fillers = pending_.front() == 'X';
    const std::size_t want = fillers ? 56 : 60;
    if (pending_.size() == want) Complete(fillers ? K::Fillers : K::Trailer);
    return;
  }
  // Probes come only before the first frame: later, a frame may begin with
  // 0x58 (the data frame at offset 1624 does).
  if (!framing_ && pending_.size() == 1 && byte == 'X') return Complete(K::Probe);
  if (pending_.size() < 4) return;
  framing_ = true;
  const std::uint8_t marker = pending_[2] & 0xF0;
  if (pending_[2] == 0x00) {
    if (pending_.size() == 60) Complete(K::Poll);
  } else if (marker == 0x50) {
    if (pending_.size() == 60) Complete(K::Data);
  } else if (marker == 0x70) {
    Complete(K::End);
    after_end_ = true;
  } else {
    Complete(K::Junk);
  }
}

void ScriptedModule::Complete(WireMessage::Kind kind) {
  WireMessage message{kind, pending_, std::chrono::steady_clock::now()};
  pending_.clear();
  if (kind == WireMessage::Kind::Fillers) after_end_ = true;  // a trailer may follow
  int nth = 0;
  {
    std::lock_guard lock(mutex_);
    nth = ++counts_[static_cast<int>(kind)];
    messages_.push_back(message);
  }
  changed_.notify_all();
  const Answer a = answer_(message, nth);
  if (a.delay.count() > 0) std::this_thread::sleep_for(a.delay);
  if (!a.bytes.empty()) pty_.Write(a.bytes);
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
