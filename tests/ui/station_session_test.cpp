// The station view's words, whatever toolkit draws them: the header line,
// the row of a slot whose unit has left, and the status line's notes, which
// speak loader.cfg's language and go when a later event makes them untrue.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <memory>
#include <ostream>
#include <thread>

#include "tests/support/child_process.h"
#include "tests/support/pseudo_terminal.h"
#include "tests/support/scoped_env.h"
#include "ui/station_header.h"
#include "ui/station_session.h"

namespace zevuvuri::ui {
namespace {

using namespace std::chrono_literals;
using zevuvuri::testing::ChildProcess;
using zevuvuri::testing::ScopedEnv;
using zevuvuri::testing::TempDir;

const std::string kSha = "3f9a1c2e5b7d90aa112233445566778899aabbccddeeff00112233445566cafe";

struct HeaderCase {
  const char* what;
  HeaderFacts facts;
  const wchar_t* line;
};

void PrintTo(const HeaderCase& c, std::ostream* out) { *out << c.what; }

class HeaderLineTest : public ::testing::TestWithParam<HeaderCase> {};

TEST_P(HeaderLineTest, SaysWhatEverySlotFlashes) { EXPECT_EQ(HeaderLine(GetParam().facts), GetParam().line); }

INSTANTIATE_TEST_SUITE_P(
    Facts, HeaderLineTest,
    ::testing::Values(
        HeaderCase{"pinned and matching", {"qm-d.bin", 61440, kSha, kSha, "24", "line-3", Pacing::Fast},
                   L"Firmware qm-d.bin, 61 440 bytes, SHA-256 3f9a1c2e (approved) | Type 24 QM-D EVB | "
                   L"Station line-3 | Pacing fast"},
        // A pin the file does not match is never called approved.
        HeaderCase{"pinned, another image",
                   {"qm-d.bin", 1, kSha, std::string(64, 'a'), "8", "desk", Pacing::Classic},
                   L"Firmware qm-d.bin, 1 byte, SHA-256 3f9a1c2e (not the approved image) | Type 8 QM-B EVB | "
                   L"Station desk | Pacing classic"},
        // The type is the byte the module gets: 300 is sent as 44, no product's.
        HeaderCase{"unpinned, odd type", {"x.bin", 999, kSha, std::nullopt, "300", "s", Pacing::Classic},
                   L"Firmware x.bin, 999 bytes, SHA-256 3f9a1c2e | Type 44 | Station s | Pacing classic"},
        HeaderCase{"unreadable file", {"gone.bin", std::nullopt, std::nullopt, kSha, "0", "s", Pacing::Fast},
                   L"Firmware gone.bin (cannot be read) | Type 0 QM-A EVB | Station s | Pacing fast"}),
    [](const auto& test_info) {
      std::string name = test_info.param.what;
      for (char& c : name) c = std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
      return name;
    });

// The facts come from the file itself: its size and hash, its name without
// the folder; the station's own name, or the host's when none is given.
TEST(HeaderFactsTest, ReadsTheFileAndNamesTheStation) {
  TempDir dir;
  const std::string path = dir.Path() + "/abc.bin";
  std::ofstream(path, std::ios::binary) << "abc";
  station::StationSettings settings;
  settings.firmware = path;
  settings.station_name = "line-3";
  settings.type_text = "24";
  settings.firmware_sha256 = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";
  const HeaderFacts facts = HeaderFactsOf(settings);
  EXPECT_EQ(facts.firmware, "abc.bin");
  EXPECT_EQ(facts.size, 3u);
  EXPECT_EQ(facts.sha256, settings.firmware_sha256) << "SHA-256 of \"abc\"";
  EXPECT_EQ(facts.station, "line-3");
  EXPECT_NE(HeaderLine(facts).find(L"SHA-256 ba7816bf (approved)"), std::wstring::npos);

  settings.station_name.clear();
  settings.firmware = dir.Path() + "/missing.bin";
  const HeaderFacts unnamed = HeaderFactsOf(settings);
  EXPECT_FALSE(unnamed.size);
  EXPECT_FALSE(unnamed.station.empty()) << "the host's name stands in";
}

class QuietToolkit final : public StationToolkit {
 public:
  void RowsChanged() override {}
  void WakeUp() override { woken = true; }
  void CloseWindow() override {}
  std::atomic<bool> woken{false};
};

// Ticks the session as a toolkit's timer would until `done` holds; bounded.
template <typename Done>
bool TickUntil(StationSession& session, Done done, std::chrono::seconds limit = 60s) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::min(session.NextTickIn(), std::chrono::milliseconds{50}));
    session.Tick();
  }
  return true;
}

// A station that cannot open says why in loader.cfg's words, never in the
// command line's options.
TEST(StationSessionWordsTest, AStationThatCannotOpenSaysWhyInTheWindowsWords) {
  TempDir dir;
  QuietToolkit toolkit;
  station::StationSettings plug;
  plug.ports = {"not-a-port"};
  plug.next = station::NextUnit::Plug;
  StationSession unplugged(toolkit, plug);
  EXPECT_EQ(unplugged.Problem(), L"port not-a-port: no unit can be plugged there (give a COM number or a device path, "
                                 L"or use Next=enter)");

  station::StationSettings journal;
  journal.ports = {"1"};
  journal.next = station::NextUnit::Enter;
  journal.report = dir.Path() + "/missing/folder/units.jsonl";
  StationSession unjournalled(toolkit, journal);
  EXPECT_EQ(unjournalled.Problem().rfind(L"Report= in loader.cfg: ", 0), 0u) << std::string(unjournalled.Problem().begin(),
                                                                             unjournalled.Problem().end());
}

// Over the air with scans: a refused scan's note goes once a scan starts a
// unit; the unit's "press Enter" goes once its data flows after the Enter;
// the unit's row keeps counting its slot's units.
TEST(StationSessionWordsTest, ANoteGoesWhenALaterEventReplacesIt) {
  TempDir dir;
  const ScopedEnv env({{"ZEVUVURI_PORT_DIR", dir.Path() + "/ports"}});
  const std::string fw = dir.Path() + "/fw.bin";
  {
    std::ofstream out(fw, std::ios::binary);
    for (int i = 0; i < 3000; ++i) out.put(static_cast<char>(i * 13));
  }
  ChildProcess board({ZEVUVURI_SIM_PATH, "--com", "1", "--timeout", "60", "--units", "1", "--mode", "air",
                      "--expect", fw},
                     {{"ZEVUVURI_PORT_DIR", dir.Path() + "/ports"}});
  ASSERT_TRUE(board.ReadLine(10s)) << "the simulator did not start";

  QuietToolkit toolkit;
  station::StationSettings settings;
  settings.ports = {"1"};
  settings.next = station::NextUnit::Scan;
  settings.firmware = fw;
  settings.pacing = Pacing::Fast;
  StationSession session(toolkit, settings);
  ASSERT_TRUE(session.Problem().empty());

  session.Scan(L"");
  EXPECT_EQ(session.Status(), L"scan refused: the scan is empty; port 1 waits for the next scan");
  session.Scan(L"SN-1");
  EXPECT_EQ(session.Status(), L"") << "the accepted scan replaces the refusal";

  ASSERT_TRUE(TickUntil(session, [&] { return !session.Status().empty(); }));
  EXPECT_EQ(session.Status(), L"over the air: press Enter with the scan field empty to start the upgrade");
  session.PressStart();
  ASSERT_TRUE(TickUntil(session, [&] { return session.Rows()[0].percent >= 0; }));
  EXPECT_EQ(session.Status(), L"") << "the unit runs: no longer waits for Enter";
  ASSERT_TRUE(TickUntil(session, [&] { return session.Rows()[0].result == RowResult::Ok; }));
  EXPECT_EQ(session.Rows()[0].units_ok, 1u);
  EXPECT_EQ(session.Rows()[0].units_failed, 0u);
  EXPECT_EQ(session.Finish(), 0);
  EXPECT_EQ(board.Wait(30s).value_or(-1), 0) << board.Stderr();
}


// A FIFO journal whose reader is there but has stopped reading, its pipe
// full: the unit's end costs the view's pass at most the record's 2 s, and
// the record not written is said on the slot's line and on the records'
// line; the shift ends 11.
TEST(StationSessionWordsTest, AJournalWhoseReaderTakesNoMoreHoldsNoPass) {
  TempDir dir;
  const ScopedEnv env({{"ZEVUVURI_PORT_DIR", dir.Path() + "/ports"}});
  const std::string fw = dir.Path() + "/fw.bin";
  std::ofstream(fw, std::ios::binary) << std::string(2000, '\x5a');
  const std::string fifo = dir.Path() + "/journal.fifo";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  ASSERT_GE(reader, 0);
  {
    const int filler = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(filler, 0);
    while (::write(filler, "x", 1) == 1) {
    }
    ::close(filler);
  }
  ChildProcess board({ZEVUVURI_SIM_PATH, "--com", "1", "--timeout", "60", "--units", "1", "--expect", fw},
                     {{"ZEVUVURI_PORT_DIR", dir.Path() + "/ports"}});
  ASSERT_TRUE(board.ReadLine(10s)) << "the simulator did not start";

  QuietToolkit toolkit;
  station::StationSettings settings;
  settings.ports = {"1"};
  settings.next = station::NextUnit::Enter;
  settings.firmware = fw;
  settings.pacing = Pacing::Fast;
  settings.report = fifo;
  StationSession session(toolkit, settings);
  ASSERT_TRUE(session.Problem().empty()) << std::string(session.Problem().begin(), session.Problem().end());
  session.PressStart();
  // Bounded by TickUntil's own limit: a pass that waited for the reader
  // would never return.
  ASSERT_TRUE(TickUntil(session, [&] { return session.Rows()[0].result == RowResult::Ok; }));
  ASSERT_TRUE(TickUntil(session, [&] { return !session.RecordsLine().empty(); }, 10s));
  const std::wstring said = std::wstring(fifo.begin(), fifo.end()) + L": its reader took no more for 2 s";
  EXPECT_EQ(session.RecordsLine(), L"records: unit 1's record was not written: " + said);
  EXPECT_NE(session.Status().find(L"the record could not be written: " + said), std::wstring::npos)
      << std::string(session.Status().begin(), session.Status().end());
  EXPECT_EQ(session.Finish(), 11);
  EXPECT_EQ(board.Wait(30s).value_or(-1), 0) << board.Stderr();
  ::close(reader);
}

}  // namespace
}  // namespace zevuvuri::ui
