#include "engine/serial_link.h"

#include <system_error>
#include <vector>

namespace zevuvuri {

SerialLink::SerialLink(const std::atomic<LinkMode>& link_mode) : link_mode_(link_mode) {}

SerialLink::~SerialLink() { CloseLink(); }

bool SerialLink::OpenLink(std::string_view port_text) {
  if (IsOpen()) {
    last_open_error_ = PortOpenError{PortFailure::Busy, last_open_error_.device, 0};
    return false;
  }
  aborted_.store(false);
  device_gone_.store(false);
  auto port = port_opener_ ? port_opener_(port_text, &last_open_error_) : SerialPort::Open(port_text, &last_open_error_);
  if (!port) return false;
  {
    std::lock_guard lock(stop_mutex_);
    stop_ = false;
  }
  paced_ = &LinkPacing::For(pacing_.load());
  paced_->PreparePort(*port);
  {
    std::lock_guard lock(port_mutex_);
    port_ = std::move(port);
  }
  try {
    receiver_ = std::thread(&SerialLink::ReceiveLoop, this);
  } catch (const std::system_error& e) {
    std::lock_guard lock(port_mutex_);
    port_.reset();
    last_open_error_ = PortOpenError{PortFailure::SetupFailed, last_open_error_.device, e.code().value()};
    return false;
  }
  return true;
}

bool SerialLink::SetLineSpeed(std::uint32_t baud) { return port_ != nullptr && port_->SetBaudRate(baud); }

bool SerialLink::WriteBytes(std::span<const std::uint8_t> bytes) {
  if (port_ == nullptr || aborted_.load()) return false;
  if (observer_ != nullptr) observer_->Sent(bytes);
  if (port_->Write(bytes)) return true;
  if (port_->Gone()) MarkGone();
  return false;
}

bool SerialLink::DrainOutput() {
  if (port_ == nullptr || aborted_.load()) return false;
  if (port_->Drain()) return true;
  if (port_->Gone()) MarkGone();
  return false;
}

std::optional<std::uint8_t> SerialLink::Reply() const {
  if (buffer_.Count() != 0) return buffer_.FirstByte();
  return std::nullopt;
}

void SerialLink::Sleep(std::chrono::milliseconds step) {
  if (clock_ != nullptr) {
    clock_->Sleep(step);
  } else {
    std::this_thread::sleep_for(step);
  }
}

bool SerialLink::AwaitArrival(std::chrono::milliseconds limit) {
  if (clock_ != nullptr) return false;
  const auto deadline = std::chrono::steady_clock::now() + limit;
  std::unique_lock lock(event_mutex_);
  event_cv_.wait_until(lock, deadline, [this] { return buffer_.Count() != 0 || Ended(); });
  return true;
}

bool SerialLink::Pause(std::chrono::milliseconds duration) {
  if (clock_ != nullptr) {
    clock_->Sleep(duration);
    return !aborted_.load() && !device_gone_.load();
  }
  std::unique_lock lock(event_mutex_);
  return !event_cv_.wait_for(lock, duration, [this] { return aborted_.load() || device_gone_.load(); });
}

void SerialLink::MarkGone() {
  device_gone_.store(true);
  Wake();
}

void SerialLink::Wake() {
  // Taken and released so that a waiter between its check and its sleep
  // cannot miss the notification.
  { std::lock_guard lock(event_mutex_); }
  event_cv_.notify_all();
}

void SerialLink::CloseLink() {
  {
    std::lock_guard lock(stop_mutex_);
    stop_ = true;
  }
  stop_cv_.notify_all();
  {
    std::lock_guard lock(port_mutex_);
    if (port_ != nullptr) port_->Interrupt();  // wakes a read blocked on a quiet line
  }
  if (receiver_.joinable()) receiver_.join();
  std::lock_guard lock(port_mutex_);
  port_.reset();
}

void SerialLink::Abort() {
  aborted_.store(true);
  Wake();
  std::lock_guard lock(port_mutex_);
  if (port_ != nullptr) port_->Interrupt();
}

bool SerialLink::RestOrStop(std::chrono::milliseconds duration) {
  std::unique_lock lock(stop_mutex_);
  if (duration.count() == 0) return !stop_;
  return !stop_cv_.wait_for(lock, duration, [this] { return stop_; });
}

void SerialLink::ReceiveLoop() {
  std::vector<std::uint8_t> chunk(kReadChunk);
  const LinkPacing& pacing = *paced_;
  for (;;) {
    if (!RestOrStop(pacing.RestBeforeRead(link_mode_.load()))) return;
    // The port outlives this thread: CloseLink joins before releasing it.
    const std::size_t n = port_->ReadQueuedOrOne(chunk);
    if (n == 0) {
      // A device that is gone would only hang up again on every pass.
      if (port_->Gone()) return MarkGone();
      // Nothing arrived: the port was interrupted, or a read failed without
      // the device going away.
      if (!RestOrStop(pacing.RestAfterEmptyRead())) return;
      continue;
    }
    const std::span<const std::uint8_t> received(chunk.data(), n);
    if (observer_ != nullptr) observer_->Received(received);
    buffer_.Append(received);
    if (pacing.WakesWorkerOnArrival()) Wake();
  }
}

}  // namespace zevuvuri
