#include "tools/cli/utf16_input.h"

#include "engine/text_encoding.h"

namespace zevuvuri::cli {

std::string Utf16Input::Add(std::u16string_view units) {
  std::u16string text;
  text.reserve(units.size() + 1);
  if (high_ != 0) text.push_back(high_);
  text.append(units);
  high_ = 0;
  if (!text.empty() && IsHighSurrogate(text.back())) {
    high_ = text.back();
    text.pop_back();
  }
  return Utf16ToUtf8(text);
}

}  // namespace zevuvuri::cli
