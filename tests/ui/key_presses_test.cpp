// A held key counts once, as each window system sends it.
#include "ui/key_presses.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

namespace zevuvuri::ui {
namespace {

constexpr int kEnter = 1, kSpace = 2;

struct Event {
  bool press;
  int key;
  std::uint64_t time;
  bool flagged = false;  // the toolkit called it an auto-repeat
};

struct HeldCase {
  std::string name;
  std::vector<Event> events;
  unsigned presses;  // counted as new presses
};
void PrintTo(const HeldCase& c, std::ostream* out) { *out << c.name; }

class KeyPressesTest : public ::testing::TestWithParam<HeldCase> {};

TEST_P(KeyPressesTest, CountsEachPressOnce) {
  KeyPresses keys;
  unsigned counted = 0;
  for (const Event& e : GetParam().events) {
    if (!e.press) {
      keys.Released(e.key, e.time);
    } else if (keys.Pressed(e.key, e.time, e.flagged)) {
      ++counted;
    }
  }
  EXPECT_EQ(counted, GetParam().presses);
}

INSTANTIATE_TEST_SUITE_P(
    Sequences, KeyPressesTest,
    ::testing::Values(
        // An X server without detectable auto-repeat, as Xvfb sent Enter held
        // for a moment: each repeat a release and a press with one time
        // stamp, which the toolkit flagged only now and then.
        HeldCase{"XRepeatPairsMostlyUnflagged",
                 {{true, kEnter, 11384010}, {false, kEnter, 11384673, true}, {true, kEnter, 11384673, true},
                  {false, kEnter, 11384713}, {true, kEnter, 11384713}, {false, kEnter, 11384753},
                  {true, kEnter, 11384753}, {false, kEnter, 11385361}},
                 1},
        // Repeats with no release between them, each flagged (Windows,
        // Wayland) or not.
        HeldCase{"RepeatsWithoutRelease",
                 {{true, kEnter, 100}, {true, kEnter, 600, true}, {true, kEnter, 640}, {false, kEnter, 700}},
                 1},
        // Two real presses, even quick ones, count twice; another key held
        // meanwhile does not hide them.
        HeldCase{"QuickPressesAndTwoKeys",
                 {{true, kEnter, 100}, {false, kEnter, 160}, {true, kSpace, 170}, {true, kEnter, 230},
                  {false, kSpace, 240}, {true, kSpace, 240}, {false, kEnter, 300}, {false, kSpace, 900}},
                 3},
        // Events without a time stamp (made by a program, not a keyboard):
        // each press after its release is a press.
        HeldCase{"NoTimeStamps",
                 {{true, kEnter, 0}, {false, kEnter, 0}, {true, kEnter, 0}, {false, kEnter, 0}, {true, kEnter, 0},
                  {true, kEnter, 0, true}, {false, kEnter, 0}},
                 3}),
    [](const auto& info) { return info.param.name; });

// A release that went to another window (the key let go over a question box)
// would leave the key held for ever; forgetting takes every key as up.
TEST(KeyPressesForget, AKeyWhoseReleaseWentElsewhereCountsAgain) {
  KeyPresses keys;
  EXPECT_TRUE(keys.Pressed(kEnter, 10, false));
  EXPECT_FALSE(keys.Pressed(kEnter, 900, false)) << "still down: no release came";
  keys.Forget();
  EXPECT_TRUE(keys.Pressed(kEnter, 2000, false));
}

}  // namespace
}  // namespace zevuvuri::ui
