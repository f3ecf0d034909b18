// The type text against the Windows C library's own wcstol, for every UTF-16
// code unit: alone, before a digit, before a sign and after a digit. The conversion's table of
// digits and blanks must match what the library takes, here under wine.
#include <gtest/gtest.h>

#include <cwchar>
#include <string>

#include "engine/module_type.h"

namespace zevuvuri {
namespace {

TEST(ModuleTypeCodeOnWindows, EveryCodeUnitAsTheCLibraryTakesIt) {
  int mismatches = 0;
  for (unsigned unit = 1; unit <= 0xFFFF; ++unit) {
    const auto c = static_cast<wchar_t>(unit);
    for (const std::wstring& text :
         {std::wstring{c}, std::wstring{c, L'7'}, std::wstring{c, L'-', L'7'}, std::wstring{L'7', c}}) {
      const long reference = std::wcstol(text.c_str(), nullptr, 10);  // a 32-bit long on Windows
      const auto expected = static_cast<std::uint8_t>(static_cast<unsigned long>(reference) & 0xFFu);
      if (ModuleTypeCode(text) != expected && ++mismatches <= 20) {
        ADD_FAILURE() << "U+" << std::hex << unit << std::dec << " in a text of " << text.size()
                      << " units: wcstol gives " << reference;
      }
    }
  }
  EXPECT_EQ(mismatches, 0);
}

}  // namespace
}  // namespace zevuvuri
