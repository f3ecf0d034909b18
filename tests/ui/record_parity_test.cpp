// One ending, one record, whatever front end ran the upgrade: the command
// line's single run, a station's unit and the main window's upgrade against
// the same module give records with the same fields and the same codes.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <ostream>
#include <set>
#include <string>
#include <thread>

#include "station/station_model.h"
#include "tests/support/module_config.h"
#include "tests/support/module_on_virtual_clock.h"
#include "tests/support/pseudo_terminal.h"
#include "tests/ui/fake_controls.h"
#include "ui/window_session.h"

namespace zevuvuri::ui {
namespace {

using testing::FakeAboutBoxOpener;
using testing::FakeFileDialog;
using testing::FakeSurface;
using zevuvuri::testing::FaultPlanWith;
using zevuvuri::testing::ModuleConfig;
using zevuvuri::testing::ModuleOnVirtualClock;
using zevuvuri::testing::TempDir;
using zevuvuri::testing::VirtualClock;
using namespace std::chrono_literals;

// How the upgrade ends, and what the record must say of it.
struct Ending {
  const char* what;
  bool module_there;  // false: the port names nothing, it does not open
  sim::FaultPlan faults;
  const char* result;
  int exit_code;
  int data_frames;
};

void PrintTo(const Ending& ending, std::ostream* out) { *out << ending.what; }

class Module {
 public:
  explicit Module(const Ending& ending)
      : module_(clock_, ModuleConfig(false, ending.faults)), there_(ending.module_there) {}
  void Attach(UpgradeController& upgrade) {
    if (there_) module_.Attach(upgrade);
  }

 private:
  VirtualClock clock_;
  ModuleOnVirtualClock module_;
  bool there_;
};

nlohmann::json OnlyRecord(const std::string& journal) {
  std::ifstream in(journal);
  std::vector<nlohmann::json> records;
  for (std::string line; std::getline(in, line);) records.push_back(nlohmann::json::parse(line));
  EXPECT_EQ(records.size(), 1u) << journal;
  return records.empty() ? nlohmann::json::object() : records.front();
}

// The station's front end of the command line and of the station, without
// printing: each unit's controller opens the test's module.
class Observer final : public station::StationObserver {
 public:
  explicit Observer(Module& module) : module_(module) {}
  void SlotChanged(std::size_t, const station::SlotSnapshot&, station::SlotEvent) override {}
  void Note(const std::string&) override {}
  void RecordsLine(const std::string&) override {}
  void TotalsChanged(const station::StationTotals&) override {}
  station::UnitFrontEnd UnitStarting(std::size_t, unsigned) override {
    station::UnitFrontEnd front;
    front.set_up = [this](UpgradeController& upgrade) { module_.Attach(upgrade); };
    return front;
  }

 private:
  Module& module_;
};

// As the command line runs a single upgrade (single_run) or a station of
// one fixture started by Enter.
nlohmann::json RunModel(const Ending& ending, const std::string& port, const std::string& firmware,
                        const std::string& journal, bool single_run) {
  Module module(ending);
  Observer observer(module);
  station::StationSettings s;
  s.ports = {port};
  s.next = station::NextUnit::Enter;
  s.units = 1;
  s.firmware = firmware;
  s.type_text = "0";
  s.report = journal;
  s.station_name = "bench 4";
  s.single_run = single_run;
  station::StationModel model(std::move(s), observer, [] {});
  std::string why;
  EXPECT_EQ(model.Open(&why), 0) << why;
  model.Pass({""});
  const auto give_up = std::chrono::steady_clock::now() + 30s;
  while (!model.Done() && std::chrono::steady_clock::now() < give_up) {
    std::this_thread::sleep_for(5ms);
    model.Pass({});
  }
  EXPECT_TRUE(model.Done()) << "the unit did not end";
  model.Finish();
  return OnlyRecord(journal);
}

class Toolkit final : public WindowToolkit {
 public:
  bool PostWakeUp() override { return true; }
  void CloseWindow() override {}
};

nlohmann::json RunWindow(const Ending& ending, const std::string& port, const std::string& firmware,
                         const std::string& journal) {
  Module module(ending);
  Toolkit toolkit;
  FakeSurface controls{MainDialogTemplate()};
  FakeFileDialog files;
  FakeAboutBoxOpener about;
  WindowSession session(toolkit, controls, files, about,
                        SettingsFile::Parse("[CONFIG]\nReport=" + journal + "\nStationName=bench 4\n"));
  session.SetUpUpgradesForTesting([&](UpgradeController& upgrade) { module.Attach(upgrade); });
  session.OnInitDialog();
  controls[id::kComPort].text = std::wstring(port.begin(), port.end());
  controls[id::kFileName].text = std::wstring(firmware.begin(), firmware.end());
  session.Dialog().OnAcquire();
  const auto give_up = std::chrono::steady_clock::now() + 30s;
  while ((session.WorkerThreadAlive() || !controls[id::kAcquire].enabled) &&
         std::chrono::steady_clock::now() < give_up) {
    session.RunQueuedCalls();
    std::this_thread::sleep_for(1ms);
  }
  session.RunQueuedCalls();
  EXPECT_FALSE(session.WorkerThreadAlive()) << "the upgrade did not end";
  EXPECT_EQ(session.Finish(), 0);
  return OnlyRecord(journal);
}

std::string ThisHost() {
  char name[256] = {};
  ::gethostname(name, sizeof name - 1);
  return name;
}

std::set<std::string> Keys(const nlohmann::json& record) {
  std::set<std::string> keys;
  for (const auto& item : record.items()) keys.insert(item.key());
  return keys;
}

class RecordParityTest : public ::testing::TestWithParam<Ending> {};

TEST_P(RecordParityTest, EveryFrontEndWritesTheSameRecordForTheSameEnding) {
  const Ending& ending = GetParam();
  TempDir dir;
  const std::string firmware = dir.Path() + "/fw.bin";
  std::ofstream(firmware, std::ios::binary) << std::string(600, '\x5a');  // 12 data frames
  const std::string port = ending.module_there ? "7" : dir.Path() + "/no-such-tty";

  const auto cli = RunModel(ending, port, firmware, dir.Path() + "/cli.jsonl", true);
  const auto station = RunModel(ending, port, firmware, dir.Path() + "/station.jsonl", false);
  const auto window = RunWindow(ending, port, firmware, dir.Path() + "/window.jsonl");

  for (const auto* record : {&cli, &station, &window}) {
    SCOPED_TRACE(record == &cli ? "command line" : record == &station ? "station" : "window");
    EXPECT_EQ((*record)["result"], ending.result);
    EXPECT_EQ((*record)["exit_code"], ending.exit_code);
    EXPECT_EQ((*record)["data_frames_sent"], ending.data_frames);
    EXPECT_EQ((*record)["station"], "bench 4");
    EXPECT_EQ((*record)["host"], ThisHost());
    EXPECT_EQ((*record)["port"], port);
    EXPECT_EQ((*record)["firmware"], firmware);
    EXPECT_EQ((*record)["type_code"], 0);
    EXPECT_EQ((*record)["pacing"], "classic");
  }
  // The same fields, with the same values but for the record's own id and
  // times; a station's unit also carries its number and the station run.
  std::set<std::string> station_keys = Keys(station);
  EXPECT_EQ(station_keys.erase("unit") + station_keys.erase("station_run"), 2u);
  EXPECT_EQ(Keys(cli), Keys(window));
  EXPECT_EQ(Keys(cli), station_keys);
  for (const std::string& key : Keys(cli)) {
    if (key == "record_id" || key == "start" || key == "duration_s") continue;
    EXPECT_EQ(cli[key], window[key]) << key;
    EXPECT_EQ(cli[key], station[key]) << key;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Endings, RecordParityTest,
    ::testing::Values(Ending{"ok", true, {}, "Upgrade OK", 0, 12},
                      Ending{"port", false, {}, "Failure : couldn't initialize COM port", 3, 0},
                      Ending{"write_error", true, FaultPlanWith(&sim::FaultPlan::refuse_data, 3u), "Write Error", 6, 3}),
    [](const auto& info) { return std::string(info.param.what); });

}  // namespace
}  // namespace zevuvuri::ui
