// The station view's loader.cfg keys, and what a slot's row shows of the
// model's snapshot.
#include "ui/station_settings.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "tests/support/pseudo_terminal.h"
#include "ui/station_session.h"

namespace zevuvuri::ui {
namespace {

constexpr const char* kPin = "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef";

TEST(StationSettings, StationKeyOpensTheViewUnlessItBeginsWithZero) {
  struct Case {
    const char* file;
    bool station;
  };
  for (const Case& c : std::vector<Case>{{"", false},
                                        {"[CONFIG]\nStation=0\n", false},
                                        {"[CONFIG]\nStation=01\n", false},
                                        {"[CONFIG]\nStation=\n", false},
                                        {"[CONFIG]\nStation=1\n", true},
                                        {"[config]\nSTATION = yes\n", true}}) {
    EXPECT_EQ(StationRequested(SettingsFile::Parse(c.file)), c.station) << c.file;
  }
}

TEST(StationSettings, EveryKeyReachesTheModelsSettings) {
  zevuvuri::testing::TempDir dir;
  const std::string firmware = dir.Path() + "/line 3.bin";
  std::ofstream(firmware) << "image";
  const std::string file = std::string("[CONFIG]\nStation=1\nPorts= 1 , /dev/serial/by-id/usb-a ,com12\nNext=Enter\n") +
                           "Firmware=" + firmware + "\nType=24\nPacing=FAST\nReport=/srv/units.jsonl\n" +
                           "RecordsDb=DSN=line;UID=loader\nStationName=bench 4\nFirmwareSha256=" + kPin + "\n";
  std::string problem = "stale";
  const auto settings = ReadStationSettings(SettingsFile::Parse(file), &problem);
  ASSERT_TRUE(settings) << problem;
  EXPECT_EQ(problem, "");
  EXPECT_EQ(settings->ports, (std::vector<std::string>{"1", "/dev/serial/by-id/usb-a", "12"}));
  EXPECT_EQ(settings->next, station::NextUnit::Enter);
  EXPECT_EQ(settings->firmware, firmware);
  EXPECT_EQ(settings->type_text, "24");
  EXPECT_EQ(settings->pacing, Pacing::Fast);
  EXPECT_EQ(settings->report, "/srv/units.jsonl");
  EXPECT_EQ(settings->records_db, "DSN=line;UID=loader");
  EXPECT_EQ(settings->station_name, "bench 4");
  EXPECT_EQ(settings->firmware_sha256, kPin);
  EXPECT_FALSE(settings->yes);

  // The single window's defaults where keys are missing; plug is the default
  // Next. The default firmware is there in the station's working folder.
  const std::filesystem::path before = std::filesystem::current_path();
  std::filesystem::current_path(dir.Path());
  std::ofstream("REDIDADU.bin") << "image";
  const auto plain = ReadStationSettings(SettingsFile::Parse("[CONFIG]\nPorts=2\nNext=SCAN\n"), &problem);
  const auto plug = ReadStationSettings(SettingsFile::Parse("[CONFIG]\nPorts=2\n"), &problem);
  std::filesystem::current_path(before);
  ASSERT_TRUE(plain) << problem;
  EXPECT_EQ(plain->next, station::NextUnit::Scan);
  EXPECT_EQ(plain->firmware, "REDIDADU.bin");
  EXPECT_EQ(plain->type_text, "0");
  EXPECT_EQ(plain->pacing, Pacing::Classic);
  EXPECT_FALSE(plain->report);
  EXPECT_FALSE(plain->records_db);
  EXPECT_FALSE(plain->firmware_sha256);
  ASSERT_TRUE(plug) << problem;
  EXPECT_EQ(plug->next, station::NextUnit::Plug);
}

TEST(StationSettings, AFileThatCannotRunSaysWhichKeyAndWhy) {
  struct Case {
    const char* lines;
    const char* problem;
  };
  // One character more than the records' station column holds.
  const std::string long_name = "Ports=1\nStationName=" + std::string(256, 's') + "\n";
  // A station flashing every unit as another type, or failing every unit.
  zevuvuri::testing::TempDir dir;
  std::ofstream(dir.Path() + "/qm-d.bin") << "image";
  const std::string firmware_there_type_300 = "Ports=1\nFirmware=" + dir.Path() + "/qm-d.bin\nType=300\n";
  const std::string firmware_there_type_word = "Ports=1\nFirmware=" + dir.Path() + "/qm-d.bin\nType=QM-D\n";
  for (const Case& c : std::vector<Case>{
           {"Station=1\n", "Ports= in loader.cfg names no port"},
           {long_name.c_str(), "StationName= in loader.cfg: the station name is 256 characters long"},
           {"Ports= , \n", "Ports= in loader.cfg has an empty entry"},
           {"Ports=1,,2\n", "Ports= in loader.cfg has an empty entry"},
           {"Ports=1,2,\n", "Ports= in loader.cfg has an empty entry"},
           {"Ports=3,COM3\n", "Ports= in loader.cfg names port 3 twice"},
           {"Ports=1\nNext=pedal\n", "Next= in loader.cfg is \"pedal\": give plug, enter or scan"},
           {"Ports=1\nNext=\n", "Next= in loader.cfg is \"\""},
           {"Ports=1\nFirmwareSha256=0123abc\n", "FirmwareSha256= in loader.cfg is not a SHA-256"},
           {"Ports=1\nFirmware=/nonexistent/qm-d.bin\n",
            "Firmware= in loader.cfg: /nonexistent/qm-d.bin: no such file: no unit starts"},
           {firmware_there_type_300.c_str(), "Type= in loader.cfg is \"300\": give a module type from 0 to 255"},
           {firmware_there_type_word.c_str(), "Type= in loader.cfg is \"QM-D\": give a module type from 0 to 255"},
       }) {
    std::string problem;
    EXPECT_FALSE(ReadStationSettings(SettingsFile::Parse(std::string("[CONFIG]\n") + c.lines), &problem)) << c.lines;
    EXPECT_EQ(problem.rfind(c.problem, 0), 0u) << c.lines << problem;
  }
}

TEST(StationSettings, TheMainWindowsFieldsStandInForPortsFirmwareAndType) {
  std::string problem;
  const SettingsFile file = SettingsFile::Parse("[CONFIG]\nPorts=9\nFirmware=other.bin\nType=8\nNext=enter\n");
  zevuvuri::testing::TempDir dir;
  const std::string firmware = dir.Path() + "/fw.bin";
  std::ofstream(firmware) << "image";
  const auto settings = StationFromWindow(file, "4, 5", "10", firmware, &problem);
  ASSERT_TRUE(settings) << problem;
  EXPECT_EQ(settings->ports, (std::vector<std::string>{"4", "5"}));
  EXPECT_EQ(settings->firmware, firmware);
  EXPECT_EQ(settings->type_text, "10");
  EXPECT_EQ(settings->next, station::NextUnit::Enter);
  EXPECT_FALSE(StationFromWindow(file, "", "10", firmware, &problem));
  EXPECT_EQ(problem.rfind("The port list names no port", 0), 0u) << problem;
}

// The big field: the result of the last unit until the next starts, dimmed
// once a plugged unit has left, never the colour alone; the slot's counts.
TEST(StationRowTest, TheResultFieldShowsTheLastUnitUntilTheNextStarts) {
  using station::NextUnit;
  using station::ResultKind;
  using station::SlotPhase;
  struct Case {
    NextUnit next;
    SlotPhase phase;
    ResultKind last;
    RowResult shown;
    bool dimmed;
    const wchar_t* text;
    int percent;
  };
  for (const Case& c : std::vector<Case>{
           // A plugged unit that left leaves its result, dimmed.
           {NextUnit::Plug, SlotPhase::Waiting, ResultKind::Ok, RowResult::Ok, true, L"OK", 40},
           {NextUnit::Plug, SlotPhase::Waiting, ResultKind::Failed, RowResult::Failed, true, L"Write Error", 40},
           {NextUnit::Plug, SlotPhase::Waiting, ResultKind::None, RowResult::Waiting, false, L"waiting", 40},
           {NextUnit::Plug, SlotPhase::Leaving, ResultKind::Ok, RowResult::Ok, false, L"OK", 100},
           {NextUnit::Plug, SlotPhase::Leaving, ResultKind::Failed, RowResult::Failed, false, L"Write Error", 40},
           // A fixture keeps its unit until the next starts.
           {NextUnit::Enter, SlotPhase::Waiting, ResultKind::Failed, RowResult::Failed, false, L"Write Error", 40},
           {NextUnit::Scan, SlotPhase::Waiting, ResultKind::Ok, RowResult::Ok, false, L"OK", 100},
           {NextUnit::Enter, SlotPhase::Waiting, ResultKind::None, RowResult::Waiting, false, L"waiting", 40},
           // The next unit running hides the last one's result.
           {NextUnit::Enter, SlotPhase::Upgrading, ResultKind::Ok, RowResult::Running, false, L"upgrading", 40},
           {NextUnit::Plug, SlotPhase::Upgrading, ResultKind::Failed, RowResult::Running, false, L"upgrading", 40},
       }) {
    station::SlotSnapshot slot;
    slot.port = "/dev/ttyUSB0";
    slot.phase = c.phase;
    slot.unit = 12;
    slot.text = "Upgrading";
    slot.percent = 40;
    slot.result = c.last;
    slot.result_text = c.last == ResultKind::Ok ? "Upgrade OK" : "Write Error";
    slot.serial = "SN-\xC3\xA9";
    slot.repeat = c.last == ResultKind::Ok;
    const StationRow row = RowOf(slot, c.next, 3, 2);
    SCOPED_TRACE(static_cast<int>(c.next) * 100 + static_cast<int>(c.phase) * 10 + static_cast<int>(c.last));
    EXPECT_EQ(row.result, c.shown);
    EXPECT_EQ(row.dimmed, c.dimmed);
    EXPECT_EQ(row.result_text, c.text);
    EXPECT_EQ(row.port, L"/dev/ttyUSB0");
    EXPECT_EQ(row.unit, L"#12");
    EXPECT_EQ(row.percent, c.percent);
    EXPECT_EQ(row.serial, slot.repeat ? L"SN-\u00e9 (repeat)" : L"SN-\u00e9");
    EXPECT_EQ(row.units_ok, 3u);
    EXPECT_EQ(row.units_failed, 2u);
  }
}

// A unit waiting over the air for the operator says so on its row, in the
// window's words: the start button, or Enter in the scan field.
TEST(StationRowTest, AUnitWaitingOverTheAirSaysWhatItWaitsFor) {
  station::SlotSnapshot slot;
  slot.port = "7";
  slot.phase = station::SlotPhase::Upgrading;
  slot.unit = 3;
  slot.text = "Acquiring...";
  slot.awaiting_confirm = true;
  for (const auto next : {station::NextUnit::Plug, station::NextUnit::Enter}) {
    const StationRow row = RowOf(slot, next);
    EXPECT_EQ(row.state, L"Acquiring..., waiting for Start");
    EXPECT_TRUE(row.awaiting_confirm);
  }
  EXPECT_EQ(RowOf(slot, station::NextUnit::Scan).state, L"Acquiring..., waiting for Enter");
  slot.awaiting_confirm = false;
  EXPECT_EQ(RowOf(slot, station::NextUnit::Plug).state, L"Acquiring...");
}

class NoToolkit final : public StationToolkit {
 public:
  void RowsChanged() override {}
  void WakeUp() override {}
  void CloseWindow() override {}
};

// The start button is the window's only key for a unit over the air: with
// Next=plug it is there unless every such unit starts by itself, and it is
// offered only while a unit waits for it.
TEST(StationSessionTest, TheStartButtonIsThereWhereAPressCanStartOrConfirm) {
  struct Case {
    station::NextUnit next;
    bool yes;
    bool used;
    bool enabled;
  };
  for (const Case& c : std::vector<Case>{{station::NextUnit::Plug, false, true, false},
                                         {station::NextUnit::Plug, true, false, false},
                                         {station::NextUnit::Enter, false, true, true},
                                         {station::NextUnit::Scan, false, false, false}}) {
    SCOPED_TRACE(static_cast<int>(c.next) * 10 + (c.yes ? 1 : 0));
    station::StationSettings settings;
    settings.ports = {"97"};  // nothing there: no unit starts
    settings.next = c.next;
    settings.yes = c.yes;
    settings.firmware = "none.bin";
    const zevuvuri::testing::TempDir dir;
    settings.report = dir.Path() + "/units.jsonl";
    NoToolkit toolkit;
    StationSession session(toolkit, settings);
    ASSERT_EQ(session.Problem(), L"");
    EXPECT_EQ(session.StartButtonUsed(), c.used);
    EXPECT_EQ(session.StartEnabled(), c.enabled);
    session.Interrupt();
    EXPECT_FALSE(session.StartEnabled()) << "nothing starts after the end";
    EXPECT_EQ(session.Finish(), 130) << "the desktop's end, as the command line's interrupt";
  }
}

}  // namespace
}  // namespace zevuvuri::ui
