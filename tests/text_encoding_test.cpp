// The one conversion between UTF-8 and UTF-16 (or the window's wide text):
// well-formed text both ways unchanged, and what every kind of broken input
// becomes.
#include <gtest/gtest.h>

#include <ostream>
#include <string>

#include "engine/text_encoding.h"

namespace zevuvuri {
namespace {

constexpr char16_t kHigh = 0xD83D, kLow = 0xDE00;  // U+1F600 as a pair
const std::string kFffd = "\xEF\xBF\xBD";          // U+FFFD in UTF-8

struct BrokenUtf8 {
  const char* name;
  std::string bytes;
  std::u16string units;  // what it becomes
};

void PrintTo(const BrokenUtf8& c, std::ostream* os) { *os << c.name; }

class BrokenUtf8Test : public testing::TestWithParam<BrokenUtf8> {};

// Each byte that begins no well-formed sequence is one U+FFFD, and the next
// byte is read afresh: the text around it is kept, nothing else is lost.
TEST_P(BrokenUtf8Test, EachByteThatBeginsNoCharacterIsOneReplacement) {
  const BrokenUtf8& c = GetParam();
  EXPECT_EQ(Utf8ToUtf16(c.bytes), c.units);
  EXPECT_FALSE(IsValidUtf8(c.bytes));
  // The window's text and the UTF-16 agree on every one of them.
  const std::wstring wide = FromUtf8(c.bytes);
  EXPECT_EQ(std::u16string(wide.begin(), wide.end()), c.units);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, BrokenUtf8Test,
    testing::Values(BrokenUtf8{"StrayContinuation", "a\x80" "b", u"a\uFFFDb"},
                    BrokenUtf8{"CutShortAtTheEnd", "a\xE2\x82", u"a\uFFFD\uFFFD"},
                    BrokenUtf8{"CutShortByAnAsciiByte", "\xE2\x82" "A", u"\uFFFD\uFFFDA"},
                    BrokenUtf8{"OverlongNul", std::string("\xC0\x80"), u"\uFFFD\uFFFD"},
                    BrokenUtf8{"OverlongSlash", "\xE0\x80\xAF", u"\uFFFD\uFFFD\uFFFD"},
                    BrokenUtf8{"OverlongFourBytes", "\xF0\x8F\xBF\xBF", u"\uFFFD\uFFFD\uFFFD\uFFFD"},
                    BrokenUtf8{"EncodedSurrogate", "\xED\xA0\x80", u"\uFFFD\uFFFD\uFFFD"},
                    BrokenUtf8{"PastTheLastCharacter", "\xF4\x90\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD"},
                    BrokenUtf8{"NoLeadByteAtAll", "\xF8\xFF" "z", u"\uFFFD\uFFFDz"},
                    BrokenUtf8{"Latin1", "caf\xE9", u"caf\uFFFD"}),
    [](const auto& info) { return info.param.name; });

TEST(TextEncodingTest, WellFormedTextCrossesBothWaysUnchanged) {
  // One character of each length, the last one past U+FFFF (a pair in UTF-16).
  const std::string utf8 = "A\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80";
  const std::u16string utf16 = {u'A', u'\u00E9', u'\u20AC', kHigh, kLow};
  EXPECT_EQ(Utf8ToUtf16(utf8), utf16);
  EXPECT_EQ(Utf16ToUtf8(utf16), utf8);
  EXPECT_TRUE(IsValidUtf8(utf8));
  EXPECT_EQ(FromUtf8(utf8), L"A\u00E9\u20AC\U0001F600");
  EXPECT_EQ(ToUtf8(L"A\u00E9\u20AC\U0001F600"), utf8);
  // The edges of the range: the last character of each length, U+10FFFF.
  EXPECT_EQ(Utf8ToUtf16("\x7F\xDF\xBF\xEF\xBF\xBF\xF4\x8F\xBF\xBF"),
            (std::u16string{0x7F, 0x7FF, 0xFFFF, 0xDBFF, 0xDFFF}));

  EXPECT_EQ(Utf8ToUtf16(""), u"");
  EXPECT_EQ(Utf16ToUtf8(u""), "");
  EXPECT_EQ(ToUtf8(L""), std::string());
  EXPECT_TRUE(IsValidUtf8(""));
  EXPECT_EQ(DecodeUtf8("").length, 0u);

  const Utf8Character euro = DecodeUtf8("\xE2\x82\xAC" "rest");
  EXPECT_EQ(euro.length, 3u);
  EXPECT_EQ(euro.value, U'\u20AC');
  EXPECT_EQ(DecodeUtf8("\xF0\x9F\x98").length, 0u) << "a four-byte character cut short";
}

// A surrogate without its other half is no character: UTF-16 to UTF-8 puts
// U+FFFD in its place, and ToUtf8, which makes names to open, refuses it.
TEST(TextEncodingTest, LoneSurrogatesAreReplacedOrRefused) {
  EXPECT_EQ(Utf16ToUtf8(std::u16string{u'a', kHigh, u'b'}), "a" + kFffd + "b");
  EXPECT_EQ(Utf16ToUtf8(std::u16string{u'a', kLow}), "a" + kFffd);
  EXPECT_EQ(Utf16ToUtf8(std::u16string{u'a', kHigh}), "a" + kFffd) << "a high half at the very end";
  EXPECT_EQ(Utf16ToUtf8(std::u16string{kLow, kHigh}), kFffd + kFffd) << "halves in the wrong order";
  EXPECT_EQ(Utf16ToUtf8(std::u16string{kHigh, kHigh, kLow}), kFffd + "\xF0\x9F\x98\x80");

  EXPECT_FALSE(ToUtf8(std::wstring{L'a', static_cast<wchar_t>(0xD800)}));
  EXPECT_FALSE(ToUtf8(std::wstring{static_cast<wchar_t>(0xDC00), L'a'}));
  if constexpr (sizeof(wchar_t) == 4) {
    EXPECT_FALSE(ToUtf8(std::wstring{static_cast<wchar_t>(0x110000)})) << "past U+10FFFF";
  }
}

}  // namespace
}  // namespace zevuvuri
