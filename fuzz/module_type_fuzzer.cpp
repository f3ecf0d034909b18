// The type-code conversion against the C library's own wcstol, narrowed as a
// 32-bit long would be: no crash, and the same byte for every text.
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <string>

#include "engine/module_type.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // Texts of plain characters (the ones wcstol treats alike in every locale).
  std::wstring text;
  for (std::size_t i = 0; i < size; ++i) {
    const char c = static_cast<char>(data[i] & 0x7F);
    if (c != '\0') text.push_back(static_cast<wchar_t>(c));
  }
  errno = 0;
  long long reference = std::wcstoll(text.c_str(), nullptr, 10);
  if (reference > INT32_MAX) reference = INT32_MAX;
  if (reference < INT32_MIN) reference = INT32_MIN;
  const auto expected = static_cast<std::uint8_t>(static_cast<std::uint32_t>(reference) & 0xFF);
  const std::uint8_t got = zevuvuri::ModuleTypeCode(text);
  if (got != expected) {
    std::fprintf(stderr, "module_type_fuzzer: %ls gives 0x%02X, wcstol 0x%02X\n", text.c_str(), got, expected);
    std::abort();
  }
  return 0;
}
