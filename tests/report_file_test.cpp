// The journal's writer when rotation takes the file from under it: every
// record lands in a file at the path or in the renamed one, none is lost or
// torn, and the fresh start is said once.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "records/report_file.h"
#include "tests/support/pseudo_terminal.h"

namespace zevuvuri::records {
namespace {

namespace fs = std::filesystem;
using testing::TempDir;

std::vector<std::string> Lines(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

struct Rotation {
  const char* name;
  std::function<void(const std::string& journal)> rotate;  // as an operator or a rotation tool does it
  const char* said;                                          // how the fresh start is named
  bool kept_aside;                                           // the first records stay in journal.1
};

void PrintTo(const Rotation& r, std::ostream* os) { *os << r.name; }

class ReportFileRotationTest : public ::testing::TestWithParam<Rotation> {};

TEST_P(ReportFileRotationTest, EveryRecordLandsAndTheFreshStartIsSaidOnce) {
  TempDir dir;
  const std::string journal = dir.Path() + "/journal.jsonl";
  std::string error;
  auto file = ReportFile::Open(journal, &error);
  ASSERT_TRUE(file) << error;
  for (const char* record : {"{\"unit\":1}", "{\"unit\":2}"}) ASSERT_TRUE(file->Append(record, &error)) << error;
  EXPECT_FALSE(file->FreshStart());

  GetParam().rotate(journal);
  for (const char* record : {"{\"unit\":3}", "{\"unit\":4}"}) ASSERT_TRUE(file->Append(record, &error)) << error;
  const auto said = file->FreshStart();
  ASSERT_TRUE(said);
  EXPECT_EQ(*said, journal + " " + GetParam().said + ": a fresh journal was started there");
  EXPECT_FALSE(file->FreshStart()) << "said once";
  EXPECT_EQ(Lines(journal), (std::vector<std::string>{"{\"unit\":3}", "{\"unit\":4}"}));
  const auto aside = Lines(journal + ".1");
  if (GetParam().kept_aside) {
    EXPECT_EQ(aside, (std::vector<std::string>{"{\"unit\":1}", "{\"unit\":2}"}));
  } else {
    EXPECT_TRUE(aside.empty());
  }

  // The fresh file is followed in turn.
  fs::rename(journal, journal + ".2");
  ASSERT_TRUE(file->Append("{\"unit\":5}", &error)) << error;
  EXPECT_TRUE(file->FreshStart());
  EXPECT_EQ(Lines(journal), std::vector<std::string>{"{\"unit\":5}"});
  EXPECT_EQ(Lines(journal + ".2").size(), 2u);
}

INSTANTIATE_TEST_SUITE_P(
    Rotations, ReportFileRotationTest,
    ::testing::Values(Rotation{"Deleted", [](const std::string& j) { fs::remove(j); }, "was deleted", false},
                      Rotation{"Moved", [](const std::string& j) { fs::rename(j, j + ".1"); },
                               "was moved away or replaced", true},
                      Rotation{"CopiedAndEmptied",
                               [](const std::string& j) {
                                 fs::copy_file(j, j + ".1");
                                 std::ofstream(j, std::ios::trunc | std::ios::binary);
                               },
                               "was emptied", true}),
    [](const ::testing::TestParamInfo<Rotation>& case_info) { return std::string(case_info.param.name); });

}  // namespace
}  // namespace zevuvuri::records
