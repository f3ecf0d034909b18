// The window session without a toolkit: its controller driven by the window's
// handlers against a module inside the test, its sink calls carried to this
// thread only when the test delivers the toolkit's wake-ups.
#include "ui/window_session.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "engine/status_texts.h"
#include "tests/support/postgres_server.h"
#include "tests/support/pseudo_terminal.h"
#include "tests/support/module_on_virtual_clock.h"
#include "tests/ui/fake_controls.h"
#include "ui/station_session.h"

namespace zevuvuri::ui {
namespace {

using testing::FakeAboutBoxOpener;
using testing::FakeFileDialog;
using testing::FakeSurface;
using zevuvuri::testing::ModuleConfig;
using zevuvuri::testing::ModuleOnVirtualClock;
using zevuvuri::testing::PostgresServer;
using zevuvuri::testing::TempDir;
using zevuvuri::testing::VirtualClock;
using namespace std::chrono_literals;

class HandDeliveredToolkit final : public WindowToolkit {
 public:
  bool PostWakeUp() override {
    ++posted;
    return true;
  }
  void CloseWindow() override {
    closed_on_window_thread = std::this_thread::get_id() == window_thread_;
    ++closings;
  }
  std::atomic<int> posted{0};
  int closings = 0;
  bool closed_on_window_thread = false;

 private:
  const std::thread::id window_thread_ = std::this_thread::get_id();
};

class WindowSessionTest : public ::testing::Test {
 protected:
  // A session over in-memory controls; the module answers every port text.
  void Open(const std::string& settings, bool over_the_air = false) {
    module_ = std::make_unique<ModuleOnVirtualClock>(clock_, ModuleConfig(over_the_air));
    session_ = std::make_unique<WindowSession>(toolkit_, controls_, files_, about_, SettingsFile::Parse(settings));
    // Each upgrade's controller opens the module, unless the test wants the
    // platform's own opening.
    session_->SetUpUpgradesForTesting([this](UpgradeController& upgrade) {
      if (attach_) module_->Attach(upgrade);
    });
    session_->OnInitDialog();
  }
  std::string Firmware() {
    const std::string path = dir_.Path() + "/fw.bin";
    std::ofstream(path, std::ios::binary) << std::string(300, '\x5a');
    return path;
  }
  // Delivers the toolkit's wake-ups, as a message loop would, until `done`.
  template <typename F>
  bool RunLoopUntil(F done, std::chrono::milliseconds limit = 20s) {
    const auto give_up = std::chrono::steady_clock::now() + limit;
    while (!done()) {
      if (std::chrono::steady_clock::now() > give_up) return false;
      session_->RunQueuedCalls();
      std::this_thread::sleep_for(1ms);
    }
    return true;
  }
  std::wstring Status() { return controls_[id::kStatusLine].text; }

  TempDir dir_;
  VirtualClock clock_;
  HandDeliveredToolkit toolkit_;
  FakeSurface controls_{MainDialogTemplate()};
  FakeFileDialog files_;
  FakeAboutBoxOpener about_;
  std::unique_ptr<ModuleOnVirtualClock> module_;
  std::unique_ptr<WindowSession> session_;
  bool attach_ = true;
};

// "Upgrade OK" in production mode closes the window from the window thread;
// the worker, held by nothing, returns by itself; the session then ends with
// status 0 through the ordinary return, with nothing left running.
TEST_F(WindowSessionTest, ProductionSuccessClosesTheWindowAndEndsWithStatusZero) {
  Open("[CONFIG]\nProdmode=1\nFirmware=" + Firmware() + "\n");
  ASSERT_TRUE(RunLoopUntil([&] { return toolkit_.closings > 0; }));
  EXPECT_TRUE(toolkit_.closed_on_window_thread);
  EXPECT_EQ(Status(), L"Upgrade OK");
  EXPECT_EQ(session_->ExitStatus(), 0);
  const auto give_up = std::chrono::steady_clock::now() + 10s;
  while (session_->WorkerThreadAlive() && std::chrono::steady_clock::now() < give_up) {
    std::this_thread::sleep_for(1ms);  // no wake-up delivered meanwhile
  }
  EXPECT_FALSE(session_->WorkerThreadAlive()) << "the worker waits for the window thread after the ending";
  EXPECT_EQ(session_->Finish(), 0);
  EXPECT_EQ(toolkit_.closings, 1);
}

// Closing while the worker waits for the window thread (its first call,
// which nobody delivers): Finish lets it go before joining it, so it returns at
// once. A production window closed so has status 1; an ordinary one 0.
TEST_F(WindowSessionTest, ClosingWhileTheWorkerWaitsForTheWindowEndsAtOnce) {
  for (const bool production : {false, true}) {
    SCOPED_TRACE(production ? "production" : "ordinary");
    Open(std::string("[CONFIG]\nProdmode=") + (production ? "1" : "0") + "\n");
    if (!production) session_->Dialog().OnAcquire();
    const auto give_up = std::chrono::steady_clock::now() + 10s;
    while (session_->WaitingCalls() == 0 && std::chrono::steady_clock::now() < give_up) {
      std::this_thread::sleep_for(1ms);
    }
    ASSERT_EQ(session_->WaitingCalls(), 1u);
    const auto before = std::chrono::steady_clock::now();
    EXPECT_EQ(session_->Finish(), production ? 1 : 0);
    EXPECT_LT(std::chrono::steady_clock::now() - before, 2s);
    EXPECT_FALSE(session_->WorkerThreadAlive());
    EXPECT_EQ(toolkit_.closings, 0);
    session_.reset();
  }
}

// The status line keeps its fixed text; the port's reason is its tooltip,
// until the next press starts an upgrade.
TEST_F(WindowSessionTest, APortFailureIsExplainedInTheStatusLinesTooltip) {
  Open("[CONFIG]\nComport=/nonexistent/zevuvuri-tty\n");
  attach_ = false;  // the platform's own opening
  session_->Dialog().OnAcquire();
  EXPECT_EQ(Status(), L"Failure : couldn't initialize COM port");
  EXPECT_NE(controls_[id::kStatusLine].tool_tip.find(L"no such device: /nonexistent/zevuvuri-tty"), std::wstring::npos)
      << std::string(controls_[id::kStatusLine].tool_tip.begin(), controls_[id::kStatusLine].tool_tip.end());

  attach_ = true;
  const std::string firmware = Firmware();
  controls_[id::kFileName].text = std::wstring(firmware.begin(), firmware.end());
  session_->Dialog().OnAcquire();
  EXPECT_EQ(Status(), L"Running");
  EXPECT_EQ(controls_[id::kStatusLine].tool_tip, L"");
  ASSERT_TRUE(RunLoopUntil([&] { return Status() == L"Upgrade OK" && controls_[id::kAcquire].enabled; }));
}

std::string Narrow(const std::wstring& text) { return std::string(text.begin(), text.end()); }

// A traced window (Report=, RecordsDb=) whose database is down: the status
// line keeps its text and its tooltip says how many records wait and why,
// without the password; once the server is back, that they are all in.
// Records appended to the firmware image would be flashed into every later
// unit: the journal's own name, or a link to it, as the firmware starts
// nothing and says why, with the records' state still below the reason.
TEST_F(WindowSessionTest, ATracedWindowShowsTheRecordsStateAndFlashesNotItsOwnJournal) {
  PostgresServer server(ZEVUVURI_RECORDS_SCHEMA);
  ASSERT_TRUE(server.Ok()) << server.Error();
  for (const auto& [name, value] : server.OdbcEnv()) ::setenv(name.c_str(), value.c_str(), 1);
  ASSERT_TRUE(server.Stop());
  const std::string journal = dir_.Path() + "/line.jsonl";
  Open("[CONFIG]\nReport=" + journal + "\nRecordsDb=" + server.ConnectionString() + "\n");
  ASSERT_TRUE(session_->ForwardsRecords());
  const std::string firmware = Firmware();
  controls_[id::kFileName].text = std::wstring(firmware.begin(), firmware.end());
  const std::wstring& tip = controls_[id::kStatusLine].tool_tip;
  const auto look = [&](const std::wstring& wanted) {
    return RunLoopUntil([&] {
      session_->ShowRecordsState();
      return tip.find(wanted) != std::wstring::npos;
    });
  };
  session_->Dialog().OnAcquire();
  ASSERT_TRUE(RunLoopUntil([&] { return Status() == L"Upgrade OK" && controls_[id::kAcquire].enabled; }));
  EXPECT_TRUE(look(L"records: 1 waiting for the database: ")) << Narrow(tip);
  EXPECT_EQ(Status(), L"Upgrade OK");
  EXPECT_EQ(Narrow(tip).find(PostgresServer::kPassword), std::string::npos) << Narrow(tip);

  ASSERT_TRUE(server.Start());
  EXPECT_TRUE(look(L"records: all in the database")) << Narrow(tip);
  EXPECT_EQ(tip, L"records: all in the database");
  EXPECT_EQ(server.Query("SELECT count(*) FROM unit_records WHERE result = 'Upgrade OK'"), "1");

  std::filesystem::create_symlink(journal, dir_.Path() + "/journal-link.bin");
  for (const std::string& firmware : {journal, dir_.Path() + "/journal-link.bin"}) {
    SCOPED_TRACE(firmware);
    const auto journal_size = std::filesystem::file_size(journal);
    controls_[id::kFileName].text = std::wstring(firmware.begin(), firmware.end());
    session_->Dialog().OnAcquire();
    EXPECT_EQ(Status(), L"Failure : couldn't open file");
    EXPECT_FALSE(session_->UpgradeInProgress());
    EXPECT_EQ(Narrow(tip), "Report= in loader.cfg: the journal " + journal +
                               " is the firmware file: give the records a file of their own\nrecords: all in the "
                               "database");
    EXPECT_EQ(std::filesystem::file_size(journal), journal_size) << "nothing recorded, nothing flashed";
  }
  session_.reset();
  for (const auto& [name, value] : server.OdbcEnv()) ::unsetenv(name.c_str());
}

class QuietStationToolkit final : public StationToolkit {
 public:
  void RowsChanged() override {}
  void WakeUp() override {}
  void CloseWindow() override {}
};

// Report= naming a FIFO that nobody reads: opening it for writing waits for a
// reader, which used to keep either window from ever appearing. Each now
// appears within its bounded wait and says why nothing can start. If a
// window still waited, a reader comes after 30 s, so the test fails rather
// than hangs.
TEST_F(WindowSessionTest, AFifoJournalWithoutAReaderHoldsNeitherWindowBeforeItAppears) {
  const std::string fifo = dir_.Path() + "/journal.fifo";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const std::string firmware = Firmware();
  std::mutex mutex;
  std::condition_variable cv;
  bool done = false;
  std::thread watchdog([&] {
    std::unique_lock lock(mutex);
    if (cv.wait_for(lock, 30s, [&] { return done; })) return;
    const int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    cv.wait(lock, [&] { return done; });
    if (reader >= 0) ::close(reader);
  });
  const auto opened_within = [&](const std::function<void()>& open) {
    const auto before = std::chrono::steady_clock::now();
    open();
    return std::chrono::steady_clock::now() - before;
  };
  const auto limit = 15s;  // the wait is 2 s; the margin is for a loaded machine

  EXPECT_LT(opened_within([&] { Open("[CONFIG]\nReport=" + fifo + "\n"); }), limit);
  controls_[id::kFileName].text = std::wstring(firmware.begin(), firmware.end());
  session_->Dialog().OnAcquire();
  EXPECT_EQ(Status(), L"Failure : couldn't open file");
  EXPECT_EQ(Narrow(controls_[id::kStatusLine].tool_tip),
            "Report= in loader.cfg: nothing reads " + fifo + " (a FIFO; waited 2 s for its reader): start the "
            "reader first");
  EXPECT_FALSE(session_->UpgradeInProgress());
  EXPECT_EQ(session_->Finish(), 0);

  QuietStationToolkit toolkit;
  std::unique_ptr<StationSession> station;
  EXPECT_LT(opened_within([&] {
              station = std::make_unique<StationSession>(
                  toolkit, SettingsFile::Parse("[CONFIG]\nStation=1\nPorts=1\nNext=enter\nFirmware=" + firmware +
                                               "\nReport=" + fifo + "\n"));
            }),
            limit);
  EXPECT_EQ(Narrow(station->Problem()),
            "Report= in loader.cfg: nothing reads " + fifo + " (a FIFO; waited 2 s for its reader): no unit starts");
  EXPECT_EQ(station->Finish(), 11);
  {
    const std::lock_guard lock(mutex);
    done = true;
  }
  cv.notify_all();
  watchdog.join();
}

// A station view completes its settings as the command line does: with
// RecordsDb= alone its units go to the default journal, under the host name,
// and a port that does not open is recorded with the command line's code.
TEST_F(WindowSessionTest, AStationViewRecordsIntoTheDefaultJournalUnderTheHostName) {
  const std::string state = dir_.Path() + "/state";
  ::setenv("XDG_STATE_HOME", state.c_str(), 1);
  const std::string firmware = Firmware();
  QuietStationToolkit toolkit;
  {
    StationSession station(toolkit, SettingsFile::Parse("[CONFIG]\nStation=1\nPorts=/nonexistent/zevuvuri-tty\n"
                                                        "Next=enter\nFirmware=" + firmware +
                                                        "\nRecordsDb=Driver={No Such Driver};Pwd=hidden\n"));
    ASSERT_EQ(Narrow(station.Problem()), "");
    station.PressStart();
    const auto give_up = std::chrono::steady_clock::now() + 20s;
    while (station.TotalsLine().find(L"1 unit") == std::wstring::npos && std::chrono::steady_clock::now() < give_up) {
      station.Tick();
      std::this_thread::sleep_for(5ms);
    }
    EXPECT_EQ(station.Finish(), 3);
  }
  ::unsetenv("XDG_STATE_HOME");
  std::ifstream in(state + "/zevuvuri/records.jsonl");
  std::string line;
  ASSERT_TRUE(std::getline(in, line)) << "no record in the default journal";
  char host[256] = {};
  ::gethostname(host, sizeof host - 1);
  EXPECT_NE(line.find("\"station\":\"" + std::string(host) + "\""), std::string::npos) << line;
  EXPECT_NE(line.find("\"exit_code\":3"), std::string::npos) << line;
  EXPECT_NE(line.find("\"result\":\"Failure : couldn't initialize COM port\""), std::string::npos) << line;
}

}  // namespace
}  // namespace zevuvuri::ui
