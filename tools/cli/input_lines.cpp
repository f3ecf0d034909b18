#include "tools/cli/input_lines.h"

namespace zevuvuri::cli {

void InputLines::Add(const char* bytes, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i) {
    if (bytes[i] == '\n') {
      lines_.push_back(std::move(partial_));
      partial_.clear();
    } else if (partial_.size() < kMostLineBytes) {
      partial_ += bytes[i];
    }
  }
}

std::vector<std::string> InputLines::Take() {
  std::vector<std::string> lines;
  lines.swap(lines_);
  return lines;
}

}  // namespace zevuvuri::cli
