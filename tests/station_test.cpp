// The station's own pieces without a front end: the shift's tally, what
// sysfs says about a device, the plug watch, the scans, and the model driven
// as the window drives it.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <mutex>
#include <numeric>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "station/plug_watcher.h"
#include "station/serial_device_info.h"
#include "station/serial_scan.h"
#include "station/station_tally.h"
#include "tests/support/fake_station.h"
#include "tests/support/pseudo_terminal.h"

namespace zevuvuri::station {
namespace {

namespace fs = std::filesystem;
using testing::FakeStation;
using testing::TempDir;
using testing::WriteFile;

class ScopedEnv {
 public:
  explicit ScopedEnv(const std::map<std::string, std::string>& env) {
    for (const auto& [k, v] : env) {
      ::setenv(k.c_str(), v.c_str(), 1);
      names_.push_back(k);
    }
  }
  ~ScopedEnv() {
    for (const auto& k : names_) ::unsetenv(k.c_str());
  }

 private:
  std::vector<std::string> names_;
};

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
  EXPECT_EQ(StationTally::Line(tally.Totals(StationTally::Clock::now())), "0 units, 0 OK, 0 failed, yield 0.0 %");
  tally.Began(t0);
  tally.Ended("1", true, "Upgrade OK", 14.25);
  tally.Ended("1", false, "Write Error", 3.0);
  EXPECT_EQ(StationTally::Line(tally.Totals(t0 + std::chrono::minutes{1})),
            "2 units, 1 OK, 1 failed (Write Error 1), yield 50.0 %, 120.0 units/h, mean 14.2 s, p95 14.2 s");
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
  std::thread plug([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds{300});
    fs::create_symlink(board_a, by_id);
  });
  const auto waiting = std::chrono::steady_clock::now();
  bool seen = false;
  while (!seen && std::chrono::steady_clock::now() - waiting < std::chrono::seconds{5}) {
    wakes.Wait(std::chrono::seconds{5});  // no poll: only the watch can end it early
    seen = watcher.Look(1).has_value();
  }
  const auto waited = std::chrono::steady_clock::now() - waiting;
  plug.join();
  EXPECT_TRUE(seen);
  EXPECT_LT(waited, std::chrono::milliseconds{800}) << "plugged after 300 ms, seen at once";
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
        ScanCase{"Tab", "SN\t1", "", "the scan holds control characters"},
        ScanCase{"InnerCarriageReturn", "SN\r1", "", "the scan holds control characters"},
        ScanCase{"Nul", std::string("SN\0" "1", 4), "", "the scan holds control characters"},
        ScanCase{"Delete", "SN\x7f", "", "the scan holds control characters"},
        ScanCase{"Escape", "\x1b[2JSN", "", "the scan holds control characters"},
        ScanCase{"C1Control", "SN\xc2\x85", "", "the scan holds control characters"},
        ScanCase{"NotUtf8", "SN\xff", "", "the scan is not UTF-8 text"},
        ScanCase{"CutSequence", "SN\xc3", "", "the scan is not UTF-8 text"},
        ScanCase{"Surrogate", "SN\xed\xa0\x80", "", "the scan is not UTF-8 text"},
        ScanCase{"TooLong", std::string(256, '7'), "", "the scan is longer than 255 bytes"}),
    [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace zevuvuri::station
