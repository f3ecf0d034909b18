// Typed lines against waiting slots: a label goes to the slot that waited
// longest, is dropped when none waits or the station takes no more units, and
// a refused label names the slot it was for; only an Enter presses the start
// key where labels are scanned.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "station/typed_input.h"

namespace zevuvuri::station {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::seconds;

TEST(TypedInputTest, LabelGoesToTheLongestWaitingSlotOrIsDroppedOrRefused) {
  const auto t0 = Clock::now();
  const std::vector<WaitingSlot> waiting = {
      {0, t0 + seconds{5}, "/dev/ttyUSB0"},
      {1, t0 + seconds{1}, "/dev/ttyUSB1"},
      {3, t0 + seconds{3}, "/dev/ttyUSB3"},
      {4, t0 + seconds{1}, "/dev/ttyUSB4"},  // ties with slot 1: the earlier slot first
  };

  ScanMatch match = MatchScan("SN-100\r", waiting, true, "--port");
  EXPECT_EQ(match.serial, "SN-100");
  EXPECT_EQ(match.slots, (std::vector<std::size_t>{1, 4, 3, 0}));
  EXPECT_EQ(match.note, "");

  match = MatchScan("SN-101", {}, true, "--port");
  EXPECT_TRUE(match.slots.empty());
  EXPECT_EQ(match.note, "scan SN-101 dropped: no slot waits for a unit");

  match = MatchScan("SN-102", waiting, false, "--port");  // the units asked for have all started
  EXPECT_TRUE(match.slots.empty());
  EXPECT_EQ(match.note, "scan SN-102 dropped: no slot waits for a unit");

  match = MatchScan("   ", {}, true, "--port");
  EXPECT_EQ(match.note, "a scan dropped: no slot waits for a unit");

  match = MatchScan("SN\x01" "7", waiting, true, "Port");
  EXPECT_FALSE(match.serial);
  EXPECT_TRUE(match.slots.empty());
  EXPECT_EQ(match.note.rfind("scan refused: ", 0), 0u) << match.note;
  EXPECT_NE(match.note.find("; Port /dev/ttyUSB1 waits for the next scan"), std::string::npos) << match.note;
}

TEST(TypedInputTest, OnlyAnEnterPressesTheStartKeyWhereLabelsAreScanned) {
  EXPECT_TRUE(PressesStart({"SN-1", ""}, true));
  EXPECT_TRUE(PressesStart({"\r"}, true));
  EXPECT_FALSE(PressesStart({"SN-1", "SN-2"}, true));
  EXPECT_FALSE(PressesStart({}, true));
  EXPECT_TRUE(PressesStart({"anything"}, false));
  EXPECT_FALSE(PressesStart({}, false));

  EXPECT_FALSE(HeldScanNote(""));
  EXPECT_FALSE(HeldScanNote("\r"));
  EXPECT_EQ(HeldScanNote("SN-9"), "scan SN-9 dropped: no unit starts while the station is held");
  EXPECT_EQ(HeldScanNote(" \t"), "a scan dropped: no unit starts while the station is held");
}

}  // namespace
}  // namespace zevuvuri::station
