// The type-code conversion against the C library's own wcstoll, narrowed as a
// 32-bit long would be: no crash, and the same byte for every text.
//
// The input is read as UTF-16 code units, so any character can come. The
// conversion takes the Windows library's digits and blanks (its table is
// checked against that library in the Windows tests); glibc's wcstoll takes
// ASCII ones only. So the reference text has each digit and blank that the
// conversion takes written as its ASCII counterpart, and every other
// non-ASCII character as a letter: blanks, sign, where the number stops and
// the saturation stay the C library's to judge.
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <string>

#include "engine/module_type.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::wstring text, ascii;
  for (std::size_t i = 0; i + 1 < size; i += 2) {
    const auto unit = static_cast<wchar_t>(data[i] | (data[i + 1] << 8));
    if (unit == L'\0') continue;
    text.push_back(unit);
    if (const auto digit = zevuvuri::TypeTextDigit(unit)) {
      ascii.push_back(static_cast<wchar_t>(L'0' + *digit));
    } else if (zevuvuri::IsTypeTextBlank(unit)) {
      ascii.push_back(L' ');
    } else {
      ascii.push_back(unit < 0x80 ? unit : L'x');
    }
  }
  errno = 0;
  long long reference = std::wcstoll(ascii.c_str(), nullptr, 10);
  if (reference > INT32_MAX) reference = INT32_MAX;
  if (reference < INT32_MIN) reference = INT32_MIN;
  const auto expected = static_cast<std::uint8_t>(static_cast<std::uint32_t>(reference) & 0xFF);
  const std::uint8_t got = zevuvuri::ModuleTypeCode(text);
  if (got != expected) {
    std::fprintf(stderr, "module_type_fuzzer: %ls (as %ls) gives 0x%02X, wcstoll 0x%02X\n", text.c_str(),
                 ascii.c_str(), got, expected);
    std::abort();
  }
  return 0;
}
