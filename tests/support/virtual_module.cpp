#include "tests/support/virtual_module.h"

#include <condition_variable>

namespace zevuvuri::testing {

void VirtualClock::Sleep(milliseconds duration) {
  std::unique_lock lock(mutex_);
  const milliseconds until = now_ + duration;
  while (!events_.empty() && events_.begin()->first <= until) {
    auto node = events_.extract(events_.begin());
    now_ = std::max(now_, node.key());
    lock.unlock();
    node.mapped()();  // may schedule more events
    lock.lock();
  }
  now_ = until;
}

milliseconds VirtualClock::Now() const {
  std::lock_guard lock(mutex_);
  return now_;
}

void VirtualClock::At(milliseconds when, std::function<void()> event) {
  std::lock_guard lock(mutex_);
  events_.emplace(when, std::move(event));
}

// The in-memory port: writes go to the module; nothing is ever read, since
// answers are delivered straight into the link's buffer at their time.
class VirtualModule::Port : public SerialPort {
 public:
  Port(VirtualModule& module, SerialLink& link) : module_(module), link_(link) {}
  ~Port() override { *open_ = false; }  // answers still scheduled are lost with the port

  bool SetBaudRate(std::uint32_t baud) override {
    module_.last_baud_ = baud;
    module_.Note("baud " + std::to_string(baud));
    return true;
  }
  bool Write(std::span<const std::uint8_t> bytes) override {
    module_.Note("write " + std::to_string(bytes.size()));
    module_.Take(bytes, link_, open_);
    return true;
  }
  bool Drain() override {
    module_.Note("drain");
    return true;
  }
  bool Gone() const override { return false; }
  void SetLowLatency() override {}
  std::size_t ReadQueuedOrOne(std::span<std::uint8_t>) override {
    std::unique_lock lock(mutex_);
    cv_.wait(lock, [this] { return interrupted_; });
    return 0;
  }
  void Interrupt() override {
    std::lock_guard lock(mutex_);
    interrupted_ = true;
    cv_.notify_all();
  }

 private:
  VirtualModule& module_;
  SerialLink& link_;
  std::shared_ptr<bool> open_ = std::make_shared<bool>(true);
  std::mutex mutex_;
  std::condition_variable cv_;
  bool interrupted_ = false;
};

void VirtualModule::Attach(UpgradeController& controller) {
  controller.SetClockForTesting(&clock_);
  SerialLink& link = controller.Link();
  link.SetPortOpenerForTesting([this, &link](std::string_view, PortOpenError* error) -> std::unique_ptr<SerialPort> {
    *error = PortOpenError{PortFailure::None, "virtual", 0};
    return std::make_unique<Port>(*this, link);
  });
}

void VirtualModule::Take(std::span<const std::uint8_t> bytes, SerialLink& link, const std::shared_ptr<bool>& open) {
  for (std::uint8_t b : bytes) {
    auto message = splitter_.Take(b);
    if (!message) continue;
    int nth = 0;
    const milliseconds now = clock_.Now();
    {
      std::lock_guard lock(mutex_);
      nth = ++counts_[message->kind];
      messages_.push_back({*message, now});
    }
    Answer answer = answer_(*message, nth);
    if (answer.bytes.empty()) continue;
    clock_.At(now + answer.delay, [&link, open, reply = std::move(answer.bytes)] {
      if (*open) link.DeliverForTesting(reply);
    });
  }
}

void VirtualModule::Note(std::string operation) {
  std::lock_guard lock(mutex_);
  if (line_operations_.size() < 16) line_operations_.push_back(std::move(operation));
}

std::vector<std::string> VirtualModule::LineOperations() const {
  std::lock_guard lock(mutex_);
  return line_operations_;
}

std::vector<TimedMessage> VirtualModule::Messages() const {
  std::lock_guard lock(mutex_);
  return messages_;
}

int VirtualModule::Count(WireMessage::Kind kind) const {
  std::lock_guard lock(mutex_);
  auto it = counts_.find(kind);
  return it == counts_.end() ? 0 : it->second;
}

}  // namespace zevuvuri::testing
