// The window's records without a database: a journal that rotation takes
// between two upgrades, and a station name the records cannot hold.
#include "ui/window_records.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "tests/support/pseudo_terminal.h"

namespace zevuvuri::ui {
namespace {

void Upgrade(WindowRecords& records) {
  records.Started("3", "/srv/fw.bin", 24, Pacing::Classic);
  records.Status("Upgrade OK");
  std::string error;
  ASSERT_TRUE(records.Ended(UpgradeOutcome::Ok, &error)) << error;
}

TEST(WindowRecordsTest, ARotatedJournalIsSaidOnceOnTheRecordsLine) {
  testing::TempDir dir;
  const std::string journal = dir.Path() + "/units.jsonl";
  WindowRecords records(RecordSettings{journal, "", "bench 4", ""});
  ASSERT_EQ(records.Problem(), "");
  Upgrade(records);
  EXPECT_FALSE(records.News());
  std::filesystem::rename(journal, journal + ".1");
  Upgrade(records);
  EXPECT_EQ(records.News(), "records: " + journal + " was moved away or replaced: a fresh journal was started there");
  EXPECT_FALSE(records.News()) << "said once";
  std::ifstream fresh(journal);
  std::string line;
  ASSERT_TRUE(std::getline(fresh, line));
  EXPECT_NE(line.find("\"station\":\"bench 4\""), std::string::npos) << line;

  WindowRecords too_long(RecordSettings{journal, "", std::string(256, 's'), ""});
  EXPECT_EQ(too_long.Problem().rfind("StationName= in loader.cfg: the station name is 256 characters long", 0), 0u)
      << too_long.Problem();
}

}  // namespace
}  // namespace zevuvuri::ui
