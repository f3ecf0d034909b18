#include "engine/receive_buffer.h"

#include <gtest/gtest.h>

#include <vector>

#include "engine/firmware_name.h"
#include "engine/text_encoding.h"

namespace zevuvuri {
namespace {

std::vector<std::uint8_t> Bytes(std::size_t n, std::uint8_t value) { return std::vector<std::uint8_t>(n, value); }

TEST(ReceiveBuffer, AppendsAtTheCountAndClearsKeepByteZeroUnlessAsked) {
  ReceiveBuffer buffer;
  buffer.Append(std::vector<std::uint8_t>{'0', 'j', 'k'});
  EXPECT_EQ(buffer.Count(), 3);
  EXPECT_EQ(buffer.FirstByte(), '0');

  buffer.Clear();
  EXPECT_EQ(buffer.Count(), 0);
  EXPECT_EQ(buffer.FirstByte(), '0') << "a plain clear leaves the old reply in place";

  buffer.Append(std::vector<std::uint8_t>{'1'});
  EXPECT_EQ(buffer.FirstByte(), '1') << "after a clear the next byte lands at index 0";
  buffer.ClearWithFirstByte();
  EXPECT_EQ(buffer.Count(), 0);
  EXPECT_EQ(buffer.FirstByte(), 0);
}

TEST(ReceiveBuffer, AFloodNeverWrapsTheCountOrMovesTheReply) {
  ReceiveBuffer buffer;
  buffer.Append(std::vector<std::uint8_t>{'0'});
  EXPECT_EQ(buffer.Append(Bytes(60000, 'g')), 60000u);
  EXPECT_EQ(buffer.Append(Bytes(60000, 'g')), 65535u - 60001u);
  EXPECT_EQ(buffer.Count(), 65535);
  EXPECT_EQ(buffer.Append(Bytes(10, 'g')), 0u);
  EXPECT_EQ(buffer.Count(), 65535) << "a 16-bit count at its limit must not wrap to a small value";
  EXPECT_EQ(buffer.FirstByte(), '0');
}

TEST(FirmwareName, CarriesTheGivenBytesExactlyOrNotAtAll) {
  // A name from an old archive: Latin-1, not UTF-8. It must open as it is,
  // never as the UTF-8 of a replacement character.
  const auto latin1 = FirmwareName::FromBytes("caf\xe9.bin");
  ASSERT_TRUE(latin1);
  EXPECT_EQ(latin1->Bytes(), "caf\xe9.bin");
  EXPECT_EQ(latin1->ForDisplay(), "caf\xef\xbf\xbd.bin") << "shown with a replacement, opened without";

  EXPECT_EQ(FirmwareName::FromText(L"/tmp/caf\u00e9.bin")->Bytes(), "/tmp/caf\xc3\xa9.bin");
  EXPECT_EQ(FirmwareName::FromText(std::wstring(1023, L'a'))->Bytes(), std::string(1023, 'a'));
  EXPECT_FALSE(FirmwareName::FromText(std::wstring(1024, L'a'))) << "no room for the terminator";
  EXPECT_FALSE(FirmwareName::FromBytes(std::string("a.bin\0b", 7))) << "a NUL would cut the path short";
  EXPECT_FALSE(FirmwareName::FromText(std::wstring(1, static_cast<wchar_t>(0xD800)))) << "lone surrogate";
  // 512 two-byte characters are 1024 bytes: one too many.
  EXPECT_FALSE(FirmwareName::FromText(std::wstring(512, L'\u00e9')));
}

TEST(TextEncoding, RoundTripsAndReplacesBrokenSequences) {
  const std::wstring text = L"COM \u00e9\u4e2d\U0001F600";
  EXPECT_EQ(FromUtf8(*ToUtf8(text)), text);
  EXPECT_EQ(FromUtf8("a\xff" "b"), L"a\uFFFDb");
  EXPECT_EQ(FromUtf8("\xc3"), L"\uFFFD");
  EXPECT_EQ(FromUtf8("\xe0\x80\x80"), L"\uFFFD\uFFFD\uFFFD") << "overlong forms are not characters";
  EXPECT_TRUE(IsValidUtf8("COM \xc3\xa9"));
  EXPECT_FALSE(IsValidUtf8("caf\xe9"));
}

}  // namespace
}  // namespace zevuvuri
