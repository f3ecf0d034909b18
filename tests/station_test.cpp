// The station's own pieces without a front end: the shift's tally, what
// sysfs says about a device, the plug watch, the scans, and the model driven
// as the window drives it.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <map>
#include <algorithm>
#include <mutex>
#include <numeric>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "station/plug_watcher.h"
#include "station/serial_device_info.h"
#include "engine/serial_port.h"
#include "station/serial_scan.h"
#include "station/start_guard.h"
#include "station/station_model.h"
#include "station/station_tally.h"
#include "tests/support/child_process.h"
#include "tests/support/fake_station.h"
#include "tests/support/pseudo_terminal.h"
#include "tests/support/scoped_env.h"

namespace zevuvuri::station {
namespace {

namespace fs = std::filesystem;
using testing::ChildProcess;
using testing::FakeStation;
using testing::TempDir;
using testing::WriteFile;

using zevuvuri::testing::ScopedEnv;

// The wake a front end gives the station: counted, and waited for.
class Wakes {
 public:
  void Wake() {
    std::lock_guard lock(mutex_);
    ++count_;
    changed_.notify_all();
  }
  // True when woken since the last call, within `limit`.
  bool Wait(std::chrono::milliseconds limit) {
    std::unique_lock lock(mutex_);
    const bool woken = changed_.wait_for(lock, limit, [&] { return count_ > taken_; });
    taken_ = count_;
    return woken;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  unsigned count_ = 0;
  unsigned taken_ = 0;
};

// Nearest-rank percentiles and means of the OK units only; the failures by
// text in the order they first came.
TEST(StationTallyTest, YieldRateMeanAndP95) {
  struct Case {
    std::vector<double> ok_seconds;
    double mean;
    double p95;
  };
  std::vector<double> one_to_twenty(20), one_to_hundred(100);
  std::iota(one_to_twenty.begin(), one_to_twenty.end(), 1.0);
  std::iota(one_to_hundred.begin(), one_to_hundred.end(), 1.0);
  const Case cases[] = {
      {{14.0}, 14.0, 14.0},
      {{3.0, 1.0, 2.0}, 2.0, 3.0},
      {one_to_twenty, 10.5, 19.0},
      {one_to_hundred, 50.5, 95.0},
  };
  const auto t0 = StationTally::Clock::time_point{} + std::chrono::hours{1000};
  for (const auto& c : cases) {
    StationTally tally;
    tally.Began(t0);
    tally.Began(t0 + std::chrono::minutes{5});  // the hour runs from the first unit
    for (double s : c.ok_seconds) tally.Ended("1", true, "Upgrade OK", s);
    tally.Ended("2", false, "Write Error", 0.5);
    tally.Ended("1", false, "Did not get local ACK", 30.0);
    tally.Ended("2", false, "Write Error", 0.5);
    const StationTotals t = tally.Totals(t0 + std::chrono::minutes{30});
    const unsigned units = static_cast<unsigned>(c.ok_seconds.size()) + 3;
    EXPECT_EQ(t.units, units);
    EXPECT_EQ(t.ok, c.ok_seconds.size());
    EXPECT_EQ(t.failed, 3u);
    EXPECT_DOUBLE_EQ(t.yield_percent, 100.0 * static_cast<double>(c.ok_seconds.size()) / units);
    ASSERT_TRUE(t.units_per_hour && t.mean_s && t.p95_s);
    EXPECT_DOUBLE_EQ(*t.units_per_hour, units * 2.0);
    EXPECT_DOUBLE_EQ(*t.mean_s, c.mean);
    EXPECT_DOUBLE_EQ(*t.p95_s, c.p95);
    EXPECT_EQ(t.failures, (std::vector<std::pair<std::string, unsigned>>{{"Write Error", 2},
                                                                         {"Did not get local ACK", 1}}));
    EXPECT_EQ(tally.PortCounts("2"), (std::pair<unsigned, unsigned>{2, 0}));
  }
  StationTally tally;
  EXPECT_EQ(StationTally::TotalsLine(tally.Totals(StationTally::Clock::now())), "0 units, 0 OK, 0 failed, yield 0.0 %");
  tally.Began(t0);
  tally.Ended("1", true, "Upgrade OK", 14.25);
  tally.Ended("1", false, "Write Error", 3.0);
  EXPECT_EQ(StationTally::TotalsLine(tally.Totals(t0 + std::chrono::minutes{1})),
            "2 units, 1 OK, 1 failed (Write Error 1), yield 50.0 %, 120.0 units/h, mean 14.2 s, p95 14.2 s");
}

// Each slot has its own guard from its own last start, whatever clock drives
// it: the edge itself lets a press through, a clock that went back does not.
TEST(StartGuardTest, APressWithinTheGuardOfTheSlotsLastStartIsRefused) {
  using namespace std::chrono_literals;
  const auto t0 = StartGuard::Clock::time_point{} + 1000h;
  StartGuard guard(1s);
  EXPECT_TRUE(guard.Allows(0, t0)) << "never started";
  EXPECT_TRUE(guard.Allows(7, t0)) << "a slot beyond any seen";
  guard.Started(0, t0);
  guard.Started(2, t0 + 600ms);
  EXPECT_FALSE(guard.Allows(0, t0));
  EXPECT_FALSE(guard.Allows(0, t0 + 999ms));
  EXPECT_TRUE(guard.Allows(0, t0 + 1s));
  EXPECT_TRUE(guard.Allows(1, t0 + 10ms)) << "another slot's start guards only that slot";
  EXPECT_FALSE(guard.Allows(2, t0 + 1500ms));
  EXPECT_TRUE(guard.Allows(2, t0 + 1600ms));
  EXPECT_FALSE(guard.Allows(0, t0 - 5s)) << "a clock that went back is inside the guard";
  guard.Started(0, t0 + 3s);
  EXPECT_FALSE(guard.Allows(0, t0 + 3500ms)) << "the last start counts, not the first";

  const StartGuard none;
  EXPECT_TRUE(none.Allows(0, t0));
  StartGuard zero;
  zero.Started(0, t0);
  EXPECT_TRUE(zero.Allows(0, t0)) << "a zero guard lets every press through";
}

TEST(SerialDeviceInfoTest, UsbIdsByIdNamesAndLatencyFromSysfs) {
  FakeStation station;
  ScopedEnv env(station.Env());
  EXPECT_EQ(SerialDevices(), (std::vector<std::string>{station.Dev("ttyACM0"), station.Dev("ttyUSB0")}));

  const auto ftdi = DescribeDevice(station.ByIdLink());
  EXPECT_EQ(ftdi.device, station.Dev("ttyUSB0").string()) << "the by-id link is followed";
  ASSERT_TRUE(ftdi.usb);
  EXPECT_EQ(ftdi.usb->vendor_id, "0403");
  EXPECT_EQ(ftdi.usb->product_id, "6001");
  EXPECT_EQ(ftdi.usb->serial, "A1B2C3");
  EXPECT_EQ(ftdi.usb->product, "FT232R USB UART");
  EXPECT_EQ(ftdi.by_id, std::vector<std::string>{station.ByIdLink()});
  EXPECT_EQ(ftdi.latency_timer_ms, 16);

  const auto acm = DescribeDevice(station.Dev("ttyACM0"));
  ASSERT_TRUE(acm.usb);
  EXPECT_EQ(acm.usb->vendor_id, "2fe3");
  EXPECT_EQ(acm.usb->serial, "");
  EXPECT_TRUE(acm.by_id.empty());
  EXPECT_FALSE(acm.latency_timer_ms) << "CDC-ACM has no latency timer";

  EXPECT_FALSE(DescribeDevice("/nonexistent/ttyS9").usb);
}

// A unit is at a COM number when its link leads to a device (not at the
// /dev/ttyS device the number falls back to), and at a path when it exists.
// The mark tells a replaced device from the one that stayed, and a plug
// wakes the station at once.
TEST(PlugWatcherTest, SeesDevicesComeGoAndBeReplacedAndWakesTheLoop) {
  TempDir dir;
  const fs::path ports = fs::path(dir.Path()) / "ports";
  fs::create_directories(ports);
  ScopedEnv env({{"ZEVUVURI_PORT_DIR", ports.string()}});
  const fs::path board_a = fs::path(dir.Path()) / "a", board_b = fs::path(dir.Path()) / "b";
  WriteFile(board_a, "");
  WriteFile(board_b, "");
  const fs::path by_id = fs::path(dir.Path()) / "serial/by-id/usb-board";  // its folder is not there yet
  Wakes wakes;
  PlugWatcher watcher({"1", by_id.string()}, [&] { wakes.Wake(); });
  EXPECT_FALSE(watcher.Look(0)) << "no link: /dev/ttyS0 is no unit";
  EXPECT_FALSE(watcher.Look(1));
  EXPECT_TRUE(PlugWatcher::Watchable("1"));
  EXPECT_FALSE(PlugWatcher::Watchable("abc"));

  fs::create_symlink(board_a, ports / "com1");
  const auto first = watcher.Look(0);
  ASSERT_TRUE(first);
  EXPECT_TRUE(first->accessible);
  EXPECT_EQ(watcher.Look(0)->mark, first->mark) << "the same board";
  fs::remove(ports / "com1");
  fs::create_symlink(board_b, ports / "com1");
  ASSERT_TRUE(watcher.Look(0));
  EXPECT_NE(watcher.Look(0)->mark, first->mark) << "another board, plugged between two looks";
  fs::remove(board_b);
  EXPECT_FALSE(watcher.Look(0)) << "a link to nothing";

  // The by-id folder comes with the first USB board; its link appears while
  // the loop waits.
  fs::create_directories(by_id.parent_path());
  EXPECT_FALSE(watcher.Look(1));
  for (int i = 0; i < 3; ++i) wakes.Wait(std::chrono::milliseconds{50});  // earlier changes
  std::atomic<std::chrono::steady_clock::time_point> plugged{};
  std::thread plug([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds{300});
    fs::create_symlink(board_a, by_id);
    plugged = std::chrono::steady_clock::now();
  });
  const auto waiting = std::chrono::steady_clock::now();
  bool seen = false;
  while (!seen && std::chrono::steady_clock::now() - waiting < std::chrono::seconds{20}) {
    wakes.Wait(std::chrono::seconds{5});  // no poll: only the watch can end it early
    seen = watcher.Look(1).has_value();
  }
  const auto seen_at = std::chrono::steady_clock::now();
  plug.join();
  EXPECT_TRUE(seen);
  // Timed from the plug, not from the thread's start: a busy machine may run
  // the plug late, but the watch must then end the 5 s wait at once.
  EXPECT_LT(seen_at - plugged.load(), std::chrono::milliseconds{2500}) << "seen at once, not at the wait's end";
}

// The unit is the device at the end of the link: the link made anew to it,
// touched or given its owner again while the board stays is the same unit;
// a board plugged again between two looks is a new one, even on a
// pseudo-terminal that comes back with the same number and inode.
TEST(PlugWatcherTest, AUnitIsTheDeviceNotTheLinkToIt) {
  TempDir dir;
  const fs::path ports = fs::path(dir.Path()) / "ports";
  fs::create_directories(ports);
  ScopedEnv env({{"ZEVUVURI_PORT_DIR", ports.string()}});
  auto board = std::make_unique<testing::PseudoTerminal>();
  auto relink = [&] {  // ln -s DEV com2.new && mv com2.new com2
    fs::create_symlink(board->SlavePath(), ports / "com2.new");
    fs::rename(ports / "com2.new", ports / "com2");
  };
  relink();
  PlugWatcher watcher({"2"}, [] {});
  const auto first = watcher.Look(0);
  ASSERT_TRUE(first);
  relink();
  const std::string link = (ports / "com2").string();
  const timespec now[2] = {{0, UTIME_NOW}, {0, UTIME_NOW}};
  ASSERT_EQ(::utimensat(AT_FDCWD, link.c_str(), now, AT_SYMLINK_NOFOLLOW), 0);  // touch -h
  ASSERT_EQ(::lchown(link.c_str(), ::getuid(), ::getgid()), 0);                 // chown -h
  std::this_thread::sleep_for(std::chrono::milliseconds{100});                 // the watch has seen it all
  ASSERT_TRUE(watcher.Look(0));
  EXPECT_EQ(watcher.Look(0)->mark, first->mark) << "the board stayed";

  board.reset();
  board = std::make_unique<testing::PseudoTerminal>();
  relink();
  bool new_unit = false;
  for (int i = 0; i < 200 && !new_unit; ++i) {
    const auto look = watcher.Look(0);
    new_unit = look && look->mark != first->mark;
    if (!new_unit) std::this_thread::sleep_for(std::chrono::milliseconds{10});
  }
  EXPECT_TRUE(new_unit) << "another board on " << board->SlavePath();
}

// A scan as the station takes it, or why it is refused.
struct ScanCase {
  std::string name;
  std::string line;
  std::string serial;  // empty: refused
  std::string why;
};

class SerialScanTest : public ::testing::TestWithParam<ScanCase> {};

constexpr const char* kFormat = "the scan holds invisible format characters (direction or zero-width marks)";

TEST_P(SerialScanTest, TakesPrintableUtf8AndRefusesTheRest) {
  std::string why;
  const auto serial = SerialFromScan(GetParam().line, &why);
  EXPECT_EQ(serial.value_or(""), GetParam().serial);
  EXPECT_EQ(why, GetParam().why);
}

INSTANTIATE_TEST_SUITE_P(
    Scans, SerialScanTest,
    ::testing::Values(
        ScanCase{"Plain", "SN-0001", "SN-0001", ""}, ScanCase{"CarriageReturnDropped", "SN 0001/B\r", "SN 0001/B", ""},
        ScanCase{"Utf8", "Gr\xc3\xbc\xc3\x9f" "e \xe2\x82\xac", "Gr\xc3\xbc\xc3\x9f" "e \xe2\x82\xac", ""},
        ScanCase{"Longest", std::string(255, '7'), std::string(255, '7'), ""},
        ScanCase{"Empty", "", "", "the scan is empty"}, ScanCase{"OnlyCarriageReturn", "\r", "", "the scan is empty"},
        ScanCase{"BlanksTrimmed", " \tSN-0001 \t\r", "SN-0001", ""},
        ScanCase{"InnerSpaceKept", "SN 0001", "SN 0001", ""},
        ScanCase{"OnlyBlanks", "  \t ", "", "the scan is empty"},
        ScanCase{"Tab", "SN\t1", "", "the scan holds control characters"},
        ScanCase{"InnerCarriageReturn", "SN\r1", "", "the scan holds control characters"},
        ScanCase{"Nul", std::string("SN\0" "1", 4), "", "the scan holds control characters"},
        ScanCase{"Delete", "SN\x7f", "", "the scan holds control characters"},
        ScanCase{"Escape", "\x1b[2JSN", "", "the scan holds control characters"},
        ScanCase{"C1Control", "SN\xc2\x85", "", "the scan holds control characters"},
        ScanCase{"LastC1Control", "SN\xc2\x9f", "", "the scan holds control characters"},
        ScanCase{"FirstAfterC1", "SN\xc2\xa0", "SN\xc2\xa0", ""},
        ScanCase{"RightToLeftOverride", "SN-\xe2\x80\xae" "1000", "", kFormat},
        ScanCase{"RightToLeftMark", "SN\xe2\x80\x8f", "", kFormat},
        ScanCase{"ArabicLetterMark", "SN\xd8\x9c", "", kFormat},
        ScanCase{"ZeroWidthSpace", "SN\xe2\x80\x8b" "01", "", kFormat},
        ScanCase{"LeftToRightIsolate", "\xe2\x81\xa6SN", "", kFormat},
        ScanCase{"ByteOrderMark", "\xef\xbb\xbfSN", "", kFormat},
        ScanCase{"TagCharacter", "SN\xf3\xa0\x80\x81", "", kFormat},
        ScanCase{"EnDashIsText", "SN\xe2\x80\x93" "1", "SN\xe2\x80\x93" "1", ""},
        ScanCase{"NotUtf8", "SN\xff", "", "the scan is not UTF-8 text"},
        ScanCase{"CutSequence", "SN\xc3", "", "the scan is not UTF-8 text"},
        ScanCase{"Surrogate", "SN\xed\xa0\x80", "", "the scan is not UTF-8 text"},
        ScanCase{"TooLong", std::string(256, '7'), "", "the scan is longer than 255 bytes"}),
    [](const auto& info) { return info.param.name; });

// The model as the window drives it: every call on one thread, a pass when
// woken or when NextPassIn has passed, the slots drawn from their snapshots.
class ModelTest : public ::testing::Test, public StationObserver {
 protected:
  struct Seen {
    SlotEvent event;
    SlotSnapshot slot;
  };

  void SlotChanged(std::size_t, const SlotSnapshot& now, SlotEvent event) override { seen_.push_back({event, now}); }
  void Note(const std::string& text) override { notes_.push_back(text); }
  void RecordsLine(const std::string&) override {}
  void TotalsChanged(const StationTotals& totals) override { totals_ = totals; }

  std::string StartModule(int com, std::vector<std::string> args) {
    std::vector<std::string> argv = {ZEVUVURI_SIM_PATH, "--com", std::to_string(com), "--timeout", "60"};
    argv.insert(argv.end(), args.begin(), args.end());
    modules_.push_back(std::make_unique<ChildProcess>(argv, env_));
    const auto device = modules_.back()->ReadLine(std::chrono::seconds{10});
    EXPECT_TRUE(device) << "the simulator did not start";
    return device.value_or("");
  }
  std::string Firmware(std::size_t size) {
    const std::string path = dir_.Path() + "/fw.bin";
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>(i * 7);
    WriteFile(path, bytes);
    return path;
  }
  StationSettings Settings(std::vector<std::string> ports, NextUnit next, const std::string& firmware) {
    StationSettings s;
    s.ports = std::move(ports);
    s.next = next;
    s.firmware = firmware;
    s.pacing = Pacing::Fast;
    return s;
  }
  // Passes until `until` holds or `limit` has passed; `lines` go with the first.
  bool Drive(StationModel& model, const std::function<bool()>& until, std::chrono::seconds limit,
             std::vector<std::string> lines = {}) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!until()) {
      if (std::chrono::steady_clock::now() > end) return false;
      model.Pass(lines);
      lines.clear();
      wakes_.Wait(model.NextPassIn());
    }
    return true;
  }
  std::vector<Seen> Of(unsigned unit) const {
    std::vector<Seen> of;
    for (const auto& s : seen_) {
      if (s.slot.unit == unit) of.push_back(s);
    }
    return of;
  }

  TempDir dir_;
  std::map<std::string, std::string> env_{{"ZEVUVURI_PORT_DIR", dir_.Path() + "/ports"}};
  ScopedEnv scoped_env_{env_};
  std::vector<std::unique_ptr<ChildProcess>> modules_;
  Wakes wakes_;
  std::vector<Seen> seen_;
  std::vector<std::string> notes_;
  StationTotals totals_;
};

// Two boards plugged in turn, the second refusing a data frame: what the
// window's row shows of each (the progress that only grows, the result
// field green then red with its text, the unit to remove, the empty slot
// between), the totals, and the run's status.
TEST_F(ModelTest, EachUnitsRowShowsItsProgressAndResultAndTheTotalsFollow) {
  const std::string fw = Firmware(6000);
  StartModule(1, {"--units", "2", "--plug-gap-ms", "200", "--board", "2:--refuse-data 3"});
  auto settings = Settings({"1"}, NextUnit::Plug, fw);
  settings.units = 2;
  StationModel model(settings, *this, [this] { wakes_.Wake(); });
  std::string why;
  ASSERT_EQ(model.Open(&why), 0) << why;
  EXPECT_EQ(model.Slot(0).text, "waiting for a unit");
  ASSERT_TRUE(Drive(model, [&] { return model.Done(); }, std::chrono::seconds{60}));

  for (const unsigned unit : {1u, 2u}) {
    SCOPED_TRACE("unit " + std::to_string(unit));
    const auto of = Of(unit);
    ASSERT_GE(of.size(), 3u);
    EXPECT_EQ(of.front().event, SlotEvent::Started);
    EXPECT_EQ(of.front().slot.percent, -1);
    EXPECT_EQ(of.front().slot.result, ResultKind::None);
    int percent = -1;
    for (const auto& s : of) {
      if (s.event != SlotEvent::Progress) continue;
      EXPECT_EQ(s.slot.phase, SlotPhase::Upgrading);
      EXPECT_EQ(s.slot.result, ResultKind::None) << "no colour while the unit runs";
      EXPECT_GE(s.slot.percent, percent) << "the bar only grows";
      EXPECT_LE(s.slot.percent, 100);
      percent = s.slot.percent;
    }
    const auto ended = std::find_if(of.begin(), of.end(), [](const Seen& s) { return s.event == SlotEvent::Ended; });
    ASSERT_NE(ended, of.end());
    ASSERT_EQ(of.back().event, SlotEvent::Leaving);
    EXPECT_EQ(of.back().slot.phase, SlotPhase::Leaving);
    if (unit == 1) {
      EXPECT_EQ(ended->slot.result, ResultKind::Ok);
      EXPECT_EQ(ended->slot.result_text, "Upgrade OK");
      EXPECT_EQ(ended->slot.percent, 100);
      EXPECT_EQ(of.back().slot.text, "Upgrade OK, remove the unit");
    } else {
      EXPECT_EQ(ended->slot.result, ResultKind::Failed);
      EXPECT_EQ(ended->slot.result_text, "Write Error");
      EXPECT_LT(ended->slot.percent, 100);
      EXPECT_EQ(of.back().slot.result, ResultKind::Failed) << "kept while the unit leaves";
    }
  }
  // Between the two the board went: the row waited with no unit, the first
  // unit's result still on it until the second started.
  const auto gone = std::find_if(seen_.begin(), seen_.end(), [](const Seen& s) {
    return s.event == SlotEvent::Waiting && !s.slot.unit && s.slot.result == ResultKind::Ok &&
           s.slot.result_text == "Upgrade OK" && s.slot.text == "waiting for a unit";
  });
  EXPECT_NE(gone, seen_.end());
  EXPECT_EQ(totals_.units, 2u);
  EXPECT_EQ(totals_.ok, 1u);
  EXPECT_EQ(totals_.failures, (std::vector<std::pair<std::string, unsigned>>{{"Write Error", 1}}));
  EXPECT_EQ(model.UnitsRunning(), 0u);
  model.Finish();
  EXPECT_EQ(model.ExitStatus(), 6);
}

// A station that cannot open names the setting at fault as the front end
// names it: the command line's options unless it gives its own names.
TEST_F(ModelTest, AStationThatCannotOpenNamesTheSettingInTheFrontEndsWords) {
  auto plug = Settings({"not-a-port"}, NextUnit::Plug, "fw.bin");
  auto journal = Settings({"1"}, NextUnit::Enter, "fw.bin");
  journal.report = dir_.Path() + "/missing/folder/units.jsonl";
  std::string why;
  EXPECT_EQ(StationModel(plug, *this, [] {}).Open(&why), 2);
  EXPECT_EQ(why, "--port not-a-port: no unit can be plugged there (give a COM number or a device path, or use "
                 "--next enter)");
  EXPECT_EQ(StationModel(journal, *this, [] {}).Open(&why), 11);
  EXPECT_EQ(why.rfind("--report: ", 0), 0u) << why;

  plug.names.port = "Slot";
  plug.names.next_enter = "the fixture mode";
  journal.names.report = "Journal";
  EXPECT_EQ(StationModel(plug, *this, [] {}).Open(&why), 2);
  EXPECT_EQ(why, "Slot not-a-port: no unit can be plugged there (give a COM number or a device path, or use "
                 "the fixture mode)");
  EXPECT_EQ(StationModel(journal, *this, [] {}).Open(&why), 11);
  EXPECT_EQ(why.rfind("Journal: ", 0), 0u) << why;
}

// The window closed while a unit waits for its confirmation over the air:
// the row says the start key would confirm it, Stop ends it at once as
// interrupted, and the port is free for anyone the moment Stop returns,
// though the model lives on.
TEST_F(ModelTest, StopEndsTheUnitAndFreesItsPortAtOnce) {
  const std::string fw = Firmware(2000);
  StartModule(2, {"--mode", "air"});
  StationModel model(Settings({"2"}, NextUnit::Enter, fw), *this, [this] { wakes_.Wake(); });
  std::string why;
  ASSERT_EQ(model.Open(&why), 0) << why;
  EXPECT_EQ(model.Slot(0).text, "waiting for Enter");
  ASSERT_TRUE(Drive(model, [&] { return model.Slot(0).awaiting_confirm; }, std::chrono::seconds{20}, {""}))
      << model.Slot(0).text;
  EXPECT_EQ(model.Slot(0).phase, SlotPhase::Upgrading);
  EXPECT_EQ(model.UnitsRunning(), 1u);
  EXPECT_NE(std::find(notes_.begin(), notes_.end(), "over the air: press Enter to start the upgrade (or run with --yes)"),
            notes_.end())
      << "the command line's words by default";
  PortOpenError error;
  EXPECT_FALSE(SerialPort::Open("2", &error)) << "the unit holds its port";

  model.Stop();
  EXPECT_TRUE(SerialPort::Open("2", &error)) << "the port was not freed";
  EXPECT_EQ(model.UnitsRunning(), 0u);
  EXPECT_TRUE(model.Done());
  EXPECT_EQ(model.Slot(0).result, ResultKind::Failed);
  EXPECT_EQ(model.Slot(0).result_text, "interrupted");
  EXPECT_FALSE(model.Slot(0).awaiting_confirm);
  EXPECT_EQ(totals_.failures, (std::vector<std::pair<std::string, unsigned>>{{"interrupted", 1}}));
  model.Finish();
  EXPECT_EQ(model.ExitStatus(), 130);
}

// Enter on a slot whose port fails at once, as a held key or a bouncing foot
// switch gives it: within the guard more presses start nothing there. With no
// guard, no press starts anything while the station is held; released, the
// next press does.
TEST_F(ModelTest, PressesWithinTheGuardOrWhileHeldStartNothing) {
  for (const bool guarded : {true, false}) {
    SCOPED_TRACE(guarded ? "guarded" : "held");
    seen_.clear();
    totals_ = {};
    auto settings = Settings({"9"}, NextUnit::Enter, Firmware(100));  // no such port
    // Longer than any test runs: the presses are always within it.
    if (guarded) settings.start_guard = std::chrono::minutes{10};
    StationModel model(settings, *this, [this] { wakes_.Wake(); });
    std::string why;
    ASSERT_EQ(model.Open(&why), 0) << why;
    if (!guarded) model.Hold(true);
    EXPECT_EQ(model.Held(), !guarded);
    model.Pass({""});
    Drive(model, [&] { return totals_.units == 1; }, std::chrono::seconds{guarded ? 20 : 1});
    model.Pass({""});
    model.Pass({"", ""});
    if (guarded) {
      EXPECT_EQ(totals_.units, 1u) << "a press within the guard started a unit";
      EXPECT_TRUE(Of(2).empty());
      model.Finish();
      EXPECT_EQ(model.ExitStatus(), 3) << "the port that did not open";
      continue;
    }
    EXPECT_EQ(totals_.units, 0u) << "a press while held started a unit";
    EXPECT_TRUE(Of(1).empty());
    model.Hold(false);
    model.Pass({""});
    ASSERT_TRUE(Drive(model, [&] { return totals_.units == 1; }, std::chrono::seconds{20})) << model.Slot(0).text;
    EXPECT_EQ(Of(1).front().event, SlotEvent::Started);
    EXPECT_TRUE(Of(2).empty()) << "one press, one unit";
  }
}

// A board plugged while the station is held waits, however long, and is
// upgraded once released; a scan that comes meanwhile is said to be dropped.
TEST_F(ModelTest, APlugWhileHeldWaitsForTheRelease) {
  const std::string fw = Firmware(1000);
  StartModule(4, {"--units", "1", "--plug-gap-ms", "100", "--expect", fw});
  auto settings = Settings({"4"}, NextUnit::Plug, fw);
  settings.units = 1;
  StationModel model(settings, *this, [this] { wakes_.Wake(); });
  std::string why;
  ASSERT_EQ(model.Open(&why), 0) << why;
  model.Hold(true);
  // The board is there within the simulator's start; passes for a while
  // longer than the plug look and the settling take.
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds{2500};
  while (std::chrono::steady_clock::now() < until) {
    model.Pass({});
    wakes_.Wait(model.NextPassIn());
  }
  EXPECT_EQ(model.UnitsRunning(), 0u);
  EXPECT_TRUE(Of(1).empty()) << "a unit started while held";
  EXPECT_EQ(model.Slot(0).phase, SlotPhase::Waiting);
  model.Hold(false);
  ASSERT_TRUE(Drive(model, [&] { return model.Done(); }, std::chrono::seconds{60})) << model.Slot(0).text;
  EXPECT_EQ(totals_.ok, 1u);
  model.Finish();
  EXPECT_EQ(model.ExitStatus(), 0);
  EXPECT_EQ(modules_.back()->Wait(std::chrono::seconds{30}), 0) << modules_.back()->Stderr();
}

TEST_F(ModelTest, AScanWhileHeldIsSaidToBeDropped) {
  StationModel model(Settings({"9"}, NextUnit::Scan, Firmware(100)), *this, [this] { wakes_.Wake(); });
  std::string why;
  ASSERT_EQ(model.Open(&why), 0) << why;
  model.Hold(true);
  model.Pass({"SN-7"});
  EXPECT_TRUE(Of(1).empty());
  ASSERT_FALSE(notes_.empty());
  EXPECT_EQ(notes_.back(), "scan SN-7 dropped: no unit starts while the station is held");
  model.Hold(false);
  model.Pass({"SN-8"});
  ASSERT_FALSE(Of(1).empty());
  EXPECT_EQ(Of(1).front().slot.serial, "SN-8");
}

}  // namespace
}  // namespace zevuvuri::station
