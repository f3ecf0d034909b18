// The journal's writer when rotation takes the file from under it: every
// record lands in a file at the path or in the renamed one, none is lost or
// torn, and the fresh start is said once. And when a FIFO's reader stops
// reading: the append is bounded, and what it leaves stays readable.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
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


// A FIFO whose reader is there but reads nothing: a record that finds no
// room fails after the limit rather than holding its caller; while there is
// still none, the next fails at once; once the reader drains the pipe,
// records go out again, the first on a line of its own after the one cut
// short.
TEST(ReportFileFifoTest, AReaderThatTakesNoMoreBoundsTheAppend) {
  TempDir dir;
  const std::string fifo = dir.Path() + "/journal.fifo";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  ASSERT_GE(reader, 0);
  ASSERT_EQ(::fcntl(reader, F_SETPIPE_SZ, 4096), 4096);
  std::string error;
  auto file = ReportFile::Open(fifo, &error);
  ASSERT_TRUE(file) << error;
  // 3000 bytes in the pipe: a 5000-byte record goes out in part.
  ASSERT_TRUE(file->Append(std::string(2999, 'a'), &error)) << error;
  using Clock = std::chrono::steady_clock;
  const auto began = Clock::now();
  EXPECT_FALSE(file->Append(std::string(4999, 'b'), &error));
  const auto waited = Clock::now() - began;
  EXPECT_GE(waited, kRecordWriteLimit - std::chrono::milliseconds{100});
  EXPECT_LT(waited, std::chrono::seconds{20}) << "bounded, with room for a loaded machine";
  EXPECT_EQ(error, fifo + ": its reader took no more for 2 s");

  const auto again = Clock::now();
  EXPECT_FALSE(file->Append("{\"unit\":3}", &error));
  EXPECT_LT(Clock::now() - again, kRecordWriteLimit) << "not waited for again";
  EXPECT_EQ(error, fifo + ": its reader still takes no more");

  std::string got;
  char buffer[8192];
  for (ssize_t n; (n = ::read(reader, buffer, sizeof buffer)) > 0;) got.append(buffer, static_cast<std::size_t>(n));
  // However much of the long record the pipe took:
  const std::size_t cut = got.size() - 3000;
  ASSERT_GT(cut, 0u);
  ASSERT_LT(cut, 5000u);
  ASSERT_TRUE(file->Append("{\"unit\":4}", &error)) << error;
  for (ssize_t n; (n = ::read(reader, buffer, sizeof buffer)) > 0;) got.append(buffer, static_cast<std::size_t>(n));
  EXPECT_EQ(got, std::string(2999, 'a') + "\n" + std::string(cut, 'b') + "\n{\"unit\":4}\n");
  ::close(reader);
}

}  // namespace
}  // namespace zevuvuri::records
