// A unit's session keeps its own record straight: the first ending, the
// first answer on a repeat and the first prompt stand, whatever comes later.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "station/unit_session.h"

namespace zevuvuri::station {
namespace {

struct Told {
  std::vector<std::string> notes;
  std::vector<UnitEnding> endings;
};


TEST(UnitSessionTest, FirstEndingRepeatAndPromptStand) {
  Told told;
  StationSettings settings;
  UnitSession session(
      settings, "/dev/null-port", UnitFrontEnd{}, [] {}, [&](const std::string& text) { told.notes.push_back(text); },
      [&](const UnitEnding& e) { told.endings.push_back(e); }, std::string("SN-0042"));

  EXPECT_FALSE(session.Outcome());
  session.TakeEnding(UpgradeOutcome::SyncTimeout);
  ASSERT_EQ(told.endings.size(), 1u);
  EXPECT_EQ(session.Outcome(), UpgradeOutcome::SyncTimeout);
  const int exit_code = session.ExitCode();
  const double seconds = session.Seconds();
  EXPECT_NE(exit_code, 0);
  EXPECT_EQ(told.endings[0].exit_code, exit_code);
  EXPECT_EQ(told.endings[0].seconds, seconds);

  // A later ending (a stop racing the worker's own) changes and tells nothing.
  session.TakeEnding(UpgradeOutcome::Cancelled);
  EXPECT_EQ(told.endings.size(), 1u);
  EXPECT_EQ(session.Outcome(), UpgradeOutcome::SyncTimeout);
  EXPECT_EQ(session.ExitCode(), exit_code);
  EXPECT_EQ(session.Seconds(), seconds);
  EXPECT_NE(session.ResultText(), "interrupted");
  EXPECT_TRUE(told.notes.empty());

  // Settled as no repeat (no image was taken), a later lookup cannot flag it.
  EXPECT_EQ(session.SerialNumber(), "SN-0042");
  EXPECT_FALSE(session.Repeat());
  session.SetRepeat(false);
  session.SetRepeat(true);
  EXPECT_EQ(session.Repeat(), false);

  EXPECT_TRUE(session.PromptOnce());
  EXPECT_FALSE(session.PromptOnce());
  EXPECT_FALSE(session.PromptOnce());
}

TEST(UnitSessionTest, InterruptedEndingReadsAsInterrupted) {
  Told told;
  UnitSession session(
      StationSettings{}, "/dev/null-port", UnitFrontEnd{}, [] {}, [&](const std::string& text) { told.notes.push_back(text); },
      [&](const UnitEnding& e) { told.endings.push_back(e); }, std::nullopt);
  session.TakeEnding(UpgradeOutcome::Cancelled);
  EXPECT_EQ(session.ResultText(), "interrupted");
  ASSERT_EQ(told.endings.size(), 1u);
  EXPECT_EQ(told.endings[0].outcome, UpgradeOutcome::Cancelled);
  session.SetRepeat(true);
  session.SetRepeat(false);
  EXPECT_EQ(session.Repeat(), true);
}

}  // namespace
}  // namespace zevuvuri::station
