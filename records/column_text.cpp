#include "records/column_text.h"

namespace zevuvuri::records {

std::string FitColumn(const std::string& text, std::size_t units) {
  std::string fitted;
  std::size_t used = 0;
  for (std::size_t i = 0; i < text.size();) {
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned lead = byte(i);
    std::size_t length = lead < 0x80 ? 1 : (lead >= 0xC2 && lead < 0xE0) ? 2 : (lead >= 0xE0 && lead < 0xF0) ? 3
                                                                         : (lead >= 0xF0 && lead < 0xF5) ? 4 : 0;
    for (std::size_t k = 1; k < length; ++k) {
      if (i + k >= text.size() || (byte(i + k) & 0xC0) != 0x80) length = 0;
    }
    // No overlong forms, no UTF-16 surrogates, nothing past U+10FFFF.
    if (length > 2) {
      const unsigned second = byte(i + 1);
      if ((lead == 0xE0 && second < 0xA0) || (lead == 0xED && second >= 0xA0) || (lead == 0xF0 && second < 0x90) ||
          (lead == 0xF4 && second >= 0x90)) {
        length = 0;
      }
    }
    // A byte that starts no character (a file name's bytes in another
    // encoding) becomes U+FFFD: the server refuses text that is not UTF-8.
    const std::string character = length == 0 ? std::string("\xEF\xBF\xBD") : text.substr(i, length);
    const std::size_t need = length == 4 ? 2 : 1;
    if (used + need > units) break;
    used += need;
    fitted += character;
    i += length == 0 ? 1 : length;
  }
  return fitted;
}

}  // namespace zevuvuri::records
