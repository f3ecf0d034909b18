// The command line's own pieces without a module: the
// per-unit record and its file under several writing processes, the
// progress board, the --port list and the options.
#include <fcntl.h>
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <csignal>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <numeric>
#include <thread>

#include "tests/support/fake_station.h"
#include "tests/support/pseudo_terminal.h"
#include "tests/support/scoped_env.h"
#include "tools/cli/cli_options.h"
#include "tools/cli/console.h"
#include "tools/cli/input_lines.h"
#include "tools/cli/port_listing.h"
#include "tools/cli/progress_board.h"
#include "records/report_file.h"
#include "station/serial_scan.h"
#include "tools/cli/utf16_input.h"
#include "records/unit_record.h"

namespace zevuvuri::cli {
namespace {

namespace fs = std::filesystem;
using testing::FakeStation;
using testing::ReadFile;
using testing::TempDir;
using testing::WriteFile;

TEST(UnitRecordTest, OneLineWithEveryFieldAndNullsForWhatIsUnknown) {
  records::UnitRecord r;
  r.started = std::chrono::system_clock::time_point{} + std::chrono::milliseconds{1796706062345};
  r.host = "station-7";
  r.port = "3";
  r.device = "/dev/ttyUSB0";
  r.usb = records::UsbAdapter{"0403", "6001", "A1B2", "FTDI", "FT232R USB UART"};
  r.firmware = "/fw/\xff.bin";  // not UTF-8: still written
  r.firmware_size = 3000;
  r.firmware_sha256 = std::string(64, 'a');
  r.type_code = 24;
  r.link_mode = LinkMode::OverTheAir;
  r.data_frames_sent = 55;
  r.result = "Upgrade OK";
  r.exit_code = 0;
  r.duration_s = 12.5;
  const std::string line = records::RecordLine(r);
  EXPECT_EQ(line.find('\n'), std::string::npos);
  const auto j = nlohmann::json::parse(line);
  EXPECT_EQ(j["start"], "2026-12-08T05:01:02.345Z");
  EXPECT_EQ(j["host"], "station-7");
  EXPECT_EQ(j["usb"]["serial"], "A1B2");
  EXPECT_EQ(j["usb"]["vendor_id"], "0403");
  EXPECT_EQ(j["firmware_size"], 3000);
  EXPECT_EQ(j["link_mode"], "over_the_air");
  EXPECT_EQ(j["data_frames_sent"], 55);
  EXPECT_EQ(j["type_code"], 24);
  EXPECT_EQ(j["result"], "Upgrade OK");

  records::UnitRecord failed;
  failed.port = "abc";
  failed.result = "Failure : couldn't initialize COM port";
  failed.exit_code = 3;
  const auto k = nlohmann::json::parse(records::RecordLine(failed));
  for (const char* field : {"device", "usb", "firmware_size", "firmware_sha256", "link_mode"}) {
    EXPECT_TRUE(k[field].is_null()) << field;
  }
  EXPECT_EQ(k["exit_code"], 3);
}

// Several processes append at once, with records longer than a page and than
// a pipe's atomic write: every line must come out whole, none lost.
TEST(ReportFileTest, ConcurrentWritersInSeveralProcessesNeverInterleave) {
  TempDir dir;
  const std::string path = dir.Path() + "/units.jsonl";
  WriteFile(path, "{\"earlier\":true}\n");
  constexpr int kWriters = 6;
  constexpr int kRecords = 150;
  std::vector<pid_t> children;
  for (int w = 0; w < kWriters; ++w) {
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      std::string error;
      const auto report = records::ReportFile::Open(path, &error);
      bool ok = report != nullptr;
      for (int i = 0; ok && i < kRecords; ++i) {
        const std::string padding(static_cast<std::size_t>(100 + (i * 997 + w * 131) % 9000), static_cast<char>('a' + w));
        const std::string line = nlohmann::json{{"writer", w}, {"n", i}, {"padding", padding}}.dump();
        ok = report->Append(line, &error);
      }
      ::_exit(ok ? 0 : 1);
    }
    children.push_back(pid);
  }
  for (pid_t pid : children) {
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  std::ifstream in(path);
  std::string line;
  std::getline(in, line);
  EXPECT_EQ(line, "{\"earlier\":true}") << "the file is only appended to";
  std::vector<int> next(kWriters, 0);
  int count = 0;
  while (std::getline(in, line)) {
    const auto j = nlohmann::json::parse(line, nullptr, false);
    ASSERT_FALSE(j.is_discarded()) << "a broken record: " << line.substr(0, 80);
    const int w = j["writer"];
    EXPECT_EQ(j["n"], next[w]++) << "each writer's records in its order";
    EXPECT_EQ(j["padding"].get<std::string>().find_first_not_of(static_cast<char>('a' + w)), std::string::npos);
    ++count;
  }
  EXPECT_EQ(count, kWriters * kRecords);
}

// A file that cannot be opened, or a record that cannot be written, is an
// error; a device that takes the record but cannot be synced is none.
TEST(ReportFileTest, WhatCannotTakeARecordIsReported) {
  TempDir dir;
  std::string error;
  EXPECT_FALSE(records::ReportFile::Open(dir.Path() + "/no/such/dir/units.jsonl", &error));
  EXPECT_NE(error.find("units.jsonl"), std::string::npos) << error;
  error.clear();
  EXPECT_FALSE(records::ReportFile::Open(dir.Path(), &error)) << "a directory takes no record";
  EXPECT_FALSE(error.empty());
  EXPECT_TRUE(records::ReportFile::Open(dir.Path() + "/new.jsonl", &error));
  EXPECT_TRUE(fs::exists(dir.Path() + "/new.jsonl"));

  const auto null = records::ReportFile::Open("/dev/null", &error);
  ASSERT_TRUE(null) << error;
  EXPECT_TRUE(null->Append("{}", &error)) << error;
  const auto full = records::ReportFile::Open("/dev/full", &error);
  ASSERT_TRUE(full) << error;
  error.clear();
  EXPECT_FALSE(full->Append("{}", &error));
  EXPECT_NE(error.find("/dev/full"), std::string::npos) << error;
}

// A record cut short by a full disk must not swallow the next one: it starts
// on its own line.
TEST(ReportFileTest, ARecordAfterAHalfOneStartsOnItsOwnLine) {
  TempDir dir;
  const std::string path = dir.Path() + "/units.jsonl";
  WriteFile(path, "{\"earlier\":true}\n");
  const std::string big = nlohmann::json{{"padding", std::string(300, 'x')}}.dump();
  const pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    // The file may grow by 100 bytes more: the record gets cut.
    std::signal(SIGXFSZ, SIG_IGN);
    const rlim_t limit = static_cast<rlim_t>(fs::file_size(path) + 100);
    const rlimit r{limit, limit};
    ::setrlimit(RLIMIT_FSIZE, &r);
    std::string error;
    const auto report = records::ReportFile::Open(path, &error);
    ::_exit(report && !report->Append(big, &error) ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the cut record is reported";
  std::string error;
  const auto report = records::ReportFile::Open(path, &error);
  ASSERT_TRUE(report) << error;
  EXPECT_TRUE(report->Append("{\"next\":true}", &error)) << error;
  std::ifstream in(path);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  ASSERT_EQ(lines.size(), 3u) << ReadFile(path);
  EXPECT_EQ(lines[1], big.substr(0, 100));
  EXPECT_EQ(lines[2], "{\"next\":true}");
}

using zevuvuri::testing::ScopedEnv;

// --list-ports names exactly the COM numbers that --port would use, and takes
// any device or link name without stumbling: UART names beyond ttyS<N>,
// numbers past every integer range, leading zeros.
TEST(PortListingTest, ListsExactlyWhatPortWouldOpen) {
  TempDir dir;
  const fs::path sys = fs::path(dir.Path()) / "sys", ports = fs::path(dir.Path()) / "ports";
  for (const char* tty : {"ttyS0", "ttySC0", "ttySAC0", "ttySTM0"}) {
    fs::create_directories(sys / "class/tty" / tty / "device");
    WriteFile(sys / "class/tty" / tty / "type", "4\n");
  }
  const fs::path target = fs::path(dir.Path()) / "adapter";
  WriteFile(target, "");
  fs::create_directories(ports);
  for (const char* link : {"com2", "com01", "com123456789", "com1234567890", "com99999999999999999999", "coma"}) {
    fs::create_symlink(target, ports / link);
  }
  ScopedEnv env({{"ZEVUVURI_SYSFS_ROOT", sys.string()}, {"ZEVUVURI_DEV_ROOT", "/dev"},
                 {"ZEVUVURI_PORT_DIR", ports.string()}});
  const std::vector<std::string> lines = ListPorts();
  auto has = [&](const std::string& l) { return std::find(lines.begin(), lines.end(), l) != lines.end(); };
  EXPECT_TRUE(has("  /dev/ttyS0   COM 1"));
  for (const char* tty : {"ttySC0", "ttySAC0", "ttySTM0"}) EXPECT_TRUE(has("  /dev/" + std::string(tty))) << tty;
  const auto links = std::find(lines.begin(), lines.end(), "COM links in " + ports.string() + ":");
  ASSERT_NE(links, lines.end());
  EXPECT_EQ(std::vector<std::string>(links + 1, lines.end()),
            (std::vector<std::string>{"  COM 2 -> " + target.string(), "  COM 123456789 -> " + target.string()}));
}

TEST(ProgressBoardTest, OneLinePerPortRedrawnInPlace) {
  std::FILE* out = std::tmpfile();
  ASSERT_NE(out, nullptr);
  ProgressBoard board(out, {"1", "/dev/ttyUSB1"});
  board.SetStatus(0, "Running");
  board.SetMode(1, "over the air");
  board.SetProgress(1, 42, "5.1 KiB/s  0:03 left");
  board.Note("1: over the air: press Enter");
  board.SetStatus(1, "Upgrade OK");
  board.Finish();
  EXPECT_NE(board.RowText(1).find("over the air"), std::string::npos);
  EXPECT_NE(board.RowText(1).find(" 42%"), std::string::npos);
  EXPECT_NE(board.RowText(1).find("0:03 left"), std::string::npos);
  EXPECT_NE(board.RowText(1).find("Upgrade OK"), std::string::npos);
  EXPECT_NE(board.RowText(0).find("   -"), std::string::npos) << "no percent before the first data frame";
  EXPECT_EQ(board.RowText(0).find("/dev/ttyUSB1"), std::string::npos);
  // Ports line up: each row's port column is as wide as the longest port.
  EXPECT_EQ(board.RowText(0).find("Running"), board.RowText(1).find("Upgrade OK"));

  std::rewind(out);
  std::string written;
  for (int c; (c = std::fgetc(out)) != EOF;) written += static_cast<char>(c);
  std::fclose(out);
  EXPECT_EQ(written.find("\033[2A"), written.find('\n', written.find('\n') + 1) + 1)
      << "the second drawing goes back up over both lines";
  const auto note = written.find("zevuvuri-cli: 1: over the air: press Enter\n");
  ASSERT_NE(note, std::string::npos);
  EXPECT_EQ(written.rfind("\033[J", note), note - 3) << "the board is cleared before a note";
}

// The records' line stands below the ports while records wait, and leaves
// no trace once they have gone.
TEST(ProgressBoardTest, TheRecordsLineStandsBelowThePortsUntilItGoes) {
  std::FILE* out = std::tmpfile();
  ASSERT_NE(out, nullptr);
  ProgressBoard board(out, {"1"});
  board.SetRecordsLine("records: 2 waiting for the database: 08001: refused");
  board.SetRecordsLine("");
  std::rewind(out);
  std::string written;
  for (int c; (c = std::fgetc(out)) != EOF;) written += static_cast<char>(c);
  std::fclose(out);
  const auto line = written.find("\r\033[Krecords: 2 waiting for the database: 08001: refused\n");
  ASSERT_NE(line, std::string::npos) << written;
  EXPECT_NE(written.find("\033[2A", line), std::string::npos)
      << "the next drawing goes up over the port and the records line";
  EXPECT_EQ(written.substr(written.size() - 4), "\n\033[J") << "and clears what was below the port";
}

TEST(ProgressBoardTest, AStationsRowsCarryTheUnitAndATotalsLineFollows) {
  std::FILE* out = std::tmpfile();
  ASSERT_NE(out, nullptr);
  ProgressBoard board(out, {"1", "2"}, /*station=*/true);
  board.SetUnit(0, 12);
  board.SetStatus(0, "Upgrading over serial port");
  board.SetStatus(1, "waiting for a unit");
  board.SetFooter("3 units, 3 OK");
  EXPECT_NE(board.RowText(0).find("1     #12"), std::string::npos) << board.RowText(0);
  EXPECT_NE(board.RowText(1).find("2     -"), std::string::npos) << board.RowText(1);
  EXPECT_EQ(board.RowText(0).find("Upgrading"), board.RowText(1).find("waiting")) << "units line up";
  // A scanned serial number ends the row, so the columns before it stay put.
  board.SetSerial(0, "SN-0001", true);
  EXPECT_EQ(board.RowText(0).substr(board.RowText(0).size() - 19), "  [SN-0001, REPEAT]") << board.RowText(0);
  EXPECT_EQ(board.RowText(0).find("Upgrading"), board.RowText(1).find("waiting"));
  board.SetUnit(0, 13);  // the next unit starts from a clear row
  EXPECT_EQ(board.RowText(0).find("Upgrading"), std::string::npos) << board.RowText(0);
  EXPECT_EQ(board.RowText(0).find("SN-0001"), std::string::npos) << board.RowText(0);
  std::rewind(out);
  std::string written;
  for (int c; (c = std::fgetc(out)) != EOF;) written += static_cast<char>(c);
  std::fclose(out);
  EXPECT_NE(written.find("\033[3A"), std::string::npos) << "redrawn over both rows and the totals";
  EXPECT_EQ(written.substr(written.size() - 14), "3 units, 3 OK\n");
}

// A driver's reason with a line break and a serial longer than the screen:
// every line drawn stays within an 80-column terminal and holds no break, so
// each redraw goes back up over exactly the lines it drew.
TEST(ProgressBoardTest, EveryLineStaysOneScreenLine) {
  std::FILE* out = std::tmpfile();
  ASSERT_NE(out, nullptr);
  ProgressBoard board(out, {"1", "2"}, /*station=*/true, [] { return std::size_t{80}; });
  board.SetUnit(0, 7);
  board.SetStatus(0, "Connection refused\n\tIs the server running?");
  board.SetSerial(1, std::string(200, '7'), false);
  board.SetFooter("3 units,\r\n3 OK");
  board.SetRecordsLine("records: 2 waiting for the database: 08001: could not connect\n\tIs the server "
                       "running on host \"db\" and accepting TCP/IP connections on port 5432?");
  board.Note("a note\nin two lines");
  EXPECT_NE(board.RowText(0).find("Connection refused Is the server running?"), std::string::npos)
      << board.RowText(0);
  std::rewind(out);
  std::string written;
  for (int c; (c = std::fgetc(out)) != EOF;) written += static_cast<char>(c);
  std::fclose(out);
  std::size_t drawings = 0;
  for (std::size_t start = 0, end; (end = written.find('\n', start)) != std::string::npos; start = end + 1) {
    // What the terminal shows: without the carriage returns and the cursor
    // movements (ESC [ digits letter).
    std::string line;
    for (std::size_t i = start; i < end; ++i) {
      if (written[i] == '\033' && i + 1 < end && written[i + 1] == '[') {
        for (i += 2; i < end && std::isdigit(static_cast<unsigned char>(written[i])); ++i) {
        }
        continue;
      }
      if (written[i] != '\r') line += written[i];
    }
    EXPECT_LT(line.size(), 80u) << line;
    EXPECT_EQ(line.find_first_of("\t\033"), std::string::npos) << line;
    drawings += line.rfind("1     #7", 0) == 0 ? 1 : 0;
  }
  EXPECT_GE(drawings, 5u) << "every drawing after the unit starts shows its row once";
  EXPECT_NE(written.find("zevuvuri-cli: a note in two lines\n"), std::string::npos);
  EXPECT_NE(written.find("3 units, 3 OK\n"), std::string::npos);
}

TEST(CliOptionsTest, StationOptionsAreParsedAndBelongToTheStation) {
  const char* argv[] = {"zevuvuri-cli", "--station", "--next", "enter", "--units", "40", "fw.bin"};
  const auto parsed = ParseCommandLine(7, argv);
  ASSERT_TRUE(parsed.options) << parsed.message;
  EXPECT_TRUE(parsed.options->station);
  EXPECT_EQ(parsed.options->next, NextUnit::Enter);
  EXPECT_EQ(parsed.options->units, 40u);
  const char* plain[] = {"zevuvuri-cli", "--station", "fw.bin"};
  EXPECT_EQ(ParseCommandLine(3, plain).options->next, NextUnit::Plug);
  const char* scan[] = {"zevuvuri-cli", "--station", "--next", "scan", "fw.bin"};
  EXPECT_EQ(ParseCommandLine(5, scan).options->next, NextUnit::Scan);
  for (const char* option : {"--units", "--next"}) {
    const char* alone[] = {"zevuvuri-cli", option, option == std::string("--units") ? "3" : "plug", "fw.bin"};
    const auto refused = ParseCommandLine(4, alone);
    EXPECT_FALSE(refused.options) << option;
    EXPECT_EQ(refused.exit_code, 2) << option;
  }
  const char* zero[] = {"zevuvuri-cli", "--station", "--units", "0"};
  EXPECT_EQ(ParseCommandLine(4, zero).exit_code, 2);
}

TEST(CliOptionsTest, PortGivenSeveralTimesKeepsItsOrder) {
  const char* argv[] = {"zevuvuri-cli", "--port", "1", "--port", "/dev/ttyUSB0", "--port", "3", "fw.bin"};
  const auto parsed = ParseCommandLine(8, argv);
  ASSERT_TRUE(parsed.options);
  EXPECT_EQ(parsed.options->ports, (std::vector<std::string>{"1", "/dev/ttyUSB0", "3"}));
  EXPECT_TRUE(parsed.options->ports_given);
  EXPECT_EQ(parsed.options->firmware, "fw.bin") << "one value per --port: the file is no port";

  const char* plain[] = {"zevuvuri-cli", "--report", "u.jsonl"};
  const auto defaults = ParseCommandLine(3, plain);
  ASSERT_TRUE(defaults.options);
  EXPECT_EQ(defaults.options->ports, std::vector<std::string>{"1"});
  EXPECT_FALSE(defaults.options->ports_given);
  EXPECT_EQ(defaults.options->report, "u.jsonl");
}

// --sync-timeout takes seconds that convert to a limit: anything else is a
// usage error rather than a limit of one probe.
TEST(CliOptionsTest, SyncTimeoutOutOfRangeIsAUsageError) {
  for (const char* text : {"1e16", "nan", "inf", "0", "-1", "1000001", ""}) {
    const char* argv[] = {"zevuvuri-cli", "--sync-timeout", text};
    const auto parsed = ParseCommandLine(3, argv);
    EXPECT_FALSE(parsed.options) << text;
    EXPECT_EQ(parsed.exit_code, 2) << text;
  }
  for (const char* text : {"0.5", "1000000"}) {
    const char* argv[] = {"zevuvuri-cli", "--sync-timeout", text};
    const auto parsed = ParseCommandLine(3, argv);
    ASSERT_TRUE(parsed.options) << text << ": " << parsed.message;
    EXPECT_EQ(parsed.options->sync_timeout_seconds, std::stod(text));
  }
}

// The records' station column holds 255 characters (not bytes), and SQL
// Server's counts a character past U+FFFF twice: a name that cannot be
// stored is a usage error before anything runs.
TEST(CliOptionsTest, AStationNameMustFitTheRecordsColumn) {
  std::string e_acute, emoji;
  for (int i = 0; i < 255; ++i) e_acute += "\xc3\xa9";  // 255 characters, 510 bytes
  for (int i = 0; i < 127; ++i) emoji += "\xf0\x9f\x98\x80";  // 254 UTF-16 units
  const std::vector<std::pair<std::string, bool>> cases = {
      {std::string(255, 's'), true},  {std::string(256, 's'), false}, {e_acute, true},
      {e_acute + "s", false},         {emoji + "s", true},             {emoji + "\xf0\x9f\x98\x80", false},
      {"line\xff", false},            {"line-\xc3", false}};
  for (const auto& [name, fits] : cases) {
    SCOPED_TRACE(name.size());
    const char* argv[] = {"zevuvuri-cli", "--station-name", name.c_str(), "fw.bin"};
    const auto parsed = ParseCommandLine(4, argv);
    EXPECT_EQ(parsed.options.has_value(), fits) << parsed.message;
    if (fits) continue;
    EXPECT_EQ(parsed.exit_code, 2);
    EXPECT_EQ(parsed.message.rfind("zevuvuri-cli: --station-name: the station name ", 0), 0u) << parsed.message;
  }
}

TEST(InputLinesTest, LinesCutWhereverTheReadsEnd) {
  InputLines input;
  const auto add = [&](std::string_view bytes) { input.Add(bytes.data(), bytes.size()); };
  add("SN-1\nSN");
  EXPECT_EQ(input.Take(), (std::vector<std::string>{"SN-1"}));
  EXPECT_TRUE(input.Take().empty());
  add("-2\n\nSN-3");
  EXPECT_EQ(input.Take(), (std::vector<std::string>{"SN-2", ""}));
  add(std::string(10000, 'x'));
  add("\n");
  const auto lines = input.Take();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].rfind("SN-3xxx", 0), 0u);
  EXPECT_LE(lines[0].size(), 4096u) << "a line without end does not grow without bound";
}

// What a console hands over as UTF-16, in reads that may end between the
// halves of a character: the label scans as its own UTF-8; a half without
// its other half is no character and is refused by the scan, not dropped.
TEST(Utf16InputTest, ConsoleTextBecomesTheSameUtf8WhereverTheReadsEnd) {
  Utf16Input input;
  EXPECT_EQ(input.Add(u"Gr\u00f6\u00dfe-01\r\n"), "Gr\xc3\xb6\xc3\x9f" "e-01\r\n");
  // Surrogates one code unit at a time: a string literal cannot hold a lone one.
  constexpr char16_t kHigh = 0xD83D, kLow = 0xDE00;  // U+1F600
  EXPECT_EQ(input.Add(std::u16string{u'\u20ac', kHigh}), "\xe2\x82\xac") << "the high half waits for the next read";
  EXPECT_EQ(input.Add(std::u16string{kLow, u'\n'}), "\xf0\x9f\x98\x80\n");
  EXPECT_EQ(input.Add(std::u16string{u'a', kHigh, u'b', kLow, kHigh}), "a\xef\xbf\xbd" "b\xef\xbf\xbd");
  EXPECT_EQ(input.Add(std::u16string{kHigh, kLow}), "\xef\xbf\xbd\xf0\x9f\x98\x80");
  std::string why;
  EXPECT_EQ(station::SerialFromScan(Utf16Input().Add(u"Gr\u00f6\u00dfe-01\r"), &why), std::optional<std::string>("Gr\xc3\xb6\xc3\x9f" "e-01"))
      << why;
}

}  // namespace
}  // namespace zevuvuri::cli
