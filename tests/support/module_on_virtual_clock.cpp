#include "tests/support/module_on_virtual_clock.h"

#include <atomic>
#include <condition_variable>
#include <thread>

namespace zevuvuri::testing {

void VirtualClock::Sleep(milliseconds duration) {
  std::unique_lock lock(mutex_);
  const milliseconds until = now_ + duration;
  while (!events_.empty() && events_.begin()->first <= until) {
    auto node = events_.extract(events_.begin());
    now_ = std::max(now_, node.key());
    lock.unlock();
    node.mapped().run();  // may schedule more events
    lock.lock();
  }
  now_ = until;
}

milliseconds VirtualClock::Now() const {
  std::lock_guard lock(mutex_);
  return now_;
}

void VirtualClock::At(milliseconds when, std::function<void()> event, const void* owner) {
  std::lock_guard lock(mutex_);
  events_.emplace(when, Event{owner, std::move(event)});
}

void VirtualClock::Forget(const void* owner) {
  std::lock_guard lock(mutex_);
  std::erase_if(events_, [owner](const auto& entry) { return entry.second.owner == owner; });
}

// The in-memory port: writes go to the module; nothing is ever read, since
// answers are delivered straight into the link's buffer at their time.
class ModuleOnVirtualClock::Port : public SerialPort {
 public:
  Port(ModuleOnVirtualClock& module, SerialLink& link) : module_(module), link_(link) {}
  ~Port() override { *open_ = false; }  // answers still scheduled are lost with the port

  bool SetBaudRate(std::uint32_t baud) override {
    module_.last_baud_ = baud;
    module_.Note("baud " + std::to_string(baud));
    return true;
  }
  bool Write(std::span<const std::uint8_t> bytes) override {
    module_.Note("write " + std::to_string(bytes.size()));
    if (!gone_.load()) module_.Take(bytes, *this);
    return true;
  }
  bool Drain() override {
    module_.Note("drain");
    return true;
  }
  bool Gone() const override { return gone_.load(); }
  void SetLowLatency() override { module_.Note("low latency"); }
  std::size_t ReadQueuedOrOne(std::span<std::uint8_t>) override {
    std::unique_lock lock(mutex_);
    cv_.wait(lock, [this] { return interrupted_ || gone_.load(); });
    return 0;
  }
  // The device goes away: the receive thread finds it gone at its next read.
  void HangUp() {
    std::lock_guard lock(mutex_);
    gone_.store(true);
    cv_.notify_all();
  }
  // Gone before the worker looks again: the receive thread has seen it.
  void LeaveTheLine() {
    module_.left_the_line_.store(true);
    HangUp();
    for (int i = 0; i < 2000 && !link_.DeviceGone(); ++i) std::this_thread::sleep_for(milliseconds{1});
  }
  SerialLink& Link() { return link_; }
  const std::shared_ptr<bool>& Open() const { return open_; }
  void Interrupt() override {
    std::lock_guard lock(mutex_);
    interrupted_ = true;
    cv_.notify_all();
  }

 private:
  ModuleOnVirtualClock& module_;
  SerialLink& link_;
  std::shared_ptr<bool> open_ = std::make_shared<bool>(true);
  std::mutex mutex_;
  std::condition_variable cv_;
  bool interrupted_ = false;
  std::atomic<bool> gone_{false};
};

void ModuleOnVirtualClock::Attach(UpgradeController& controller) {
  controller.SetClockForTesting(&clock_);
  SerialLink& link = controller.Link();
  link.SetPortOpenerForTesting([this, &link](std::string_view, PortOpenError* error) -> std::unique_ptr<SerialPort> {
    *error = PortOpenError{PortFailure::None, "virtual", 0};
    return std::make_unique<Port>(*this, link);
  });
}


void ModuleOnVirtualClock::Take(std::span<const std::uint8_t> bytes, Port& port) {
  const milliseconds now = clock_.Now();
  const sim::Micros model_now{std::chrono::duration_cast<sim::Micros>(now)};
  for (std::uint8_t b : bytes) {
    if (auto message = splitter_.Take(b)) {
      int nth = 0;
      {
        std::lock_guard lock(mutex_);
        nth = ++counts_[message->kind];
        messages_.push_back({*message, now});
      }
      if (watch_) watch_(*message, nth);
    }
    bool answers_on_their_way = false;
    {
      std::lock_guard lock(mutex_);
      answers_on_their_way = undelivered_ > 0;
    }
    sim::Events events = model_.Feed({&b, 1}, model_now, answers_on_their_way);
    {
      std::lock_guard lock(mutex_);
      violations_.insert(violations_.end(), events.violations.begin(), events.violations.end());
    }
    for (auto& output : events.outputs) Schedule(std::move(output), port);
    if (events.vanish) {
      // Gone instead of answering: at once, before the worker waits.
      clock_.At(
          now, [port = &port, open = port.Open()] {
            if (*open) port->LeaveTheLine();
          },
          this);
      return;
    }
  }
}

// The port lives while `open` holds: only the worker, which runs these
// events, releases it.
void ModuleOnVirtualClock::Schedule(sim::Output output, Port& port) {
  const auto at = std::chrono::duration_cast<milliseconds>(output.not_before);
  {
    std::lock_guard lock(mutex_);
    ++undelivered_;
  }
  clock_.At(at, [this, port = &port, open = port.Open(), output = std::move(output)] {
    {
      std::lock_guard lock(mutex_);
      --undelivered_;
    }
    if (!*open) return;
    port->Link().DeliverForTesting(output.bytes);
    if (output.hang_up_after) port->LeaveTheLine();
  }, this);
}

void ModuleOnVirtualClock::Note(std::string operation) {
  std::lock_guard lock(mutex_);
  if (line_operations_.size() < 16) line_operations_.push_back(std::move(operation));
}

std::vector<std::string> ModuleOnVirtualClock::LineOperations() const {
  std::lock_guard lock(mutex_);
  return line_operations_;
}

std::vector<TimedMessage> ModuleOnVirtualClock::Messages() const {
  std::lock_guard lock(mutex_);
  return messages_;
}

std::vector<TimedMessage> ModuleOnVirtualClock::Of(WireMessage::Kind kind) const {
  std::vector<TimedMessage> out;
  for (auto& m : Messages()) {
    if (m.message.kind == kind) out.push_back(m);
  }
  return out;
}

int ModuleOnVirtualClock::Count(WireMessage::Kind kind) const {
  std::lock_guard lock(mutex_);
  auto it = counts_.find(kind);
  return it == counts_.end() ? 0 : it->second;
}

std::vector<std::string> ModuleOnVirtualClock::Violations() const {
  std::lock_guard lock(mutex_);
  return violations_;
}

}  // namespace zevuvuri::testing
