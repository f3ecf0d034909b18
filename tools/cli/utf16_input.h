// A console's input read as UTF-16 text (Windows' ReadConsoleW) turned into
// the UTF-8 that the rest of the command line reads, whatever pieces the
// reads hand over.
#pragma once

#include <string>
#include <string_view>

namespace zevuvuri::cli {

// Not thread-safe: one reader owns it.
class Utf16Input {
 public:
  // The UTF-8 of `units`. A high surrogate at the end of a read waits for
  // its low half in the next; a surrogate without its other half becomes
  // U+FFFD (not dropped, so a scan holding one is refused rather than
  // changed).
  std::string Add(std::u16string_view units);

 private:
  char16_t high_ = 0;  // a high surrogate that ended the last read, or 0
};

}  // namespace zevuvuri::cli
