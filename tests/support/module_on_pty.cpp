#include "tests/support/module_on_pty.h"

#include <algorithm>

namespace zevuvuri::testing {

ModuleOnPty::ModuleOnPty(sim::ModelConfig config, MessageWatch watch)
    : watch_(std::move(watch)), model_(std::move(config)) {
  thread_ = std::thread(&ModuleOnPty::Run, this);
}

ModuleOnPty::~ModuleOnPty() {
  stop_ = true;
  thread_.join();
}

void ModuleOnPty::Run() {
  using namespace std::chrono;
  while (!stop_) {
    // Reads in short steps, so that planned answers go out on time and a stop is seen.
    auto step = milliseconds{2};
    const auto now = duration_cast<sim::Micros>(steady_clock::now() - origin_);
    for (const auto& output : pending_) step = std::min(step, ceil<milliseconds>(output.not_before - now));
    const auto bytes = pty_.ReadSome(std::max(step, milliseconds{0}));
    const auto arrived = duration_cast<sim::Micros>(steady_clock::now() - origin_);
    for (std::uint8_t b : bytes) {
      Take(b, arrived);
      if (stop_) return;
    }
    // Planned answers go out in order once due.
    const auto due_by = duration_cast<sim::Micros>(steady_clock::now() - origin_);
    while (!pending_.empty() && pending_.front().not_before <= due_by) {
      const sim::Output output = std::move(pending_.front());
      pending_.erase(pending_.begin());
      pty_.Write(output.bytes);
      if (output.hang_up_after) return LeaveTheLine();
    }
  }
}

void ModuleOnPty::Take(std::uint8_t byte, sim::Micros now) {
  {
    std::lock_guard lock(mutex_);
    all_bytes_.push_back(byte);
  }
  if (auto message = splitter_.Take(byte)) {
    int nth = 0;
    {
      std::lock_guard lock(mutex_);
      nth = ++counts_[message->kind];
      messages_.push_back(*message);
    }
    changed_.notify_all();
    if (watch_) watch_(*message, nth);
  }
  sim::Events events = model_.Feed({&byte, 1}, now, !pending_.empty());
  {
    std::lock_guard lock(mutex_);
    violations_.insert(violations_.end(), events.violations.begin(), events.violations.end());
    completed_ += static_cast<int>(events.completed.size());
  }
  for (auto& output : events.outputs) pending_.push_back(std::move(output));
  if (events.vanish) LeaveTheLine();
}

// As a module pulled off the line: the master closes and nothing more is read or sent.
void ModuleOnPty::LeaveTheLine() {
  stop_ = true;
  pending_.clear();
  pty_.Close();
}

std::vector<WireMessage> ModuleOnPty::Messages() const {
  std::lock_guard lock(mutex_);
  return messages_;
}

std::vector<WireMessage> ModuleOnPty::Of(WireMessage::Kind kind) const {
  std::vector<WireMessage> out;
  for (auto& m : Messages()) {
    if (m.kind == kind) out.push_back(m);
  }
  return out;
}

std::vector<std::uint8_t> ModuleOnPty::AllBytes() const {
  std::lock_guard lock(mutex_);
  return all_bytes_;
}

int ModuleOnPty::Count(WireMessage::Kind kind) const {
  std::lock_guard lock(mutex_);
  const auto it = counts_.find(kind);
  return it == counts_.end() ? 0 : it->second;
}

bool ModuleOnPty::AwaitCount(WireMessage::Kind kind, int count, std::chrono::milliseconds limit) {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, limit, [&] {
    const auto it = counts_.find(kind);
    return it != counts_.end() && it->second >= count;
  });
}

std::vector<std::string> ModuleOnPty::Violations() const {
  std::lock_guard lock(mutex_);
  return violations_;
}

int ModuleOnPty::CompletedUpgrades() const {
  std::lock_guard lock(mutex_);
  return completed_;
}

}  // namespace zevuvuri::testing
