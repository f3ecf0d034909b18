#include "engine/upgrade_frame.h"

#include <gtest/gtest.h>

#include <vector>

#include "engine/module_type.h"
#include "engine/progress_scale.h"

namespace zevuvuri {
namespace {

std::vector<std::uint8_t> HeaderOf(const UpgradeFrame& f) { return {f.Header().begin(), f.Header().end()}; }

TEST(UpgradeFrame, HeadersCarryOffsetMarkerAndType) {
  struct Case {
    const char* what;
    void (UpgradeFrame::*set)(std::uint32_t, std::uint8_t);
    std::uint32_t offset;
    std::uint8_t type;
    std::vector<std::uint8_t> header;
  };
  const Case cases[] = {
      {"data at 0", &UpgradeFrame::SetDataHeader, 0, 0x00, {0x00, 0x00, 0x50, 0x00}},
      {"data at 448", &UpgradeFrame::SetDataHeader, 448, 0x18, {0xC0, 0x01, 0x50, 0x18}},
      {"data past 64 KiB", &UpgradeFrame::SetDataHeader, 65576, 0x0A, {0x28, 0x00, 0x51, 0x0A}},
      {"data at the last offset that fits", &UpgradeFrame::SetDataHeader, 0xFFFC8, 9, {0xC8, 0xFF, 0x5F, 9}},
      {"end past 64 KiB", &UpgradeFrame::SetEndHeader, 65576, 0x0A, {0x28, 0x00, 0x71, 0x0A}},
      {"end at 168", &UpgradeFrame::SetEndHeader, 168, 8, {0xA8, 0x00, 0x70, 8}},
  };
  for (const auto& c : cases) {
    UpgradeFrame frame;
    (frame.*c.set)(c.offset, c.type);
    EXPECT_EQ(HeaderOf(frame), c.header) << c.what;
  }
}

TEST(UpgradeFrame, PollHeaderIsZeroOffsetAndTypeAndHeadersLeaveThePayloadAlone) {
  UpgradeFrame frame;
  for (std::uint8_t b : frame.Bytes()) EXPECT_EQ(b, 0) << "a new frame carries zeros";
  auto payload = frame.Payload();
  for (std::size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<std::uint8_t>(i + 1);

  frame.SetDataHeader(0x12345, 0x18);
  frame.SetPollHeader(0x18);
  EXPECT_EQ(HeaderOf(frame), (std::vector<std::uint8_t>{0x00, 0x00, 0x00, 0x18}));
  frame.SetEndHeader(56, 0x18);
  for (std::size_t i = 0; i < kPayloadSize; ++i) EXPECT_EQ(frame.Bytes()[4 + i], i + 1);
  EXPECT_EQ(frame.Bytes().size(), 60u);
}

TEST(UpgradeFrame, RepliesMeanWhatTheirPhaseSays) {
  EXPECT_EQ(ClassifyReply(ReplyPhase::Synchronisation, '0'), ReplyMeaning::OverTheAir);
  EXPECT_EQ(ClassifyReply(ReplyPhase::Synchronisation, '1'), ReplyMeaning::Serial);
  EXPECT_EQ(ClassifyReply(ReplyPhase::Synchronisation, 'X'), ReplyMeaning::NotAnAnswer);
  EXPECT_EQ(ClassifyReply(ReplyPhase::Synchronisation, 0), ReplyMeaning::NotAnAnswer);
  EXPECT_EQ(ClassifyReply(ReplyPhase::Frame, '0'), ReplyMeaning::Acknowledged);
  EXPECT_EQ(ClassifyReply(ReplyPhase::Frame, '1'), ReplyMeaning::Refused);
  EXPECT_EQ(ClassifyReply(ReplyPhase::Frame, '2'), ReplyMeaning::Refused);
  EXPECT_EQ(ClassifyReply(ReplyPhase::End, '0', LinkMode::OverTheAir), ReplyMeaning::Acknowledged);
  EXPECT_EQ(ClassifyReply(ReplyPhase::End, '2', LinkMode::Serial), ReplyMeaning::Acknowledged);
  EXPECT_EQ(ClassifyReply(ReplyPhase::End, '2', LinkMode::OverTheAir), ReplyMeaning::Refused);
  EXPECT_EQ(ClassifyReply(ReplyPhase::End, '1', LinkMode::Serial), ReplyMeaning::Refused);
}

TEST(UpgradeFrame, EndOffsetCountsTheFinalEmptyRead) {
  EXPECT_EQ(EndHeaderOffset(0), 56u);
  EXPECT_EQ(EndHeaderOffset(56), 112u);
  EXPECT_EQ(EndHeaderOffset(60), 168u);
  EXPECT_EQ(EndHeaderOffset(100), 168u);
  EXPECT_EQ(EndHeaderOffset(112), 168u);
  // The largest file whose end header still fits the 20-bit offset field.
  EXPECT_TRUE(FitsOffsetField(1048488));
  EXPECT_EQ(EndHeaderOffset(1048488), 1048544u);
  EXPECT_FALSE(FitsOffsetField(1048489));
  EXPECT_FALSE(FitsOffsetField(0xFFFFFFFFull + 1));
}

TEST(ModuleTypeCode, ConvertsLikeWcstolTruncatedToEightBits) {
  const struct {
    const wchar_t* text;
    std::uint8_t code;
  } cases[] = {
      {L"0", 0x00},           {L"8", 0x08},         {L"24", 0x18},   {L"10", 0x0A},
      {L"abc", 0x00},         {L"", 0x00},          {L"300", 0x2C},  {L"99999999999", 0xFF},
      {L"  \t9", 0x09},       {L"+5", 0x05},        {L"-1", 0xFF},   {L"12abc", 0x0C},
      {L"-99999999999", 0x00}, {L"0x18", 0x00},     {L"00", 0x00},   {L"2147483647", 0xFF},
      {L"2147483648", 0xFF},  {L"- 5", 0x00},       {L"256", 0x00},  {L"4294967295", 0xFF},
  };
  for (const auto& c : cases) EXPECT_EQ(ModuleTypeCode(c.text), c.code) << "text \"" << c.text << "\"";
}

// The Windows C library also takes other scripts' decimal digits and Unicode
// blanks; the type byte is the same on every platform.
TEST(ModuleTypeCode, TakesTheUnicodeDigitsAndBlanksOfTheWindowsLibrary) {
  const struct {
    const wchar_t* text;
    std::uint8_t code;
  } cases[] = {
      {L"\xFF12\xFF14", 24},        // full-width, from an input method
      {L"\x0662\x0664", 24},        // Arabic-Indic
      {L"\x0967\x0030", 10},        // Devanagari and ASCII mixed
      {L"-\x1811", 0xFF},            // Mongolian
      {L"\x3000\x00A0 8", 8},       // ideographic and no-break spaces lead
      {L"\x2007\x205F+9", 9},
      {L"\x0085 7", 0},             // next line is no blank
      {L"\xFF0B" L"5", 0},           // nor is a full-width plus a sign
      {L"2\x00B2", 2},              // superscript two is no decimal digit
      {L"\x19D0", 0},               // a digit the library does not take
  };
  for (const auto& c : cases) EXPECT_EQ(ModuleTypeCode(c.text), c.code) << "case " << (&c - cases);
}

TEST(ProgressScale, HalvesUpTo131071BytesAndEndsFullBeyond) {
  const auto small = ProgressScaleFor(100000);
  EXPECT_EQ(small.maximum, 50000);
  EXPECT_EQ(small.Position(0), 0u);
  EXPECT_EQ(small.Position(56), 28u);
  EXPECT_EQ(small.Position(112), 56u);
  EXPECT_EQ(ProgressScaleFor(131071).maximum, 65535);
  EXPECT_EQ(ProgressScaleFor(131071).Position(131040), 65520u);
  EXPECT_EQ(ProgressScaleFor(0).maximum, 0);

  for (std::uint64_t size : {131072ull, 200000ull, 1048488ull}) {
    const auto scale = ProgressScaleFor(size);
    EXPECT_GT(scale.maximum, 30000) << size << " bytes keeps a useful resolution";
    // The last data frame's offset is the first multiple of 56 at or past the size.
    const std::uint64_t last = EndHeaderOffset(size) - kPayloadSize;
    EXPECT_GE(scale.Position(last), scale.maximum) << size << " bytes ends full";
    EXPECT_LT(scale.Position(last - 2 * kPayloadSize), scale.maximum) << size;
  }
}

}  // namespace
}  // namespace zevuvuri
