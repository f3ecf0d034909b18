#include "engine/serial_link.h"

#include <system_error>
#include <vector>

namespace zevuvuri {

SerialLink::SerialLink(const std::atomic<LinkMode>& link_mode) : link_mode_(link_mode) {}

SerialLink::~SerialLink() { CloseLink(); }

bool SerialLink::OpenLink(std::string_view port_text) {
  if (IsOpen()) CloseLink();
  aborted_.store(false);
  auto port = port_opener_ ? port_opener_(port_text, &last_open_error_) : SerialPort::Open(port_text, &last_open_error_);
  if (!port) return false;
  {
    std::lock_guard lock(stop_mutex_);
    stop_ = false;
  }
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
  return port_->Write(bytes);
}

std::optional<std::uint8_t> SerialLink::WaitReply(std::chrono::milliseconds limit) {
  for (auto elapsed = std::chrono::milliseconds{0}; elapsed < limit; elapsed += kReplyStep) {
    if (buffer_.Count() != 0) return buffer_.FirstByte();
    if (aborted_.load()) return std::nullopt;
    if (clock_ != nullptr) {
      clock_->Sleep(kReplyStep);
    } else {
      std::this_thread::sleep_for(kReplyStep);
    }
  }
  if (buffer_.Count() != 0) return buffer_.FirstByte();
  return std::nullopt;
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
  std::lock_guard lock(port_mutex_);
  if (port_ != nullptr) port_->Interrupt();
}

void SerialLink::ReceiveLoop() {
  std::vector<std::uint8_t> chunk(kReadChunk);
  for (;;) {
    const auto pause = link_mode_.load() == LinkMode::Serial ? kSerialPause : kOverTheAirPause;
    {
      std::unique_lock lock(stop_mutex_);
      if (stop_cv_.wait_for(lock, pause, [this] { return stop_; })) return;
    }
    // The port outlives this thread: CloseLink joins before releasing it.
    const std::size_t n = port_->ReadQueuedOrOne(chunk);
    if (n == 0) continue;
    const std::span<const std::uint8_t> received(chunk.data(), n);
    if (observer_ != nullptr) observer_->Received(received);
    buffer_.Append(received);
  }
}

}  // namespace zevuvuri
