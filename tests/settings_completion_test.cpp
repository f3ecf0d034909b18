// The one completion of the settings that every front end runs: what it
// fills in, what it refuses, and how each front end's words name the setting.
#include "station/settings_completion.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "tests/support/pseudo_terminal.h"

namespace zevuvuri::station {
namespace {

using testing::TempDir;

// The front ends as they call the completion.
enum class FrontEnd { CommandLine, StationView, MainWindow };

Completion HowFor(FrontEnd front) {
  Completion how;
  if (front == FrontEnd::StationView) {
    how.names = SettingsFileNames(": no unit starts");
    how.firmware_must_exist = true;
    how.type_must_be_code = true;
  } else if (front == FrontEnd::MainWindow) {
    how.names = SettingsFileNames(": no upgrade starts");
  }
  return how;
}

std::string HostNameOfThisMachine() {
  char name[256] = {};
  ::gethostname(name, sizeof name - 1);
  return name;
}

// The variables the default journal is found by, set for one case and put
// back afterwards.
class StateFolder {
 public:
  explicit StateFolder(const char* xdg_state_home, const char* home) {
    Keep("XDG_STATE_HOME", xdg_state_home);
    Keep("HOME", home);
  }
  ~StateFolder() {
    for (const auto& [name, value] : kept_) {
      if (value) ::setenv(name.c_str(), value->c_str(), 1);
      else ::unsetenv(name.c_str());
    }
  }

 private:
  void Keep(const std::string& name, const char* value) {
    const char* before = ::getenv(name.c_str());
    kept_.emplace_back(name, before ? std::optional<std::string>(before) : std::nullopt);
    if (value) ::setenv(name.c_str(), value, 1);
    else ::unsetenv(name.c_str());
  }
  std::vector<std::pair<std::string, std::optional<std::string>>> kept_;
};

struct Case {
  const char* what;
  std::function<void(StationSettings&, const std::string& dir)> given;
  // Per front end: the refusal (nothing: accepted), then what the settings
  // hold afterwards.
  std::optional<std::string> cli, view, window;
  std::function<void(const StationSettings&, const std::string& dir)> filled;
};

class SettingsCompletionTest : public ::testing::TestWithParam<FrontEnd> {
 protected:
  void SetUp() override {
    std::ofstream(dir_.Path() + "/fw.bin") << "image";
    std::filesystem::create_directory(dir_.Path() + "/folder.bin");
  }
  TempDir dir_;
};

const char* const kPinUpper = "BA7816BF8F01CFEA414140DE5DAE2223B00361A396177A9CB410FF61F20015AD";
const char* const kPinLower = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";

TEST_P(SettingsCompletionTest, FillsInAndRefusesAsEveryFrontEndMust) {
  const std::string long_name(256, 's');
  const std::vector<Case> cases = {
      {"a records database alone gets the default journal",
       [](StationSettings& s, const std::string& dir) {
         s.records_db = "DSN=line";
         ::setenv("XDG_STATE_HOME", dir.c_str(), 1);
       },
       {}, {}, {},
       [](const StationSettings& s, const std::string& dir) {
         EXPECT_EQ(s.report, dir + "/zevuvuri/records.jsonl");
       }},
      {"a journal given is kept",
       [](StationSettings& s, const std::string& dir) {
         s.records_db = "DSN=line";
         s.report = dir + "/shift.jsonl";
       },
       {}, {}, {},
       [](const StationSettings& s, const std::string& dir) { EXPECT_EQ(s.report, dir + "/shift.jsonl"); }},
      {"no journal without a records database",
       [](StationSettings&, const std::string&) {}, {}, {}, {},
       [](const StationSettings& s, const std::string&) {
         EXPECT_FALSE(s.report);
         EXPECT_FALSE(s.firmware_sha256);
       }},
      {"no folder known for the default journal",
       [](StationSettings& s, const std::string&) {
         s.records_db = "DSN=line";
         ::unsetenv("XDG_STATE_HOME");
         ::unsetenv("HOME");
       },
       "--records-db: no state folder is known for the journal: give --report FILE",
       "RecordsDb= in loader.cfg: no state folder is known for the journal: give Report=: no unit starts",
       "RecordsDb= in loader.cfg: no state folder is known for the journal: give Report=: no upgrade starts",
       {}},
      {"no station name: the host name",
       [](StationSettings&, const std::string&) {}, {}, {}, {},
       [](const StationSettings& s, const std::string&) { EXPECT_EQ(s.station_name, HostNameOfThisMachine()); }},
      {"a station name longer than the column",
       [&](StationSettings& s, const std::string&) { s.station_name = long_name; },
       "--station-name: the station name is 256 characters long; the records' station column holds at most 255 "
       "(a character past U+FFFF counts twice)",
       "StationName= in loader.cfg: the station name is 256 characters long; the records' station column holds "
       "at most 255 (a character past U+FFFF counts twice): no unit starts",
       "StationName= in loader.cfg: the station name is 256 characters long; the records' station column holds "
       "at most 255 (a character past U+FFFF counts twice): no upgrade starts",
       {}},
      {"a pin in capitals is kept in lowercase",
       [](StationSettings& s, const std::string&) { s.firmware_sha256 = kPinUpper; }, {}, {}, {},
       [](const StationSettings& s, const std::string&) { EXPECT_EQ(s.firmware_sha256, kPinLower); }},
      {"a pin that is no SHA-256",
       [](StationSettings& s, const std::string&) { s.firmware_sha256 = "abc"; },
       "--firmware-sha256: HEX must be 64 hex digits (a SHA-256)",
       "FirmwareSha256= in loader.cfg is not a SHA-256 (64 hex digits): no unit starts",
       "FirmwareSha256= in loader.cfg is not a SHA-256 (64 hex digits): no upgrade starts", {}},
      {"a firmware file that is not there fails only a view at open",
       [](StationSettings& s, const std::string& dir) { s.firmware = dir + "/none.bin"; }, {},
       "Firmware= in loader.cfg: DIR/none.bin: no such file: no unit starts", {}, {}},
      {"a folder is no firmware file",
       [](StationSettings& s, const std::string& dir) { s.firmware = dir + "/folder.bin"; }, {},
       "Firmware= in loader.cfg: DIR/folder.bin is a folder, not a file: no unit starts", {}, {}},
      {"a type past 255",
       [](StationSettings& s, const std::string&) { s.type_text = "256"; }, {},
       "Type= in loader.cfg is \"256\": give a module type from 0 to 255: no unit starts", {}, {}},
      {"a type that is no number",
       [](StationSettings& s, const std::string&) { s.type_text = "QM-D"; }, {},
       "Type= in loader.cfg is \"QM-D\": give a module type from 0 to 255: no unit starts", {}, {}},
      {"a type with a sign",
       [](StationSettings& s, const std::string&) { s.type_text = "-1"; }, {},
       "Type= in loader.cfg is \"-1\": give a module type from 0 to 255: no unit starts", {}, {}},
      {"an empty type",
       [](StationSettings& s, const std::string&) { s.type_text = ""; }, {},
       "Type= in loader.cfg is \"\": give a module type from 0 to 255: no unit starts", {}, {}},
      {"the highest type, blanks around it",
       [](StationSettings& s, const std::string&) { s.type_text = " 255 "; }, {}, {}, {}, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    StateFolder folder(nullptr, "/root");
    StationSettings s;
    s.firmware = dir_.Path() + "/fw.bin";
    s.type_text = "24";
    c.given(s, dir_.Path());
    const Completion how = HowFor(GetParam());
    auto problem = CompleteSettings(s, how);
    std::optional<std::string> expected = GetParam() == FrontEnd::CommandLine ? c.cli
                                          : GetParam() == FrontEnd::StationView ? c.view
                                                                                : c.window;
    if (expected) {
      const std::string dir = "DIR";
      for (auto at = expected->find(dir); at != std::string::npos; at = expected->find(dir)) {
        expected->replace(at, dir.size(), dir_.Path());
      }
    }
    EXPECT_EQ(problem, expected);
    if (!problem && c.filled) c.filled(s, dir_.Path());
  }
}

INSTANTIATE_TEST_SUITE_P(FrontEnds, SettingsCompletionTest,
                         ::testing::Values(FrontEnd::CommandLine, FrontEnd::StationView, FrontEnd::MainWindow),
                         [](const auto& info) {
                           return info.param == FrontEnd::CommandLine  ? "CommandLine"
                                  : info.param == FrontEnd::StationView ? "StationView"
                                                                        : "MainWindow";
                         });

}  // namespace
}  // namespace zevuvuri::station
