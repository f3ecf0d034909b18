// Standard input cut into lines, whatever pieces the reads hand over: each
// Enter with the text typed before it.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace zevuvuri::cli {

// Not thread-safe: the caller holds its own lock where a reader thread adds.
class InputLines {
 public:
  void Add(const char* bytes, std::size_t n);
  // The complete lines since the last call, without their '\n'.
  std::vector<std::string> Take();

 private:
  // A writer that never ends a line must not grow memory: past this, a
  // line's text is cut (and, longer than any serial, it is refused whole).
  static constexpr std::size_t kMostLineBytes = 4096;
  std::string partial_;
  std::vector<std::string> lines_;
};

}  // namespace zevuvuri::cli
