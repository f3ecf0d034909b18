#include "tools/cli/link_trace.h"

#include <algorithm>
#include <string>

namespace zevuvuri::cli {

void LinkTrace::Print(const char* direction, std::span<const std::uint8_t> bytes) {
  // A garbage burst can be tens of kilobytes: show its start and its size.
  constexpr std::size_t kShown = 64;
  std::string hex;
  for (std::size_t i = 0; i < std::min(bytes.size(), kShown); ++i) {
    char b[4];
    std::snprintf(b, sizeof b, " %02X", bytes[i]);
    hex += b;
  }
  if (bytes.size() > kShown) hex += " ...";
  const double t = std::chrono::duration<double>(std::chrono::steady_clock::now() - started_).count();
  std::lock_guard lock(mutex_);
  std::fprintf(err_, "[%10.6f] %s%s%s %zu:%s\n", t, label_.c_str(), label_.empty() ? "" : ": ", direction,
               bytes.size(), hex.c_str());
}

}  // namespace zevuvuri::cli
