// Upgrades through the real Qt window against the simulated module on a
// pseudo-terminal: what the status line, the button and the progress bar show
// along the way, closing mid-upgrade, and production mode, in process and as
// the real binary.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <QContextMenuEvent>
#include <QInputDialog>
#include <QLabel>
#include <QMenu>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <filesystem>
#include <fstream>
#include <optional>
#include <thread>

#include "tests/support/child_process.h"
#include "tests/support/fake_station.h"
#include "tests/support/postgres_server.h"
#include "tests/support/pseudo_terminal.h"
#include "tests/ui/qt_test_support.h"
#include "ui/qt/about_box.h"
#include "ui/qt/main_window.h"
#include "ui/qt/station_window.h"

namespace zevuvuri::ui::qt {
namespace {

using ui::testing::Control;
using ui::testing::ShowActive;
using ui::testing::WaitFor;
using ui::testing::WhenModal;
using ui::testing::WhenPopup;
using zevuvuri::testing::ChildProcess;
using zevuvuri::testing::ReadFile;
using zevuvuri::testing::TempDir;
using namespace std::chrono_literals;

// Whether this process (or the one of `pid`) still has the device open.
bool HoldsDevice(const std::string& device, const std::string& pid = "self") {
  std::error_code ec;
  const auto target = std::filesystem::canonical(device, ec);
  for (const auto& fd : std::filesystem::directory_iterator("/proc/" + pid + "/fd", ec)) {
    std::error_code link_ec;
    if (std::filesystem::read_symlink(fd.path(), link_ec) == target) return true;
  }
  return false;
}

class QtUpgradeTest : public ::testing::Test {
 protected:
  void SetUp() override { ::setenv("ZEVUVURI_PORT_DIR", PortDir().c_str(), 1); }
  void TearDown() override { ::unsetenv("ZEVUVURI_PORT_DIR"); }

  std::string PortDir() const { return dir_.Path() + "/ports"; }

  // The simulated module as COM port 1.
  void StartModule(std::vector<std::string> args) {
    std::vector<std::string> argv = {ZEVUVURI_SIM_PATH, "--com", "1", "--timeout", "90"};
    argv.insert(argv.end(), args.begin(), args.end());
    module_ = std::make_unique<ChildProcess>(argv, std::map<std::string, std::string>{{"ZEVUVURI_PORT_DIR", PortDir()}});
    const auto device = module_->ReadLine(10s);
    ASSERT_TRUE(device) << "the simulator did not start";
    device_ = *device;
  }
  int ModuleStatus() {
    const auto status = module_->Wait(30s);
    EXPECT_TRUE(status) << "the simulator did not end";
    return status.value_or(-1);
  }
  std::string Firmware(std::size_t size, const std::string& name = "fw.bin") {
    const std::string path = dir_.Path() + "/" + name;
    std::ofstream out(path, std::ios::binary);
    for (std::size_t i = 0; i < size; ++i) out.put(static_cast<char>((i * 37 + 11) & 0xFF));
    return path;
  }

  // An ordinary window on COM port 1 with `firmware` typed into the file name field.
  std::unique_ptr<QtMainWindow> OpenWindow(const std::string& firmware, const std::string& settings = "") {
    auto window = std::make_unique<QtMainWindow>(SettingsFile::Parse(settings));
    window->show();
    Control<QLineEdit>(*window, id::kFileName)->setText(QString::fromStdString(firmware));
    return window;
  }

  QString Status(QWidget& w) { return Control<QLabel>(w, id::kStatusLine)->text(); }
  QPushButton* Button(QWidget& w) { return Control<QPushButton>(w, id::kAcquire); }
  QProgressBar* Bar(QWidget& w) { return Control<QProgressBar>(w, id::kProgress); }

  // Waits for `done`, noting every status text the window shows meanwhile.
  bool Watch(QWidget& w, const std::function<bool()>& done, std::chrono::milliseconds limit = 60s) {
    return WaitFor(
        [&] {
          const QString now = Status(w);
          if (seen_.empty() || seen_.back() != now) seen_.push_back(now);
          return done();
        },
        limit);
  }
  bool WatchFor(QWidget& w, const char* status, std::chrono::milliseconds limit = 60s) {
    return Watch(w, [&] { return Status(w) == QString::fromLatin1(status); }, limit);
  }
  // The statuses seen were `expected` in its order, some perhaps too brief to see.
  void ExpectSeenInOrder(const std::vector<const char*>& expected) {
    std::size_t next = 0;
    for (const QString& s : seen_) {
      while (next < expected.size() && s != QString::fromLatin1(expected[next])) ++next;
      EXPECT_LT(next, expected.size()) << "unexpected or out of order: " << s.toStdString();
    }
  }

  TempDir dir_;
  std::unique_ptr<ChildProcess> module_;
  std::string device_;
  std::vector<QString> seen_;
};

// In both pacings ("Pacing=fast" in loader.cfg): the window shows the same.
class QtPacedUpgradeTest : public QtUpgradeTest, public ::testing::WithParamInterface<std::string> {};

TEST_P(QtPacedUpgradeTest, SerialUpgradeShowsItsProgressAndTheModuleGetsTheFileWhole) {
  const std::string firmware = Firmware(3000);
  const std::string saved = dir_.Path() + "/received.bin";
  StartModule({"--expect", firmware, "--save", saved, "--wire-baud", "115200"});
  auto window = OpenWindow(firmware, "[CONFIG]\nPacing=" + GetParam() + "\n");
  EXPECT_EQ(window->Session().GetPacing(), GetParam() == "fast" ? Pacing::Fast : Pacing::Classic);
  QtMainWindow& w = *window;

  Button(w)->click();
  // Start reports before the click returns; the worker's calls follow.
  EXPECT_EQ(Status(w), QStringLiteral("Running"));
  EXPECT_EQ(Button(w)->text(), QStringLiteral("Click to Start"));

  ASSERT_TRUE(WatchFor(w, "Upgrading over serial port"));
  EXPECT_FALSE(Button(w)->isEnabled());
  EXPECT_EQ(Button(w)->text(), QStringLiteral("Click to Start"));
  EXPECT_EQ(Bar(w)->maximum(), 1500);  // half the file size
  EXPECT_TRUE(Watch(w, [&] { return Bar(w)->value() > 0 && Bar(w)->value() < 1500; })) << "the bar never moved";

  ASSERT_TRUE(WatchFor(w, "Upgrade OK"));
  // The ending's own calls come after the status.
  ASSERT_TRUE(Watch(w, [&] { return Button(w)->isEnabled(); }));
  EXPECT_EQ(Button(w)->text(), QStringLiteral("Acquire"));
  EXPECT_EQ(Bar(w)->value(), 1500);  // full, the last positions having passed the maximum
  ExpectSeenInOrder({"Running", "Synchronising...", "Acquiring...", "Upgrading over serial port", "Upgrade OK"});

  EXPECT_EQ(ModuleStatus(), 0) << module_->Stderr();
  EXPECT_EQ(ReadFile(saved), ReadFile(firmware));
}

INSTANTIATE_TEST_SUITE_P(BothPacings, QtPacedUpgradeTest, ::testing::Values("classic", "fast"),
                         [](const ::testing::TestParamInfo<std::string>& pacing) { return pacing.param; });

// Synchronisation has no time limit in the window: only seeing the device
// gone ends it, and the port must be let go so that the adapter, plugged in
// again, gets its old name.
TEST_F(QtUpgradeTest, APulledAdapterEndsTheUpgradeAtOnceAndFreesThePort) {
  StartModule({"--vanish", "sync"});
  auto window = OpenWindow(Firmware(300));
  QtMainWindow& w = *window;
  Button(w)->click();
  ASSERT_TRUE(Watch(w, [&] { return Status(w) == QStringLiteral("Failure : COM port lost") && Button(w)->isEnabled(); },
                    5s));
  EXPECT_EQ(Button(w)->text(), QStringLiteral("Acquire"));
  EXPECT_FALSE(HoldsDevice(device_));
  EXPECT_EQ(module_->Wait(10s), 4) << "the simulator vanished as asked";
}

TEST_F(QtUpgradeTest, OverTheAirWaitsForTheButtonThenUpgrades) {
  const std::string firmware = Firmware(600);
  StartModule({"--mode", "air", "--expect", firmware});
  auto window = OpenWindow(firmware);
  QtMainWindow& w = *window;

  Button(w)->click();
  ASSERT_TRUE(Watch(w, [&] { return Status(w) == QStringLiteral("Acquiring...") && Button(w)->isEnabled(); }));
  EXPECT_EQ(Button(w)->text(), QStringLiteral("Click to Start"));

  QTest::mouseClick(Button(w), Qt::LeftButton);  // the operator's confirm
  EXPECT_FALSE(Button(w)->isEnabled());
  EXPECT_EQ(Button(w)->text(), QStringLiteral("Acquire"));
  ASSERT_TRUE(WatchFor(w, "Upgrade OK"));
  ASSERT_TRUE(Watch(w, [&] { return Button(w)->isEnabled(); }));
  ExpectSeenInOrder({"Running", "Synchronising...", "Acquiring...", "Upgrading over the air", "Upgrade OK"});
  EXPECT_NE(std::find(seen_.begin(), seen_.end(), QStringLiteral("Upgrading over the air")), seen_.end());
  EXPECT_EQ(ModuleStatus(), 0) << module_->Stderr();
}

TEST_F(QtUpgradeTest, AFailureLeavesTheWindowReadyForAnUpgradeThatWorks) {
  const std::string firmware = Firmware(1000);
  StartModule({"--refuse-data", "3", "--expect", firmware});
  auto window = OpenWindow(firmware);
  QtMainWindow& w = *window;

  Button(w)->click();
  ASSERT_TRUE(WatchFor(w, "Write Error"));
  ASSERT_TRUE(Watch(w, [&] { return Button(w)->isEnabled(); }));
  EXPECT_EQ(Button(w)->text(), QStringLiteral("Acquire"));
  EXPECT_FALSE(HoldsDevice(device_)) << "the port stays open after the failure";

  Button(w)->click();  // faults apply to the first session only
  ASSERT_TRUE(WatchFor(w, "Upgrade OK"));
  EXPECT_EQ(ModuleStatus(), 0) << module_->Stderr();
}

TEST_F(QtUpgradeTest, SinkCallsTakeEffectWhileTheAboutBoxIsOpen) {
  const std::string firmware = Firmware(300);
  StartModule({"--expect", firmware});
  auto window = OpenWindow(firmware);
  QtMainWindow& w = *window;
  w.activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(&w));

  Button(w)->click();
  bool finished_under_the_box = false;
  WhenModal<QtAboutBox>([&](QtAboutBox* box) {
    finished_under_the_box =
        Watch(w, [&] { return Status(w) == QStringLiteral("Upgrade OK") && Button(w)->isEnabled(); });
    box->reject();
  });
  QTest::keyClick(&w, Qt::Key_F1);
  EXPECT_TRUE(finished_under_the_box);
  EXPECT_EQ(ModuleStatus(), 0) << module_->Stderr();
}

// An operator who drives the window with the keyboard alone: Space and Enter
// on the focused Acquire button start, confirm and start again, and keys
// typed while the button is disabled reach no field.
TEST_F(QtUpgradeTest, FocusStaysOnAcquireSoTheKeyboardDrivesEveryUpgrade) {
  struct Case {
    const char* what;
    bool over_the_air;
    bool production;  // the first upgrade fails and Enter retries it
  };
  const Case cases[] = {
      {"serial", false, false},
      {"over the air", true, false},
      {"production mode, serial", false, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string firmware = Firmware(600);
    std::vector<std::string> module = {"--expect", firmware, "--type", "0"};
    if (c.over_the_air) module.insert(module.end(), {"--mode", "air"});
    if (c.production) {
      module.insert(module.end(), {"--refuse-data", "2"});
    } else {
      module.insert(module.end(), {"--upgrades", "2"});
    }
    StartModule(module);
    std::unique_ptr<QtMainWindow> window;
    if (c.production) {
      window = std::make_unique<QtMainWindow>(
          SettingsFile::Parse("[CONFIG]\nProdmode=1\nComport=1\nFirmware=" + firmware + "\n"));
    } else {
      window = OpenWindow(firmware);
    }
    QtMainWindow& w = *window;
    ASSERT_TRUE(ShowActive(w));
    auto* port = Control<QLineEdit>(w, id::kComPort);
    const QWidget* fields[] = {port, Control<QWidget>(w, id::kType), Control<QWidget>(w, id::kFileName),
                               Control<QWidget>(w, id::kProductList)};
    // The keys go where the platform sends them: to the focused widget.
    const auto key = [](Qt::Key k) { QTest::keyClick(static_cast<QWidget*>(nullptr), k); };
    const auto focus_in_a_field = [&] {
      return std::find(std::begin(fields), std::end(fields), QApplication::focusWidget()) != std::end(fields);
    };

    // One upgrade from a key press on the button to its end, with keys typed
    // at the disabled button along the way.
    const auto run = [&](std::optional<Qt::Key> press, const char* ending) {
      if (press) {
        ASSERT_EQ(QApplication::focusWidget(), Button(w)) << "Acquire lacks the focus before the press";
        key(*press);
      }
      bool typed = false, field_focused = false, confirmed = false;
      ASSERT_TRUE(Watch(w, [&] {
        if (!Button(w)->isEnabled()) {
          field_focused = field_focused || focus_in_a_field();
          if (!typed && Bar(w)->value() > 0) {
            key(Qt::Key_9);
            key(Qt::Key_Space);
            typed = true;
          }
        } else if (c.over_the_air && !confirmed && Status(w) == QStringLiteral("Acquiring...")) {
          EXPECT_EQ(QApplication::focusWidget(), Button(w)) << "Click to Start lacks the focus";
          key(Qt::Key_Return);
          confirmed = true;
        }
        return Status(w) == QString::fromLatin1(ending) && Button(w)->isEnabled();
      }));
      EXPECT_TRUE(typed);
      EXPECT_FALSE(field_focused) << "a field had the focus while Acquire was disabled";
      EXPECT_EQ(port->text(), QStringLiteral("1"));
      // A production window closes after "Upgrade OK", perhaps already.
      if (w.isVisible()) {
        EXPECT_EQ(QApplication::focusWidget(), Button(w)) << "Acquire lacks the focus after the upgrade";
      }
    };
    if (c.production) {
      run(std::nullopt, "Write Error");  // started by the window itself
      QTimer::singleShot(0, &w, [&] { run(Qt::Key_Return, "Upgrade OK"); });
      QTimer::singleShot(60s, &w, [&] { w.reject(); });
      w.exec();
      EXPECT_EQ(w.ExitStatus(), 0);
    } else {
      run(Qt::Key_Space, "Upgrade OK");
      run(Qt::Key_Return, "Upgrade OK");
    }
    EXPECT_EQ(ModuleStatus(), 0) << module_->Stderr();
    module_.reset();
    seen_.clear();
  }
}

// Closing ends the upgrade at once and releases the port, also when the
// worker is waiting for the window thread to carry out one of its calls.
TEST_F(QtUpgradeTest, ClosingMidUpgradeEndsItPromptlyAndReleasesThePort) {
  struct Case {
    const char* what;
    std::vector<std::string> module;
    const char* close_during;
  };
  const Case cases[] = {
      {"data phase, worker waiting on the window", {}, "Upgrading over serial port"},
      {"synchronising with a silent module", {"--ignore-sync", "100000"}, "Synchronising..."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    StartModule(c.module);
    auto window = OpenWindow(Firmware(60000));
    QtMainWindow& w = *window;
    Button(w)->click();
    ASSERT_TRUE(WatchFor(w, c.close_during));
    if (std::string_view(c.close_during) == "Upgrading over serial port") {
      ASSERT_TRUE(Watch(w, [&] { return Bar(w)->value() > 0; }));
      // No events are processed from here on: the worker's next call waits.
      const auto give_up = std::chrono::steady_clock::now() + 20s;
      while (w.Session().WaitingCalls() == 0 && std::chrono::steady_clock::now() < give_up) {
        std::this_thread::sleep_for(1ms);
      }
      ASSERT_GT(w.Session().WaitingCalls(), 0u);
    }
    ASSERT_TRUE(HoldsDevice(device_));

    const auto before = std::chrono::steady_clock::now();
    w.close();
    window.reset();
    const auto took = std::chrono::steady_clock::now() - before;
    EXPECT_LT(took, 1s) << std::chrono::duration_cast<std::chrono::milliseconds>(took).count() << " ms";
    EXPECT_FALSE(HoldsDevice(device_));
    module_.reset();
    seen_.clear();
  }
}

TEST_F(QtUpgradeTest, ProductionModeEndsTheWindowWithStatusZeroEvenOverTheAboutBox) {
  const std::string firmware = Firmware(500);
  StartModule({"--expect", firmware, "--type", "9"});
  QtMainWindow w(SettingsFile::Parse("[CONFIG]\nProdmode=1\nType=9\nFirmware=" + firmware + "\n"));
  // Started by the initialisation, with the fields locked.
  EXPECT_EQ(Status(w), QStringLiteral("Running"));
  EXPECT_FALSE(Control<QLineEdit>(w, id::kComPort)->isEnabled());
  EXPECT_FALSE(Control<QLineEdit>(w, id::kFileName)->isEnabled());
  EXPECT_TRUE(Control<QPushButton>(w, id::kBrowse)->isHidden());

  bool about_open = false;
  WhenModal<QtAboutBox>([&](QtAboutBox*) { about_open = true; });  // and left open
  QTimer::singleShot(0, &w, [&] {
    w.activateWindow();
    if (QTest::qWaitForWindowActive(&w)) QTest::keyClick(&w, Qt::Key_F1);
  });
  bool timed_out = false;
  QTimer::singleShot(60s, &w, [&] {
    timed_out = true;
    if (auto* modal = qobject_cast<QDialog*>(QApplication::activeModalWidget()); modal && modal != &w) modal->reject();
    w.reject();
  });
  w.exec();
  EXPECT_FALSE(timed_out);
  EXPECT_TRUE(about_open);
  EXPECT_EQ(w.ExitStatus(), 0);
  EXPECT_EQ(Status(w), QStringLiteral("Upgrade OK"));
  EXPECT_EQ(ModuleStatus(), 0) << module_->Stderr();
}

// Over the air, "Upgrade OK" is followed by the trailer and a 500 ms pause;
// an operator who closes the window with Esc meanwhile leaves a module that
// has its firmware, and the exit status says so.
TEST_F(QtUpgradeTest, ProductionClosedAfterUpgradeOkExitsZero) {
  const std::string firmware = Firmware(300);
  StartModule({"--mode", "air", "--expect", firmware, "--type", "0"});
  QtMainWindow w(SettingsFile::Parse("[CONFIG]\nProdmode=1\nFirmware=" + firmware + "\n"));
  ASSERT_TRUE(ShowActive(w));
  QTimer::singleShot(0, &w, [&] {
    if (!Watch(w, [&] { return Status(w) == QStringLiteral("Acquiring...") && Button(w)->isEnabled(); })) return;
    QTest::mouseClick(Button(w), Qt::LeftButton);
    if (!WatchFor(w, "Upgrade OK")) return;
    QTest::qWait(100);  // the trailer has gone out; the pause runs
    QTest::keyClick(static_cast<QWidget*>(nullptr), Qt::Key_Escape);
  });
  QTimer::singleShot(60s, &w, [&] { w.reject(); });
  w.exec();
  EXPECT_EQ(Status(w), QStringLiteral("Upgrade OK"));
  EXPECT_EQ(w.Finish(), 0);
  EXPECT_EQ(ModuleStatus(), 0) << module_->Stderr();
}

// From the press until the upgrade has ended, a click and keys at the COM
// port field change nothing, and the fields, Browse and the product list are
// disabled; then they are back as before the press. Production mode keeps
// its three fields locked and Browse hidden between upgrades.
TEST_F(QtUpgradeTest, TheFieldsCannotChangeUnderARunningUpgrade) {
  for (const bool production : {false, true}) {
    SCOPED_TRACE(production ? "production" : "ordinary");
    const std::string firmware = Firmware(3000);
    StartModule({"--expect", firmware, "--type", "0", "--refuse-data", "20"});  // the window stays open
    auto window = production ? std::make_unique<QtMainWindow>(SettingsFile::Parse(
                                   "[CONFIG]\nProdmode=1\nComport=1\nFirmware=" + firmware + "\n"))
                             : OpenWindow(firmware);
    QtMainWindow& w = *window;
    ASSERT_TRUE(ShowActive(w));
    if (!production) QTest::mouseClick(Button(w), Qt::LeftButton);
    auto* port = Control<QLineEdit>(w, id::kComPort);
    QTest::mouseClick(port, Qt::LeftButton);
    QTest::keyClicks(QApplication::focusWidget(), QStringLiteral("9"));
    EXPECT_EQ(port->text(), QStringLiteral("1"));
    const int fields[] = {id::kComPort, id::kType, id::kFileName, id::kBrowse, id::kProductList};
    for (const int field : fields) EXPECT_FALSE(Control<QWidget>(w, field)->isEnabled()) << field;

    // The ending's last call gives them back, just after the button's.
    ASSERT_TRUE(Watch(w, [&] {
      return Status(w) == QStringLiteral("Write Error") && Control<QWidget>(w, id::kProductList)->isEnabled();
    }));
    for (const int field : {id::kComPort, id::kType, id::kFileName}) {
      EXPECT_EQ(Control<QWidget>(w, field)->isEnabled(), !production) << field;
    }
    EXPECT_TRUE(Control<QWidget>(w, id::kBrowse)->isEnabled());
    EXPECT_EQ(Control<QWidget>(w, id::kBrowse)->isHidden(), production);
    module_.reset();
    seen_.clear();
  }
}

// The real binary, as a factory line runs it: a working directory with its
// loader.cfg, nobody at the window.
TEST_F(QtUpgradeTest, ProductionBinaryExitsZeroWithTheFirmwareDelivered) {
  const std::string firmware = Firmware(2000, "REDIDADU.bin");
  const std::string saved = dir_.Path() + "/received.bin";
  std::ofstream(dir_.Path() + "/loader.cfg") << "[CONFIG]\r\nProdmode=1\r\nType=24\r\nComport=1\r\n";
  StartModule({"--expect", firmware, "--save", saved, "--type", "24"});
  ChildProcess loader({ZEVUVURI_WINDOW_PATH},
                      {{"ZEVUVURI_PORT_DIR", PortDir()}, {"QT_QPA_PLATFORM", "offscreen"}}, dir_.Path());
  loader.CloseStdin();
  const auto status = loader.Wait(90s);
  ASSERT_TRUE(status) << "the window did not end by itself";
  EXPECT_EQ(*status, 0) << loader.Stderr();
  EXPECT_EQ(ModuleStatus(), 0) << module_->Stderr();
  EXPECT_EQ(ReadFile(saved), ReadFile(firmware));
}

// A production window on a traced line (Report=, StationName=,
// FirmwareSha256= in loader.cfg): the approved image is flashed and its
// record written to the journal; another image shows "couldn't open file"
// with both hashes in the tooltip and reaches no module; a pin that is no
// SHA-256 starts nothing and says why. Every upgrade leaves its record.
TEST_F(QtUpgradeTest, ATracedProductionWindowRecordsEachUpgradeAndFlashesOnlyThePinnedImage) {
  const std::string firmware = dir_.Path() + "/abc.bin";
  std::ofstream(firmware, std::ios::binary) << "abc";
  // SHA-256 of "abc", the standard's own test vector.
  const std::string abc = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";
  const std::string other(64, 'e');
  const std::string journal = dir_.Path() + "/journal.jsonl";
  zevuvuri::testing::PostgresServer server(ZEVUVURI_RECORDS_SCHEMA);
  ASSERT_TRUE(server.Ok()) << server.Error();
  for (const auto& [name, value] : server.OdbcEnv()) ::setenv(name.c_str(), value.c_str(), 1);
  const auto settings = [&](const std::string& pin) {
    return SettingsFile::Parse("[CONFIG]\nProdmode=1\nFirmware=" + firmware + "\nReport=" + journal +
                               "\nRecordsDb=" + server.ConnectionString() +
                               "\nStationName=line-a-3\nFirmwareSha256=" + pin + "\n");
  };
  StartModule({"--expect", firmware, "--upgrades", "1"});
  {
    QtMainWindow w(settings(abc));
    QTimer::singleShot(60s, &w, [&] { w.reject(); });
    w.exec();
    EXPECT_EQ(Status(w), QStringLiteral("Upgrade OK"));
    EXPECT_EQ(w.Finish(), 0);
  }
  EXPECT_EQ(ModuleStatus(), 0) << module_->Stderr();

  for (const std::string& pin : {other, std::string("abc")}) {
    SCOPED_TRACE(pin);
    StartModule({});
    QtMainWindow w(settings(pin));
    ASSERT_TRUE(ShowActive(w));
    const auto tooltip = [&] { return Control<QLabel>(w, id::kStatusLine)->toolTip(); };
    EXPECT_TRUE(Watch(w, [&] { return !tooltip().isEmpty(); }, 10s));
    EXPECT_EQ(Status(w), QStringLiteral("Failure : couldn't open file"));
    const QString why = tooltip();
    if (pin == other) {
      EXPECT_TRUE(why.contains(QString::fromStdString(abc)) && why.contains(QString::fromStdString(other))) << why.toStdString();
    } else {
      EXPECT_TRUE(why.contains(QStringLiteral("FirmwareSha256="))) << why.toStdString();
    }
    w.reject();
    EXPECT_EQ(w.Finish(), 1);
    module_->Signal(SIGTERM);
    module_->Wait(5s);
    EXPECT_NE(module_->Stderr().find("0 sessions"), std::string::npos) << module_->Stderr();
  }

  std::ifstream in(journal);
  std::vector<nlohmann::json> records;
  for (std::string line; std::getline(in, line);) records.push_back(nlohmann::json::parse(line));
  ASSERT_EQ(records.size(), 2u) << "one record per upgrade that started";
  EXPECT_EQ(records[0]["result"], "Upgrade OK");
  EXPECT_EQ(records[0]["station"], "line-a-3");
  EXPECT_EQ(records[0]["firmware_size"], 3);
  EXPECT_EQ(records[0]["approved_sha256"], abc);
  EXPECT_EQ(records[0]["firmware_sha256"], abc);
  EXPECT_EQ(records[0]["record_id"].get<std::string>().size(), 32u);
  EXPECT_EQ(records[1]["result"], "Failure : couldn't open file");
  EXPECT_EQ(records[1]["approved_sha256"], other);
  EXPECT_EQ(records[1]["data_frames_sent"], 0);
  // The forwarder had until each window closed to send them.
  EXPECT_EQ(server.Query("SELECT station, result, approved_sha256 FROM unit_records ORDER BY started_utc"),
            "line-a-3|Upgrade OK|" + abc + "\nline-a-3|Failure : couldn't open file|" + other);
  for (const auto& [name, value] : server.OdbcEnv()) ::unsetenv(name.c_str());
}

// The Qt window looks at a traced line's records by itself: a journal with
// a record the database cannot take (no such driver) is said in the status
// line's tooltip within a few seconds, without the password, while the
// status line keeps its text.
TEST_F(QtUpgradeTest, ATracedWindowSaysByItselfThatRecordsWaitForTheDatabase) {
  const std::string journal = dir_.Path() + "/line.jsonl";
  std::ofstream(journal) << R"({"record_id":"0123456789abcdef0123456789abcdef","start":"2026-12-08T05:01:02.345Z",)"
                         << R"("station":"line-a-3","result":"Upgrade OK"})" << "\n";
  auto window = OpenWindow(Firmware(10), "[CONFIG]\nReport=" + journal +
                                             "\nRecordsDb=Driver={No Such Driver};Uid=qa;Pwd=hidden-Pa55\n");
  const auto tip = [&] { return Control<QLabel>(*window, id::kStatusLine)->toolTip().toStdString(); };
  EXPECT_TRUE(Watch(*window, [&] { return tip().rfind("records: 1 waiting for the database: ", 0) == 0; }, 10s))
      << tip();
  EXPECT_EQ(tip().find("hidden-Pa55"), std::string::npos) << tip();
  EXPECT_EQ(Status(*window), QString());
}

std::vector<nlohmann::json> JournalRecords(const std::string& path) {
  std::ifstream in(path);
  std::vector<nlohmann::json> records;
  for (std::string line; std::getline(in, line);) records.push_back(nlohmann::json::parse(line));
  return records;
}

std::string ThisHost() {
  char name[256] = {};
  ::gethostname(name, sizeof name - 1);
  return name;
}

// The window's upgrades are recorded as the command line records them: a
// port that does not open with exit code 3, a refused data frame ("Write
// Error") with 6, the device the port led to, the host name as the station's
// name; and RecordsDb= without Report= writes to the default journal.
TEST_F(QtUpgradeTest, TheWindowsRecordsCarryTheCommandLinesCodesIntoTheDefaultJournal) {
  const std::string state = dir_.Path() + "/state";
  ::setenv("XDG_STATE_HOME", state.c_str(), 1);
  StartModule({"--refuse-data", "3"});
  auto window = OpenWindow(Firmware(3000), "[CONFIG]\nComport=/nonexistent/zevuvuri-tty\n"
                                           "RecordsDb=Driver={No Such Driver};Uid=qa;Pwd=hidden\n");
  QtMainWindow& w = *window;
  Button(w)->click();
  ASSERT_TRUE(WatchFor(w, "Failure : couldn't initialize COM port"));
  ASSERT_TRUE(WaitFor([&] { return Button(w)->isEnabled(); }, 10s));
  Control<QLineEdit>(w, id::kComPort)->setText(QStringLiteral("1"));
  Button(w)->click();
  ASSERT_TRUE(WatchFor(w, "Write Error"));
  ASSERT_TRUE(WaitFor([&] { return Button(w)->isEnabled(); }, 10s));
  w.close();
  window.reset();
  ::unsetenv("XDG_STATE_HOME");

  const auto records = JournalRecords(state + "/zevuvuri/records.jsonl");
  ASSERT_EQ(records.size(), 2u) << "the default journal under XDG_STATE_HOME";
  EXPECT_EQ(records[0]["result"], "Failure : couldn't initialize COM port");
  EXPECT_EQ(records[0]["exit_code"], 3);
  EXPECT_EQ(records[0]["port"], "/nonexistent/zevuvuri-tty");
  EXPECT_EQ(records[1]["result"], "Write Error");
  EXPECT_EQ(records[1]["exit_code"], 6);
  EXPECT_EQ(records[1]["port"], "1");
  EXPECT_EQ(records[1]["device"], std::filesystem::canonical(device_).string());
  EXPECT_EQ(records[1]["data_frames_sent"], 3);
  for (const auto& r : records) {
    EXPECT_EQ(r["station"], ThisHost());
    EXPECT_EQ(r["host"], ThisHost());
    EXPECT_FALSE(r.contains("unit") || r.contains("station_run")) << "a single upgrade, as the command line's";
  }
}

// The board the window has just upgraded is still on its port when
// "Station..." opens a plug station there: its slot waits for it to leave
// and does not flash it again.
TEST_F(QtUpgradeTest, StationAfterTheWindowsUpgradeWaitsForThatBoardToLeave) {
  StartModule({"--upgrades", "2"});
  auto window = OpenWindow(Firmware(500), "[CONFIG]\nNext=plug\n");
  QtMainWindow& w = *window;
  ASSERT_TRUE(ShowActive(w));
  Button(w)->click();
  ASSERT_TRUE(WatchFor(w, "Upgrade OK"));
  ASSERT_TRUE(WaitFor([&] { return Button(w)->isEnabled(); }, 10s));
  // The worker ends a moment after the button comes back (long on a slow or
  // sanitized build); until then the menu offers no "Station...".
  ASSERT_TRUE(WaitFor([&] { return !w.Session().UpgradeInProgress(); }, 20s));

  std::vector<std::wstring> states;
  bool opened = false;
  WhenModal<QInputDialog>([&](QInputDialog* ask) {
    WhenModal<QtStationWindow>([&](QtStationWindow* view) {
      opened = true;
      // Long enough for the plug watch's looks, which would start a unit on
      // a board that is there.
      const auto until = std::chrono::steady_clock::now() + 2s;
      WaitFor([&] {
        states.push_back(view->Session().Rows().at(0).state);
        return std::chrono::steady_clock::now() > until;
      }, 5s);
      EXPECT_EQ(view->Session().UnitsRunning(), 0u);
      // A board flashed again ends soon; the view then closes without asking.
      WaitFor([&] { return view->Session().UnitsRunning() == 0; }, 20s);
      view->reject();
    });
    ask->setTextValue(QStringLiteral("1"));
    ask->accept();
  });
  WhenPopup<QMenu>([](QMenu* menu) {
    QAction* station = menu->actions().back();
    // A disabled entry would leave the menu open for ever: close it and fail.
    if (!station->isEnabled()) {
      ADD_FAILURE() << "\"Station...\" is disabled";
      menu->close();
      return;
    }
    menu->setActiveAction(station);
    QTest::keyClick(menu, Qt::Key_Return);
  });
  QContextMenuEvent event(QContextMenuEvent::Mouse, QPoint(5, 5), w.mapToGlobal(QPoint(5, 5)));
  QApplication::sendEvent(&w, &event);
  ASSERT_TRUE(WaitFor([&] { return opened && !QApplication::activeModalWidget(); }, 20s));
  ASSERT_FALSE(states.empty());
  for (const auto& state : states) EXPECT_EQ(state, L"upgraded just before, remove the unit");
  w.close();
  window.reset();
  module_->Signal(SIGTERM);
  module_->Wait(10s);
  EXPECT_NE(module_->Stderr().find("1 of 2 upgrades complete, 0 violations, 1 sessions"), std::string::npos)
      << module_->Stderr();
}

// The real binary in production mode, ended by the session (SIGTERM from a
// log-off or a service manager, SIGHUP from a closed terminal) while it
// synchronises with a module that never answers: the upgrade is stopped as
// "Yes" to closing would stop it, recorded "interrupted" with the command
// line's code, the port freed, and the process exits 130.
class QtSessionEndTest : public QtUpgradeTest, public ::testing::WithParamInterface<int> {};

TEST_P(QtSessionEndTest, TheSessionsEndStopsTheUpgradeRecordsItAndExits130) {
  const std::string journal = dir_.Path() + "/journal.jsonl";
  Firmware(3000, "REDIDADU.bin");
  std::ofstream(dir_.Path() + "/loader.cfg") << "[CONFIG]\nProdmode=1\nComport=1\nReport=" << journal << "\n";
  StartModule({"--ignore-sync", "1000000"});
  ChildProcess loader({ZEVUVURI_WINDOW_PATH}, {{"ZEVUVURI_PORT_DIR", PortDir()}, {"QT_QPA_PLATFORM", "offscreen"}},
                      dir_.Path());
  loader.CloseStdin();
  const std::string pid = std::to_string(loader.Pid());
  ASSERT_TRUE(WaitFor([&] { return HoldsDevice(device_, pid); }, 30s)) << "the upgrade never opened the port";
  const auto before = std::chrono::steady_clock::now();
  loader.Signal(GetParam());
  const auto status = loader.Wait(20s);
  const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - before);
  ASSERT_TRUE(status) << "the window did not end";
  EXPECT_EQ(*status, 130) << loader.Stderr();
  // 2 s on an idle machine; the margin is for a loaded one.
  EXPECT_LT(took, 6s) << took.count() << " ms";
  std::printf("ended %d ms after the signal\n", static_cast<int>(took.count()));
  const auto records = JournalRecords(journal);
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0]["result"], "interrupted");
  EXPECT_EQ(records[0]["exit_code"], 130);
  EXPECT_EQ(records[0]["station"], ThisHost());
  EXPECT_EQ(records[0]["device"], std::filesystem::canonical(device_).string());
}

INSTANTIATE_TEST_SUITE_P(Signals, QtSessionEndTest, ::testing::Values(SIGTERM, SIGHUP),
                         [](const auto& info) { return info.param == SIGTERM ? "SIGTERM" : "SIGHUP"; });

}  // namespace
}  // namespace zevuvuri::ui::qt
