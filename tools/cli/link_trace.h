// --trace: every frame sent and every reply byte received, with the time since
// the loader started, on standard error.
#pragma once

#include <chrono>
#include <cstdio>
#include <mutex>
#include <string>

#include "engine/serial_link.h"

namespace zevuvuri::cli {

class LinkTrace final : public LinkObserver {
 public:
  // `label`: the port, when several are traced at once.
  explicit LinkTrace(std::FILE* err, std::string label = "") : err_(err), label_(std::move(label)) {}
  void Sent(std::span<const std::uint8_t> bytes) override { Print("sent", bytes); }
  void Received(std::span<const std::uint8_t> bytes) override { Print("recv", bytes); }

 private:
  void Print(const char* direction, std::span<const std::uint8_t> bytes);

  std::FILE* const err_;
  const std::string label_;
  const std::chrono::steady_clock::time_point started_ = std::chrono::steady_clock::now();
  std::mutex mutex_;
};

}  // namespace zevuvuri::cli
