// Which boards count as already upgraded: from the records taken one by one
// and from a journal read back, a long one included.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "records/unit_record.h"
#include "station/repeat_index.h"

namespace zevuvuri::station {
namespace {

const std::string kImageA(64, 'a');
const std::string kImageB(64, 'b');

TEST(RepeatIndexTest, OnlyUpgradeOkWithSerialAndImageCounts) {
  RepeatIndex index;
  index.Take(std::string("SN-1"), kImageA, "Upgrade OK");
  index.Take(std::string("SN-2"), kImageA, "Sync Timeout");
  index.Take(std::nullopt, kImageA, "Upgrade OK");
  index.Take(std::string("SN-3"), std::nullopt, "Upgrade OK");
  EXPECT_TRUE(index.UpgradedBefore("SN-1", kImageA));
  EXPECT_FALSE(index.UpgradedBefore("SN-1", kImageB));  // another image: no repeat
  EXPECT_FALSE(index.UpgradedBefore("SN-2", kImageA));
  EXPECT_FALSE(index.UpgradedBefore("SN-3", kImageA));
  EXPECT_FALSE(index.UpgradedBefore("", kImageA));
}

TEST(RepeatIndexTest, ReadsEveryRecordOfALongJournal) {
  const auto path = std::filesystem::temp_directory_path() /
                    ("zevuvuri-repeat-index-" + std::to_string(::getpid()) + ".jsonl");
  {
    std::ofstream out(path, std::ios::binary);
    records::UnitRecord r;
    r.started = std::chrono::system_clock::now();
    r.firmware_sha256 = kImageA;
    // More records than one read takes, the boards of interest at both ends.
    for (int n = 0; n < 5000; ++n) {
      r.record_id = records::NewRecordId();
      r.serial_number = "SN-" + std::to_string(n);
      r.result = n % 2 == 0 ? "Upgrade OK" : "Write Error";
      out << records::RecordLine(r) << '\n';
    }
    out << "{\"not\": \"a record\"}\n";
  }
  RepeatIndex index;
  std::string error;
  ASSERT_TRUE(index.ReadJournal(path.string(), &error)) << error;
  EXPECT_TRUE(index.UpgradedBefore("SN-0", kImageA));
  EXPECT_TRUE(index.UpgradedBefore("SN-4998", kImageA));
  EXPECT_FALSE(index.UpgradedBefore("SN-4999", kImageA));
  EXPECT_FALSE(index.UpgradedBefore("SN-4998", kImageB));
  std::filesystem::remove(path);

  // No journal yet: nothing was upgraded, and that is no error.
  RepeatIndex fresh;
  EXPECT_TRUE(fresh.ReadJournal(path.string(), &error));
  EXPECT_FALSE(fresh.UpgradedBefore("SN-0", kImageA));
}

}  // namespace
}  // namespace zevuvuri::station
