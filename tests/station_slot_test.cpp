// A slot's phase moves leave its snapshot whole: a plugged unit that went
// takes its number, serial and progress with it but leaves its result shown;
// the start key's and the scan's waits keep the last unit beside the prompt.
#include <gtest/gtest.h>

#include <string>

#include "station/station_slot.h"

namespace zevuvuri::station {
namespace {

TEST(StationSlotTest, PlugCycleKeepsOnlyTheLastResultAfterTheUnitWent) {
  StationSlot slot("/dev/ttyUSB3");
  slot.Wait(NextUnit::Plug, "", StationSlot::Clock::now());
  EXPECT_EQ(slot.Phase(), SlotPhase::Waiting);
  EXPECT_EQ(slot.Shown().text, "waiting for a unit");

  slot.Begin(7, std::string("SN-7"));
  EXPECT_EQ(slot.Phase(), SlotPhase::Upgrading);
  EXPECT_EQ(slot.Shown().unit, 7u);
  EXPECT_EQ(slot.Shown().serial, "SN-7");
  EXPECT_EQ(slot.Shown().result, ResultKind::None);
  EXPECT_TRUE(slot.Progress("Erasing", 0, true));
  EXPECT_FALSE(slot.Progress("Erasing", 0, true));  // nothing new: no change told
  EXPECT_TRUE(slot.Progress("Erasing", 0, false));
  EXPECT_TRUE(slot.Progress("Writing", 40, false));
  slot.MarkRepeat();

  slot.End(false, "Write Error", 41, false);
  EXPECT_EQ(slot.Phase(), SlotPhase::Upgrading);  // the station moves it on
  EXPECT_EQ(slot.Shown().result, ResultKind::Failed);
  EXPECT_EQ(slot.Shown().percent, 41);
  slot.Leave("Write Error");
  EXPECT_EQ(slot.Phase(), SlotPhase::Leaving);
  EXPECT_EQ(slot.Shown().text, "Write Error, remove the unit");
  EXPECT_EQ(slot.Shown().unit, 7u);

  slot.Wait(NextUnit::Plug, "Write Error", StationSlot::Clock::now());
  const SlotSnapshot& s = slot.Shown();
  EXPECT_EQ(s.phase, SlotPhase::Waiting);
  EXPECT_EQ(s.port, "/dev/ttyUSB3");
  EXPECT_EQ(s.text, "waiting for a unit");
  EXPECT_FALSE(s.unit);
  EXPECT_FALSE(s.serial);
  EXPECT_FALSE(s.repeat);
  EXPECT_EQ(s.percent, -1);
  EXPECT_EQ(s.result, ResultKind::Failed);
  EXPECT_EQ(s.result_text, "Write Error");

  slot.Begin(8, std::nullopt);  // the next unit clears the last one's result
  EXPECT_EQ(slot.Shown().result, ResultKind::None);
  EXPECT_EQ(slot.Shown().result_text, "");
  EXPECT_EQ(slot.Shown().percent, -1);
}

struct WaitCase {
  NextUnit next;
  const char* after;
  const char* text;
};

class StationSlotWaitTest : public ::testing::TestWithParam<WaitCase> {};

TEST_P(StationSlotWaitTest, KeyAndScanWaitsKeepTheLastUnitBesideThePrompt) {
  StationSlot slot("COM4");
  slot.Begin(2, std::nullopt);
  slot.Progress("Writing", 90, true);
  slot.End(true, "Upgrade OK", 100, false);
  const auto now = StationSlot::Clock::now();
  slot.Wait(GetParam().next, GetParam().after, now);
  EXPECT_EQ(slot.Phase(), SlotPhase::Waiting);
  EXPECT_EQ(slot.Shown().text, GetParam().text);
  EXPECT_EQ(slot.Shown().unit, 2u);
  EXPECT_EQ(slot.Shown().result, ResultKind::Ok);
  EXPECT_FALSE(slot.Shown().awaiting_confirm);
  EXPECT_EQ(slot.WaitingSince(), now);
}

INSTANTIATE_TEST_SUITE_P(Texts, StationSlotWaitTest,
                         ::testing::Values(
                             WaitCase{NextUnit::Enter, "", "waiting for Enter"},
                             WaitCase{NextUnit::Enter, "Upgrade OK", "Upgrade OK, Enter for the next unit"},
                             WaitCase{NextUnit::Scan, "", "waiting for a scan"},
                             WaitCase{NextUnit::Scan, "Upgrade OK", "Upgrade OK, scan the next unit"}));

}  // namespace
}  // namespace zevuvuri::station
