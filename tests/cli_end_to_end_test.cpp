// zevuvuri-cli against the simulated module over real pseudo-terminals: the
// lines it prints, its exit statuses, and the firmware the module received.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <set>
#include <thread>

#include "engine/serial_link.h"
#include "tests/support/child_process.h"
#include "tests/support/pseudo_terminal.h"

namespace zevuvuri {
namespace {

using namespace std::chrono_literals;
using testing::ChildProcess;
using testing::TempDir;

class CliTest : public ::testing::Test {
 protected:
  // Starts the simulator as COM port 1 in this test's port directory.
  void StartModule(std::vector<std::string> args) {
    std::vector<std::string> argv = {ZEVUVURI_SIM_PATH, "--com", "1", "--timeout", "60"};
    argv.insert(argv.end(), args.begin(), args.end());
    module_ = std::make_unique<ChildProcess>(argv, Env());
    const auto device = module_->ReadLine(10s);
    ASSERT_TRUE(device) << "the simulator did not start";
    device_ = *device;
  }
  int RunLoader(std::vector<std::string> args, std::chrono::milliseconds limit = 60s) {
    std::vector<std::string> argv = {ZEVUVURI_CLI_PATH};
    argv.insert(argv.end(), args.begin(), args.end());
    loader_ = std::make_unique<ChildProcess>(argv, Env());
    loader_->CloseStdin();
    const auto status = loader_->Wait(limit);
    EXPECT_TRUE(status) << "the loader did not end";
    return status.value_or(-1);
  }
  int ModuleStatus() {
    const auto status = module_->Wait(30s);
    EXPECT_TRUE(status) << "the simulator did not end";
    return status.value_or(-1);
  }
  std::map<std::string, std::string> Env() const { return {{"ZEVUVURI_PORT_DIR", dir_.Path() + "/ports"}}; }
  std::string Firmware(std::size_t size) {
    const std::string path = dir_.Path() + "/fw-" + std::to_string(size) + ".bin";
    std::ofstream out(path, std::ios::binary);
    for (std::size_t i = 0; i < size; ++i) out.put(static_cast<char>((i * 31 + 7) & 0xFF));
    return path;
  }

  TempDir dir_;
  std::error_code ec_;
  std::unique_ptr<ChildProcess> module_;
  std::unique_ptr<ChildProcess> loader_;
  std::string device_;
};

// The cases every pacing must pass alike: the same lines, codes and bytes.
class CliPacingTest : public CliTest, public ::testing::WithParamInterface<std::string> {};

TEST_P(CliPacingTest, SerialUpgradePrintsTheStatusLinesAndTheModuleGetsTheFileWhole) {
  // 1700 bytes: the data frame at offset 1624 begins with 0x58, the probe byte.
  const std::string firmware = Firmware(1700);
  const std::string saved = dir_.Path() + "/received.bin";
  StartModule({"--expect", firmware, "--save", saved, "--type", "24"});
  EXPECT_EQ(RunLoader({"--port", "1", "--type", "24", "--pacing", GetParam(), firmware}), 0) << loader_->Stderr();
  EXPECT_EQ(loader_->StdoutLines(), (std::vector<std::string>{"Running", "Synchronising...", "Acquiring...",
                                                              "Upgrading over serial port", "Upgrade OK"}));
  EXPECT_EQ(ModuleStatus(), 0) << module_->Stderr();
  std::ifstream a(firmware, std::ios::binary), b(saved, std::ios::binary);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(a), {}), std::string(std::istreambuf_iterator<char>(b), {}));
}

// An Enter typed while the loader still synchronises (the module holds its
// first answer back) finds nothing waiting: it is dropped, not kept to start
// the stream at the first poll acknowledgement.
TEST_P(CliPacingTest, OverTheAirWaitsForEnterThenUpgrades) {
  const std::string firmware = Firmware(300);
  StartModule({"--mode", "air", "--expect", firmware, "--delay", "sync:1=600"});
  loader_ = std::make_unique<ChildProcess>(
      std::vector<std::string>{ZEVUVURI_CLI_PATH, "--port", "1", "--pacing", GetParam(), firmware}, Env());
  ASSERT_TRUE(loader_->AwaitLine("Synchronising...", 10s));
  loader_->WriteStdin("\n");
  ASSERT_TRUE(loader_->AwaitLine("Acquiring...", 10s));
  std::this_thread::sleep_for(300ms);  // polls go on while nobody presses Enter
  EXPECT_FALSE(loader_->ReadLine(50ms)) << "it must wait for the confirm";
  loader_->WriteStdin("\n");
  ASSERT_TRUE(loader_->AwaitLine("Upgrading over the air", 10s));
  ASSERT_TRUE(loader_->AwaitLine("Upgrade OK", 20s));
  EXPECT_EQ(loader_->Wait(10s), 0);
  EXPECT_EQ(ModuleStatus(), 0) << module_->Stderr();
}

TEST_P(CliPacingTest, YesConfirmsAtTheFirstAcknowledgedPoll) {
  const std::string firmware = Firmware(300);
  StartModule({"--mode", "air", "--expect", firmware});
  EXPECT_EQ(RunLoader({"--port", "1", "--yes", "--trace", "--pacing", GetParam(), firmware}), 0) << loader_->Stderr();
  const std::string& trace = loader_->Stderr();
  std::size_t polls = 0;
  for (auto at = trace.find("sent 60: 00 00 00 00"); at != std::string::npos; at = trace.find("sent 60: 00 00 00 00", at + 1)) {
    ++polls;
  }
  EXPECT_EQ(polls, 1u) << trace;
  EXPECT_EQ(ModuleStatus(), 0) << module_->Stderr();
}

TEST_P(CliPacingTest, EachEndingHasItsExitStatus) {
  struct Case {
    const char* what;
    std::vector<std::string> module;
    std::vector<std::string> loader;
    int exit_code;
    std::string last_line;
  };
  const std::string fw = Firmware(200);
  const Case cases[] = {
      {"poll refused", {"--refuse-poll", "1"}, {fw}, 5, "Did not get local ACK"},
      {"data frame refused", {"--refuse-data", "2"}, {fw}, 6, "Write Error"},
      {"reboot unanswered", {"--end-reply", "none"}, {fw}, 7, "Did not get local ACK for reboot"},
      {"reboot answered 2 over the air", {"--mode", "air", "--end-reply", "2"}, {"--yes", fw}, 7,
       "Did not get local ACK for reboot"},
      {"missing file", {}, {dir_.Path() + "/none.bin"}, 4, "Failure : couldn't open file"},
      {"module never answers", {"--ignore-sync", "1000"}, {"--sync-timeout", "0.5", fw}, 8,
       "Failure : no answer from module"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    StartModule(c.module);
    std::vector<std::string> args = {"--port", "1", "--pacing", GetParam()};
    args.insert(args.end(), c.loader.begin(), c.loader.end());
    EXPECT_EQ(RunLoader(args), c.exit_code) << loader_->Stderr();
    ASSERT_FALSE(loader_->StdoutLines().empty());
    EXPECT_EQ(loader_->StdoutLines().back(), c.last_line);
    module_.reset();
  }
}

INSTANTIATE_TEST_SUITE_P(BothPacings, CliPacingTest, ::testing::Values("classic", "fast"),
                         [](const ::testing::TestParamInfo<std::string>& pacing) { return pacing.param; });

TEST_F(CliTest, PortFailuresSayWhyInWordsAnOperatorCanActOn) {
  EXPECT_EQ(RunLoader({"--port", "abc", "x.bin"}), 3);
  EXPECT_EQ(loader_->StdoutLines(), std::vector<std::string>{"Failure : couldn't initialize COM port"});
  EXPECT_NE(loader_->Stderr().find("names no serial port"), std::string::npos) << loader_->Stderr();

  EXPECT_EQ(RunLoader({"--port", "42", "x.bin"}), 3);
  EXPECT_NE(loader_->Stderr().find("/dev/ttyS41"), std::string::npos) << loader_->Stderr();
  EXPECT_NE(loader_->Stderr().find("com42"), std::string::npos) << loader_->Stderr();

  testing::PseudoTerminal pty;
  std::atomic<LinkMode> mode{LinkMode::Serial};
  SerialLink holder(mode);
  ASSERT_TRUE(holder.OpenLink(pty.SlavePath()));
  EXPECT_EQ(RunLoader({"--port", pty.SlavePath(), "x.bin"}), 3);
  EXPECT_NE(loader_->Stderr().find("busy"), std::string::npos) << loader_->Stderr();
  EXPECT_NE(loader_->Stderr().find(std::to_string(::getpid())), std::string::npos)
      << "names the process that holds it: " << loader_->Stderr();
  holder.CloseLink();

  // A program that opened the device plainly, without any lock (a terminal
  // program, a logger), would eat the replies: the port is refused before
  // anything is sent, naming the program.
  // The shell opens the device, then sleep takes its place: wait for both, or
  // the loader could name the shell.
  ChildProcess terminal({"/bin/sh", "-c", "exec sleep 30 <>" + pty.SlavePath()});
  const std::string proc = "/proc/" + std::to_string(terminal.Pid());
  const auto holding_as_sleep = [&] {
    std::ifstream comm(proc + "/comm");
    std::string name;
    std::getline(comm, name);
    return name == "sleep" && std::filesystem::read_symlink(proc + "/fd/0", ec_) == pty.SlavePath();
  };
  for (int i = 0; i < 1000 && !holding_as_sleep(); ++i) std::this_thread::sleep_for(10ms);
  EXPECT_EQ(RunLoader({"--port", pty.SlavePath(), "x.bin"}), 3);
  EXPECT_NE(loader_->Stderr().find(std::to_string(terminal.Pid()) + " (sleep)"), std::string::npos)
      << loader_->Stderr();
  EXPECT_TRUE(pty.Read(1, 200ms).empty()) << "not even the wake-up went out";
}

TEST_F(CliTest, SendsExactlyTheNamedRegularFileOrNothing) {
  // A Latin-1 name from an old archive, beside the name a lossy conversion
  // would turn it into: the module must receive the first.
  const std::string named = dir_.Path() + "/caf\xe9.bin";
  const std::string decoy = dir_.Path() + "/caf\xef\xbf\xbd.bin";
  std::filesystem::copy_file(Firmware(500), named);
  std::filesystem::copy_file(Firmware(700), decoy);
  StartModule({"--expect", named, "--upgrades", "1"});
  const std::string report = dir_.Path() + "/units.jsonl";
  EXPECT_EQ(RunLoader({"--port", "1", "--report", report, named}), 0) << loader_->Stderr();
  EXPECT_EQ(ModuleStatus(), 0) << module_->Stderr();
  std::ifstream records(report);
  std::string line;
  ASSERT_TRUE(std::getline(records, line));
  EXPECT_EQ(nlohmann::json::parse(line)["firmware_size"], 500);

  // Devices and pipes are no firmware: refused at once, before the wake-up.
  const std::string fifo = dir_.Path() + "/pipe";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  for (const std::string& not_a_file : {std::string("/dev/zero"), fifo}) {
    SCOPED_TRACE(not_a_file);
    StartModule({});
    const auto began = std::chrono::steady_clock::now();
    EXPECT_EQ(RunLoader({"--port", "1", "--report", report, not_a_file}, 10s), 4);
    EXPECT_LT(std::chrono::steady_clock::now() - began, 3s);
    EXPECT_EQ(loader_->StdoutLines().back(), "Failure : couldn't open file");
    module_->Signal(SIGTERM);
    module_->Wait(5s);
    EXPECT_NE(module_->Stderr().find("0 sessions"), std::string::npos) << "the module saw nothing";
  }
}

// Records appended to the image would be flashed to every later unit: a
// --report that is the firmware under any name is refused before anything
// starts (no module here: a run that went on would fail to open port 1 and
// append its record to the file).
TEST_F(CliTest, AReportThatIsTheFirmwareFileIsAUsageError) {
  const std::string fw = Firmware(300);
  auto contents = [&] {
    std::ifstream in(fw, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  };
  const std::string image = contents();
  const std::string hard = dir_.Path() + "/hard.bin", soft = dir_.Path() + "/soft.bin";
  std::filesystem::create_hard_link(fw, hard);
  std::filesystem::create_symlink(fw, soft);
  for (const std::string& report : {fw, hard, soft}) {
    for (const bool station : {false, true}) {
      SCOPED_TRACE(report + (station ? " (station)" : ""));
      std::vector<std::string> args = {"--port", "1", "--report", report, fw};
      if (station) args.insert(args.begin(), {"--station", "--next", "enter"});
      EXPECT_EQ(RunLoader(args, 10s), 2) << loader_->Stderr();
      EXPECT_NE(loader_->Stderr().find("is the firmware file"), std::string::npos) << loader_->Stderr();
      EXPECT_EQ(contents(), image);
    }
  }
  // The forwarder writes its mark and its lock beside the journal: neither
  // may be the firmware either, though neither exists before it runs.
  for (const std::string suffix : {".sent", ".lock"}) {
    SCOPED_TRACE(suffix);
    const std::string journal = dir_.Path() + "/image";
    std::filesystem::copy_file(fw, journal + suffix);
    EXPECT_EQ(RunLoader({"--port", "1", "--report", journal, journal + suffix}, 10s), 2) << loader_->Stderr();
    EXPECT_NE(loader_->Stderr().find("file " + journal + suffix + " is the firmware file"), std::string::npos)
        << loader_->Stderr();
    EXPECT_FALSE(std::filesystem::exists(journal)) << "refused before the journal is opened";
    std::filesystem::remove(journal + suffix);
  }
}

// A station's journal rotated between units, each way a rotation tool or an
// operator does it: every later record lands in a fresh file at the path,
// the renamed file keeps what it had, and each fresh start is said once, on
// the unit whose record started it. Each unit starts on an Enter given only
// once the one before has ended and the journal has been rotated.
TEST_F(CliTest, AStationFollowsItsJournalThroughRotation) {
  const std::string firmware = Firmware(600);
  const std::string journal = dir_.Path() + "/units.jsonl";
  StartModule({"--expect", firmware, "--upgrades", "4"});
  loader_ = std::make_unique<ChildProcess>(
      std::vector<std::string>{ZEVUVURI_CLI_PATH, "--station", "--next", "enter", "--units", "4", "--json", "--port",
                               "1", "--report", journal, firmware},
      Env());
  auto unit_done = [&] {
    for (std::optional<std::string> line; (line = loader_->ReadLine(30s));) {
      if (line->find("\"event\":\"totals\"") != std::string::npos) return true;
    }
    return false;
  };
  auto lines = [](const std::string& path) {
    std::ifstream in(path);
    std::vector<std::string> found;
    for (std::string line; std::getline(in, line);) found.push_back(line);
    return found;
  };
  const std::vector<std::function<void()>> rotations = {
      [&] { std::filesystem::rename(journal, journal + ".1"); },
      [&] { std::filesystem::remove(journal); },
      [&] { std::ofstream(journal, std::ios::trunc); },
  };
  for (std::size_t unit = 1; unit <= 4; ++unit) {
    loader_->WriteStdin("\n");
    ASSERT_TRUE(unit_done()) << "unit " << unit << " did not end: " << loader_->Stderr();
    ASSERT_EQ(lines(journal).size(), 1u) << "unit " << unit;
    EXPECT_NE(lines(journal)[0].find("\"unit\":" + std::to_string(unit)), std::string::npos) << lines(journal)[0];
    if (unit <= rotations.size()) rotations[unit - 1]();
  }
  loader_->CloseStdin();
  ASSERT_EQ(loader_->Wait(30s), 0) << loader_->Stderr();
  EXPECT_EQ(ModuleStatus(), 0) << module_->Stderr();
  ASSERT_EQ(lines(journal + ".1").size(), 1u);
  EXPECT_NE(lines(journal + ".1")[0].find("\"unit\":1"), std::string::npos);
  std::size_t said = 0;
  for (const std::string& line : loader_->StdoutLines()) {
    if (line.find("\"event\":\"note\"") == std::string::npos) continue;
    const auto note = nlohmann::json::parse(line);
    const char* why = said == 0 ? "was moved away or replaced" : said == 1 ? "was deleted" : "was emptied";
    EXPECT_EQ(note["text"], journal + " " + why + ": a fresh journal was started there");
    EXPECT_EQ(note["unit"], said + 2);
    ++said;
  }
  EXPECT_EQ(said, 3u);
}

// A pinned image: a mistyped pin is a usage error; another image is refused
// before the wake-up, in single runs and stations alike, with both hashes
// named and the pin in the record; the approved one (any case) is flashed.
TEST_F(CliTest, APinnedFirmwareIsTheOnlyOneFlashed) {
  const std::string fw = dir_.Path() + "/abc.bin";
  std::ofstream(fw, std::ios::binary) << "abc";
  // SHA-256 of "abc", the standard's own test vector.
  const std::string abc = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";
  const std::string other(64, '0');
  for (const std::string& bad : {std::string(""), abc.substr(1), abc + "0", "g" + abc.substr(1), " " + abc.substr(1)}) {
    SCOPED_TRACE(bad);
    EXPECT_EQ(RunLoader({"--port", "1", "--firmware-sha256", bad, fw}, 10s), 2);
    EXPECT_NE(loader_->Stderr().find("--firmware-sha256"), std::string::npos) << loader_->Stderr();
  }
  const std::string report = dir_.Path() + "/units.jsonl";
  for (const bool station : {false, true}) {
    SCOPED_TRACE(station ? "station" : "single run");
    StartModule({});
    std::vector<std::string> args = {"--port", "1", "--report", report, "--firmware-sha256", other, fw};
    if (station) args.insert(args.begin(), {"--station", "--units", "1"});
    EXPECT_EQ(RunLoader(args, 10s), 4) << loader_->Stderr();
    EXPECT_NE(loader_->Stdout().find("Failure : couldn't open file"), std::string::npos) << loader_->Stdout();
    EXPECT_NE(loader_->Stderr().find(abc), std::string::npos) << loader_->Stderr();
    EXPECT_NE(loader_->Stderr().find(other), std::string::npos) << loader_->Stderr();
    module_->Signal(SIGTERM);
    module_->Wait(5s);
    EXPECT_NE(module_->Stderr().find("0 sessions"), std::string::npos) << module_->Stderr();
  }
  std::string upper = abc;
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  StartModule({"--expect", fw, "--upgrades", "1"});
  EXPECT_EQ(RunLoader({"--port", "1", "--report", report, "--firmware-sha256", upper, fw}), 0) << loader_->Stderr();
  EXPECT_EQ(ModuleStatus(), 0) << module_->Stderr();
  std::ifstream records(report);
  std::vector<nlohmann::json> lines;
  for (std::string line; std::getline(records, line);) lines.push_back(nlohmann::json::parse(line));
  ASSERT_EQ(lines.size(), 3u);
  for (std::size_t i = 0; i < 2; ++i) {
    EXPECT_EQ(lines[i]["approved_sha256"], other);
    EXPECT_EQ(lines[i]["firmware_sha256"], abc);
    EXPECT_EQ(lines[i]["exit_code"], 4);
  }
  EXPECT_EQ(lines[2]["approved_sha256"], abc);
  EXPECT_EQ(lines[2]["result"], "Upgrade OK");
}

// A device path's bytes are opened as given, beside the look-alike that a
// trip through wide text would make of them (which names nothing here).
TEST_F(CliTest, APortPathThatIsNoUtf8OpensExactlyThatPath) {
  const std::string fw = Firmware(200);
  StartModule({"--expect", fw, "--upgrades", "1"});
  const std::string named = dir_.Path() + "/port\xff";
  std::filesystem::create_symlink(device_, named);
  EXPECT_FALSE(std::filesystem::exists(dir_.Path() + "/port\xef\xbf\xbd"));
  EXPECT_EQ(RunLoader({"--port", named, fw}), 0) << loader_->Stderr();
  EXPECT_EQ(ModuleStatus(), 0) << module_->Stderr();
}

TEST_F(CliTest, UsageErrorsAndFilesTooLargeHaveTheirOwnStatus) {
  EXPECT_EQ(RunLoader({"--bogus"}), 2);
  EXPECT_EQ(RunLoader({"--type"}), 2);

  StartModule({});
  const std::string big = dir_.Path() + "/big.bin";
  std::ofstream(big).close();
  std::filesystem::resize_file(big, 1048489);
  EXPECT_EQ(RunLoader({"--port", "1", big}), 9);
  EXPECT_EQ(loader_->StdoutLines().back(), "Failure : file too large");
}

// Over the air with standard input closed: said once, and the module is
// polled until Ctrl-C.
TEST_F(CliTest, OverTheAirWithStandardInputClosedSaysSoOnceAndWaitsForCtrlC) {
  StartModule({"--mode", "air"});
  loader_ = std::make_unique<ChildProcess>(
      std::vector<std::string>{ZEVUVURI_CLI_PATH, "--port", "1", Firmware(10)}, Env());
  loader_->CloseStdin();
  ASSERT_TRUE(loader_->AwaitLine("Acquiring...", 10s));
  std::this_thread::sleep_for(300ms);
  loader_->Signal(SIGINT);
  EXPECT_EQ(loader_->Wait(2s), 130);
  const std::string& err = loader_->Stderr();
  const std::string note = "standard input is closed";
  const auto first = err.find(note);
  EXPECT_NE(first, std::string::npos) << err;
  EXPECT_EQ(err.find(note, first + 1), std::string::npos) << err;
}

TEST_F(CliTest, InterruptClosesThePortAndExits130) {
  StartModule({"--ignore-sync", "100000"});
  loader_ = std::make_unique<ChildProcess>(
      std::vector<std::string>{ZEVUVURI_CLI_PATH, "--port", "1", Firmware(10)}, Env());
  ASSERT_TRUE(loader_->AwaitLine("Synchronising...", 10s));
  loader_->Signal(SIGINT);
  EXPECT_EQ(loader_->Wait(2s), 130);
  // The port is free again: the module (whose fault was for its first
  // session only) takes a full upgrade through the device path.
  EXPECT_EQ(RunLoader({"--port", device_, Firmware(10)}), 0) << loader_->Stderr();
  EXPECT_EQ(ModuleStatus(), 0) << module_->Stderr();
}

// A hang-up (a dropped ssh session) ends the run as Ctrl-C does: the port
// released with its exclusive flag cleared, the unit recorded, 130. Ctrl-C
// after "Upgrade OK" over the air, once the trailer has gone out, leaves a
// good unit: 0, and "Upgrade OK" in the record.
TEST_F(CliTest, SignalsEndTheRunWithTheUnitRecordedAndThePortFree) {
  struct Case {
    const char* what;
    std::vector<std::string> module;
    std::vector<std::string> loader;
    std::string await;
    int signal;
    int exit_code;
    std::string result;
  };
  const std::string fw = Firmware(200);
  const std::string report = dir_.Path() + "/units.jsonl";
  const Case cases[] = {
      {"hang-up while synchronising", {"--ignore-sync", "100000"}, {}, "Synchronising...", SIGHUP, 130,
       "interrupted"},
      {"Ctrl-C in the pause after the over-the-air trailer", {"--mode", "air", "--expect", fw}, {"--yes"},
       "Upgrade OK", SIGINT, 0, "Upgrade OK"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    StartModule(c.module);
    std::vector<std::string> argv = {ZEVUVURI_CLI_PATH, "--port", "1", "--report", report};
    argv.insert(argv.end(), c.loader.begin(), c.loader.end());
    argv.push_back(fw);
    loader_ = std::make_unique<ChildProcess>(argv, Env());
    ASSERT_TRUE(loader_->AwaitLine(c.await, 20s)) << loader_->Stderr();
    std::this_thread::sleep_for(100ms);  // over the air: the trailer is out, the 500 ms pause under way
    loader_->Signal(c.signal);
    EXPECT_EQ(loader_->Wait(3s), c.exit_code) << loader_->Stderr();
    std::ifstream in(report);
    std::string line, last;
    while (std::getline(in, line)) last = line;
    const auto record = nlohmann::json::parse(last, nullptr, false);
    EXPECT_EQ(record.is_object() ? record.value("result", "") : "no record", c.result);
    EXPECT_EQ(record.is_object() ? record.value("exit_code", -1) : -1, c.exit_code);
    if (c.signal == SIGHUP) {
      // Root opens an exclusive terminal anyway, so ask for the flag itself.
      const int fd = ::open(device_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
      ASSERT_GE(fd, 0) << std::strerror(errno);
      int exclusive = -1;
      EXPECT_EQ(::ioctl(fd, TIOCGEXCL, &exclusive), 0);
      EXPECT_EQ(exclusive, 0) << "the exclusive flag outlived the loader";
      ::close(fd);
    } else {
      EXPECT_EQ(ModuleStatus(), 0) << module_->Stderr();
    }
    module_.reset();
  }
}

// Standard output that cannot be written is said on standard error and fails
// the run (12), but the upgrade under way goes through.
TEST_F(CliTest, UnwritableOutputFailsTheRunButNotTheUpgrade) {
  const std::string fw = Firmware(100);
  const std::pair<const char*, std::string> cases[] = {
      {"a full disk", "exec \"$@\" >/dev/full"},
      {"a closed pipe", "\"$@\" | true; exit ${PIPESTATUS[0]}"},
  };
  for (const auto& [what, script] : cases) {
    SCOPED_TRACE(what);
    StartModule({"--mode", "air", "--expect", fw});
    loader_ = std::make_unique<ChildProcess>(
        std::vector<std::string>{"/bin/bash", "-c", script, "bash", ZEVUVURI_CLI_PATH, "--port", "1", "--yes", fw},
        Env());
    loader_->CloseStdin();
    EXPECT_EQ(loader_->Wait(30s), 12) << loader_->Stderr();
    EXPECT_NE(loader_->Stderr().find("standard output"), std::string::npos) << loader_->Stderr();
    EXPECT_EQ(ModuleStatus(), 0) << module_->Stderr();
    module_.reset();
  }
}

// Port texts that are not UTF-8: every line stays JSON, the bytes replaced
// by U+FFFD, and the run ends with its ordinary status.
TEST_F(CliTest, JsonLinesStayValidForTextsThatAreNotUtf8) {
  const std::string report = dir_.Path() + "/units.jsonl";
  const std::vector<std::string> runs[] = {
      {"--json", "--port", "\xff" "1", "fw.bin"},
      {"--json", "--port", "\xff", "--port", "\xfe", "--report", report, "fw.bin"},
  };
  for (const auto& args : runs) {
    SCOPED_TRACE(args.size());
    EXPECT_EQ(RunLoader(args), 3) << loader_->Stderr();
    ASSERT_FALSE(loader_->StdoutLines().empty());
    std::set<std::string> ports;
    for (const auto& line : loader_->StdoutLines()) {
      const auto event = nlohmann::json::parse(line, nullptr, false);
      ASSERT_TRUE(event.is_object()) << line;
      if (event.contains("port")) ports.insert(event["port"]);
    }
    EXPECT_TRUE(ports.count("\xEF\xBF\xBD" "1") == 1 || ports.count("\xEF\xBF\xBD") == 1) << loader_->Stdout();
  }
  std::ifstream in(report);
  std::string line;
  int records = 0;
  for (; std::getline(in, line); ++records) EXPECT_TRUE(nlohmann::json::parse(line, nullptr, false).is_object());
  EXPECT_EQ(records, 2);
}

TEST_F(CliTest, JsonEventsCarryStatusProgressLinkModeAndResult) {
  const std::string firmware = Firmware(5000);
  StartModule({"--mode", "air", "--expect", firmware});
  EXPECT_EQ(RunLoader({"--port", "1", "--json", "--yes", "--pacing", "fast", firmware}), 0) << loader_->Stderr();
  std::vector<std::string> statuses;
  std::optional<nlohmann::json> result, last_progress;
  bool saw_mode = false;
  for (const auto& line : loader_->StdoutLines()) {
    const auto event = nlohmann::json::parse(line);  // every line is one whole JSON object
    if (event["event"] == "status") statuses.push_back(event["text"]);
    if (event["event"] == "progress") last_progress = event;
    if (event["event"] == "result") result = event;
    if (event["event"] == "link_mode") saw_mode = event["mode"] == "over_the_air";
  }
  EXPECT_TRUE(saw_mode);
  EXPECT_EQ(statuses.back(), "Upgrade OK");
  ASSERT_TRUE(last_progress);
  EXPECT_EQ((*last_progress)["bytes"], 5000);
  EXPECT_EQ((*last_progress)["total"], 5000);
  ASSERT_TRUE(result);
  EXPECT_EQ((*result)["exit_code"], 0);
  EXPECT_EQ((*result)["outcome"], "ok");
  EXPECT_EQ((*result)["pacing"], "fast");
  EXPECT_GT((*result)["duration_s"].get<double>(), 0.0);
  EXPECT_EQ(ModuleStatus(), 0) << module_->Stderr();
}

TEST_F(CliTest, ListPortsShowsTheComLinksAndWhereTheyLead) {
  StartModule({});
  EXPECT_EQ(RunLoader({"--list-ports"}), 0);
  EXPECT_NE(loader_->Stdout().find("COM 1 -> " + device_), std::string::npos) << loader_->Stdout();
}

TEST_F(CliTest, TraceShowsFramesSentAndRepliesReceived) {
  StartModule({});
  EXPECT_EQ(RunLoader({"--port", "1", "--trace", Firmware(10)}), 0);
  const std::string& err = loader_->Stderr();
  EXPECT_NE(err.find("sent 10: 41 54 5A 0D 0A 41 54 5A 0D 0A"), std::string::npos) << err;
  EXPECT_NE(err.find("sent 60: 00 00 50 00"), std::string::npos) << err;
  EXPECT_NE(err.find("recv 1: 31"), std::string::npos) << err;
  EXPECT_NE(err.find("sent 4: 70 00 70 00"), std::string::npos) << err;
}

}  // namespace
}  // namespace zevuvuri
