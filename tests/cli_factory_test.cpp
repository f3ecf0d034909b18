// zevuvuri-cli on a factory line: several simulated modules upgraded at once
// by one command, the record per unit, and the station doctor against
// prepared environments.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <set>
#include <thread>
#include <tuple>

#include "engine/serial_link.h"
#include "tests/support/child_process.h"
#include "tests/support/fake_station.h"
#include "tests/support/pseudo_terminal.h"
#include "tests/support/module_on_pty.h"

namespace zevuvuri {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testing::ChildProcess;
using testing::ReadFile;
using testing::TempDir;
using testing::WriteFile;

// The digest from the system's own tool, not from the loader's code.
// The digest of the file's first `bytes` bytes (all of it by default).
std::string Sha256Sum(const std::string& path, long bytes = -1) {
  std::string command = bytes < 0 ? "sha256sum '" + path + "'"
                                  : "head -c " + std::to_string(bytes) + " '" + path + "' | sha256sum";
  std::FILE* p = ::popen(command.c_str(), "r");
  char digest[65] = {};
  if (p == nullptr || std::fread(digest, 1, 64, p) != 64) digest[0] = '\0';
  if (p != nullptr) ::pclose(p);
  return digest;
}

class FactoryTest : public ::testing::Test {
 protected:
  // Starts a simulator as COM port `com`; returns its device.
  std::string StartModule(int com, std::vector<std::string> args) {
    std::vector<std::string> argv = {ZEVUVURI_SIM_PATH, "--com", std::to_string(com), "--timeout", "60"};
    argv.insert(argv.end(), args.begin(), args.end());
    modules_[com] = std::make_unique<ChildProcess>(argv, Env());
    const auto device = modules_[com]->ReadLine(10s);
    EXPECT_TRUE(device) << "the simulator did not start";
    return device.value_or("");
  }
  int RunLoader(std::vector<std::string> args, const std::map<std::string, std::string>& env,
                std::vector<std::string> prefix = {}) {
    std::vector<std::string> argv = prefix;
    argv.push_back(ZEVUVURI_CLI_PATH);
    argv.insert(argv.end(), args.begin(), args.end());
    loader_ = std::make_unique<ChildProcess>(argv, env);
    loader_->CloseStdin();
    const auto status = loader_->Wait(90s);
    EXPECT_TRUE(status) << "the loader did not end";
    return status.value_or(-1);
  }
  int ModuleStatus(int com) {
    const auto status = modules_[com]->Wait(30s);
    EXPECT_TRUE(status) << "the simulator did not end";
    return status.value_or(-1);
  }
  std::map<std::string, std::string> Env() const { return {{"ZEVUVURI_PORT_DIR", dir_.Path() + "/ports"}}; }
  std::string Firmware(std::size_t size) {
    const std::string path = dir_.Path() + "/fw-" + std::to_string(size) + ".bin";
    std::ofstream out(path, std::ios::binary);
    for (std::size_t i = 0; i < size; ++i) out.put(static_cast<char>((i * 131 + 11) & 0xFF));
    return path;
  }

  TempDir dir_;
  std::map<int, std::unique_ptr<ChildProcess>> modules_;
  std::unique_ptr<ChildProcess> loader_;
};

TEST_F(FactoryTest, FourModulesAtOnceOneRefusingAFrameOneVanishing) {
  const std::string fw = Firmware(3000);  // 54 data frames and the empty one
  const std::string report = dir_.Path() + "/units.jsonl";
  WriteFile(report, "{\"earlier\":\"record\"}\n");
  const std::string saved1 = dir_.Path() + "/saved1.bin", saved4 = dir_.Path() + "/saved4.bin";
  std::map<int, std::string> devices;
  devices[1] = StartModule(1, {"--expect", fw, "--save", saved1, "--type", "24"});
  devices[2] = StartModule(2, {"--expect", fw, "--vanish", "data:20"});
  devices[3] = StartModule(3, {"--expect", fw, "--refuse-data", "3"});
  devices[4] = StartModule(4, {"--expect", fw, "--save", saved4, "--mode", "air", "--type", "24"});

  // Not a terminal: plain lines, each with its port.
  const int status = RunLoader({"--port", "1", "--port", "2", "--port", "3", "--port", devices[4], "--type", "24",
                                "--yes", "--report", report, fw},
                               Env());
  EXPECT_EQ(status, 6) << loader_->Stderr();

  EXPECT_EQ(ModuleStatus(1), 0) << modules_[1]->Stderr();
  EXPECT_EQ(ModuleStatus(2), 4) << "the vanish fault closed its port";
  EXPECT_EQ(ModuleStatus(4), 0) << modules_[4]->Stderr();
  EXPECT_EQ(ReadFile(saved1), ReadFile(fw));
  EXPECT_EQ(ReadFile(saved4), ReadFile(fw));

  const auto lines = loader_->StdoutLines();
  auto has = [&](const std::string& line) { return std::find(lines.begin(), lines.end(), line) != lines.end(); };
  EXPECT_TRUE(has("1: Upgrading over serial port"));
  EXPECT_TRUE(has("1: Upgrade OK"));
  EXPECT_TRUE(has("2: Write Error"));
  EXPECT_TRUE(has("3: Write Error"));
  EXPECT_TRUE(has(devices[4] + ": Upgrading over the air"));
  EXPECT_TRUE(has(devices[4] + ": Upgrade OK"));

  // The summary: a header, then one row per port in the order given.
  const auto header = std::find_if(lines.begin(), lines.end(), [](const auto& l) { return l.rfind("PORT", 0) == 0; });
  ASSERT_NE(header, lines.end()) << loader_->Stdout();
  ASSERT_EQ(lines.end() - header, 5);
  const std::vector<std::pair<std::string, std::string>> rows = {
      {"1", "Upgrade OK"}, {"2", "Write Error"}, {"3", "Write Error"}, {devices[4], "Upgrade OK"}};
  for (std::size_t i = 0; i < rows.size(); ++i) {
    const std::string& row = *(header + 1 + static_cast<long>(i));
    EXPECT_EQ(row.rfind(rows[i].first + " ", 0), 0u) << row;
    EXPECT_NE(row.find(rows[i].second), std::string::npos) << row;
    EXPECT_EQ(row.substr(row.size() - 2), " s") << row;
  }

  // The report: the earlier record kept, then one whole record per unit.
  std::ifstream in(report);
  std::string line;
  std::getline(in, line);
  EXPECT_EQ(line, "{\"earlier\":\"record\"}");
  std::map<std::string, nlohmann::json> records;
  while (std::getline(in, line)) {
    const auto j = nlohmann::json::parse(line);
    records[j["port"]] = j;
  }
  ASSERT_EQ(records.size(), 4u);
  ASSERT_EQ(Sha256Sum(fw).size(), 64u);
  struct Expected {
    std::string port;
    std::string device;
    std::string result;
    int exit_code;
    int frames;
    std::string mode;
  };
  const Expected expected[] = {
      {"1", devices[1], "Upgrade OK", 0, 55, "serial"},
      {"2", devices[2], "Write Error", 6, 20, "serial"},
      {"3", devices[3], "Write Error", 6, 3, "serial"},
      {devices[4], devices[4], "Upgrade OK", 0, 55, "over_the_air"},
  };
  for (const auto& e : expected) {
    SCOPED_TRACE(e.port);
    const auto& r = records[e.port];
    EXPECT_EQ(r["device"], e.device) << "the COM link followed to the device";
    EXPECT_EQ(r["result"], e.result);
    EXPECT_EQ(r["exit_code"], e.exit_code);
    EXPECT_EQ(r["data_frames_sent"], e.frames);
    EXPECT_EQ(r["link_mode"], e.mode);
    EXPECT_EQ(r["firmware"], fw);
    // The image the upgrade took, whole, however far it got.
    EXPECT_EQ(r["firmware_size"], 3000);
    EXPECT_EQ(r["firmware_sha256"], Sha256Sum(fw));
    EXPECT_EQ(r["type_code"], 24);
    EXPECT_EQ(r["pacing"], "classic");
    EXPECT_GT(r["duration_s"].get<double>(), 0.0);
    EXPECT_TRUE(r["usb"].is_null()) << "a pseudo-terminal has no USB adapter";
    char host[256] = {};
    ::gethostname(host, sizeof host - 1);
    EXPECT_EQ(r["host"], host);
  }
}

// The first failure in the order the ports were given decides the status,
// not the first in time nor the lowest code; every JSON event names its port.
TEST_F(FactoryTest, ExitStatusFollowsThePortOrderAndJsonEventsCarryThePort) {
  const std::string fw = Firmware(600);
  StartModule(1, {"--refuse-data", "5"});  // "Write Error", 6, after the 2 s serial start pause
  StartModule(2, {"--refuse-poll", "1"});  // "Did not get local ACK", 5, much earlier
  EXPECT_EQ(RunLoader({"--port", "1", "--port", "2", "--json", fw}, Env()), 6) << loader_->Stderr();
  std::optional<nlohmann::json> summary;
  std::map<std::string, std::string> last_status;
  for (const auto& line : loader_->StdoutLines()) {
    const auto event = nlohmann::json::parse(line);
    if (event["event"] == "summary") {
      summary = event;
      continue;
    }
    ASSERT_TRUE(event.contains("port")) << line;
    if (event["event"] == "status") last_status[event["port"]] = event["text"];
  }
  EXPECT_EQ(last_status["1"], "Write Error");
  EXPECT_EQ(last_status["2"], "Did not get local ACK");
  ASSERT_TRUE(summary);
  EXPECT_EQ((*summary)["exit_code"], 6);
  ASSERT_EQ((*summary)["ports"].size(), 2u);
  EXPECT_EQ((*summary)["ports"][1]["exit_code"], 5);

  // A port that does not open fails alone, with its reason, beside a good one.
  StartModule(3, {"--expect", fw});
  EXPECT_EQ(RunLoader({"--port", "abc", "--port", "3", fw}, Env()), 3);
  EXPECT_EQ(ModuleStatus(3), 0) << modules_[3]->Stderr();
  EXPECT_NE(loader_->Stdout().find("3: Upgrade OK"), std::string::npos) << loader_->Stdout();
  EXPECT_NE(loader_->Stderr().find("abc: 'abc' names no serial port"), std::string::npos) << loader_->Stderr();
}

// Reads the loader's output until every one of `lines` has come, in any order.
bool AwaitAll(ChildProcess& loader, std::set<std::string> lines, std::chrono::milliseconds limit) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (!lines.empty()) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    const auto line = loader.ReadLine(left);
    if (!line) return false;
    lines.erase(*line);
  }
  return true;
}

TEST_F(FactoryTest, OneEnterConfirmsEveryPortWaitingOverTheAir) {
  const std::string fw = Firmware(400);
  StartModule(1, {"--mode", "air", "--expect", fw});
  StartModule(2, {"--mode", "air", "--expect", fw});
  loader_ = std::make_unique<ChildProcess>(
      std::vector<std::string>{ZEVUVURI_CLI_PATH, "--port", "1", "--port", "2", fw}, Env());
  ASSERT_TRUE(AwaitAll(*loader_, {"1: Acquiring...", "2: Acquiring..."}, 10s));
  std::this_thread::sleep_for(300ms);  // both keep polling while nobody presses Enter
  EXPECT_FALSE(loader_->Wait(0ms)) << "it must wait for the confirm";
  loader_->WriteStdin("\n");
  ASSERT_TRUE(AwaitAll(*loader_, {"1: Upgrade OK", "2: Upgrade OK"}, 20s));
  EXPECT_EQ(loader_->Wait(10s), 0);
  EXPECT_EQ(ModuleStatus(1), 0) << modules_[1]->Stderr();
  EXPECT_EQ(ModuleStatus(2), 0) << modules_[2]->Stderr();
}

TEST_F(FactoryTest, InterruptClosesEveryPortAndRecordsEachUnit) {
  const std::string report = dir_.Path() + "/units.jsonl";
  StartModule(1, {"--ignore-sync", "100000"});
  StartModule(2, {"--ignore-sync", "100000"});
  loader_ = std::make_unique<ChildProcess>(
      std::vector<std::string>{ZEVUVURI_CLI_PATH, "--port", "1", "--port", "2", "--report", report, Firmware(10)},
      Env());
  ASSERT_TRUE(AwaitAll(*loader_, {"1: Synchronising...", "2: Synchronising..."}, 10s));
  loader_->Signal(SIGINT);
  EXPECT_EQ(loader_->Wait(3s), 130);
  EXPECT_NE(loader_->Stdout().find("interrupted"), std::string::npos) << "in the summary: " << loader_->Stdout();
  std::ifstream in(report);
  std::string line;
  std::set<std::string> ports;
  while (std::getline(in, line)) {
    const auto r = nlohmann::json::parse(line);
    EXPECT_EQ(r["result"], "interrupted");
    EXPECT_EQ(r["exit_code"], 130);
    ports.insert(r["port"]);
  }
  EXPECT_EQ(ports, (std::set<std::string>{"1", "2"}));
}

// Ctrl-C stops every port at once: modules that go on answering at once get
// nothing more once the loader has had a moment to take the signal.
TEST_F(FactoryTest, InterruptStopsEveryPortAtOnce) {
  using testing::ModuleConfig;
  using testing::ModuleOnPty;
  using testing::WireMessage;
  using Clock = std::chrono::steady_clock;
#if defined(__SANITIZE_THREAD__)
  // ThreadSanitizer slows the loader's wake-up and its threads' start several
  // times over: a frame or two more may go out in that moment, none later.
  constexpr auto kMoment = 50ms;
#else
  constexpr auto kMoment = 5ms;
#endif
  std::atomic<pid_t> loader_pid{0};
  std::atomic<Clock::rep> signalled{0};
  std::vector<std::unique_ptr<ModuleOnPty>> modules;
  std::vector<std::string> argv = {ZEVUVURI_CLI_PATH};
  for (int i = 0; i < 3; ++i) {
    // Ctrl-C as the first module's fifth data frame arrives.
    modules.push_back(std::make_unique<ModuleOnPty>(ModuleConfig(false), [&, i](const WireMessage& m, int nth) {
      if (i == 0 && m.kind == WireMessage::Kind::Data && nth == 5) {
        signalled = Clock::now().time_since_epoch().count();
        ::kill(loader_pid.load(), SIGINT);
      }
    }));
    argv.insert(argv.end(), {"--port", modules.back()->Port()});
  }
  argv.push_back(Firmware(20000));
  loader_ = std::make_unique<ChildProcess>(argv, Env());
  loader_pid = loader_->Pid();
  EXPECT_EQ(loader_->Wait(20s), 130) << loader_->Stderr();
  ASSERT_NE(signalled.load(), 0) << "the data phase never began";
  const Clock::time_point moment{Clock::duration{signalled.load()} + kMoment};
  for (const auto& module : modules) {
    for (const auto& m : module->Messages()) {
      EXPECT_LT(m.at, moment) << "message of kind " << static_cast<int>(m.kind) << " sent "
                              << std::chrono::duration<double, std::milli>(m.at - moment + kMoment).count()
                              << " ms after the signal";
    }
  }
}

// A --report that is no regular file: a FIFO without a reader is waited for
// until Ctrl-C (130, no module touched); a FIFO with a reader and standard
// output take the record whole, and the run ends 0; a reader that stops
// reading holds the loader only until Ctrl-C, or for the record's 2 s.
TEST_F(FactoryTest, ReportsIntoFifosAndStreams) {
  const std::string fw = Firmware(100);
  StartModule(1, {"--mode", "air", "--expect", fw, "--upgrades", "3"});
  const std::string fifo = dir_.Path() + "/units.fifo";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  loader_ = std::make_unique<ChildProcess>(
      std::vector<std::string>{ZEVUVURI_CLI_PATH, "--port", "1", "--yes", "--report", fifo, fw}, Env());
  std::this_thread::sleep_for(300ms);
  EXPECT_FALSE(loader_->Wait(0ms)) << "it waits for a reader";
  loader_->Signal(SIGINT);
  EXPECT_EQ(loader_->Wait(3s), 130) << loader_->Stderr();
  EXPECT_TRUE(loader_->Stdout().empty()) << loader_->Stdout();

  // A reader that stays: it reads until the record's newline.
  const int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  ASSERT_GE(reader, 0);
  std::string record;
  std::thread reading([&] {
    const auto end = std::chrono::steady_clock::now() + 30s;
    while (record.find('\n') == std::string::npos && std::chrono::steady_clock::now() < end) {
      pollfd p{reader, POLLIN, 0};
      ::poll(&p, 1, 10);
      char buffer[4096];
      const ssize_t n = ::read(reader, buffer, sizeof buffer);
      if (n > 0) record.append(buffer, static_cast<std::size_t>(n));
      if (n <= 0) std::this_thread::sleep_for(5ms);  // no writer yet, or between writers
    }
  });
  EXPECT_EQ(RunLoader({"--port", "1", "--yes", "--report", fifo, fw}, Env()), 0) << loader_->Stderr();
  reading.join();
  ::close(reader);
  EXPECT_EQ(nlohmann::json::parse(record, nullptr, false).value("result", ""), "Upgrade OK") << record;

  EXPECT_EQ(RunLoader({"--port", "1", "--yes", "--report", "/dev/stdout", fw}, Env()), 0) << loader_->Stderr();
  ASSERT_FALSE(loader_->StdoutLines().empty());
  EXPECT_EQ(nlohmann::json::parse(loader_->StdoutLines().back(), nullptr, false).value("result", ""), "Upgrade OK")
      << loader_->Stdout();

  // A reader that stays but never reads: two ports that fail at once, each
  // record over half of a 4096-byte pipe, so the second waits for room.
  // Ctrl-C still ends the run, 130.
  const int stalled = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  ASSERT_GE(stalled, 0);
  ASSERT_EQ(::fcntl(stalled, F_SETPIPE_SZ, 4096), 4096);
  std::string long_fw = dir_.Path() + "/";
  for (int i = 0; i < 1100; ++i) long_fw += "./";
  long_fw += fs::path(fw).filename().string();
  loader_ = std::make_unique<ChildProcess>(
      std::vector<std::string>{ZEVUVURI_CLI_PATH, "--port", dir_.Path() + "/gone1", "--port", dir_.Path() + "/gone2",
                               "--report", fifo, long_fw},
      Env());
  int queued = 0;
  for (int i = 0; i < 500 && queued == 0; ++i) {
    std::this_thread::sleep_for(10ms);
    ::ioctl(stalled, FIONREAD, &queued);
  }
  ASSERT_GT(queued, 2048) << "the first record: " << loader_->Stderr();
  std::this_thread::sleep_for(200ms);  // the second record's write waits
  EXPECT_FALSE(loader_->Wait(0ms)) << loader_->Stderr();
  loader_->Signal(SIGINT);
  EXPECT_EQ(loader_->Wait(5s), 130) << loader_->Stderr();
  EXPECT_NE(loader_->Stderr().find("the record could not be written"), std::string::npos) << loader_->Stderr();

  // The same reader, its pipe filled to the brim: an upgrade that ends OK
  // ends the run by itself, its record not written (11), said on the unit's
  // line and on the records' line.
  const int filler = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
  ASSERT_GE(filler, 0);
  const std::string block(512, 'x');
  while (::write(filler, block.data(), block.size()) > 0 || ::write(filler, block.data(), 1) > 0) {
  }
  ::close(filler);
  EXPECT_EQ(RunLoader({"--port", "1", "--yes", "--report", fifo, fw}, Env()), 11) << loader_->Stderr();
  EXPECT_EQ(loader_->StdoutLines().back(), "Upgrade OK") << loader_->Stdout();
  const std::string said = fifo + ": its reader took no more for 2 s";
  EXPECT_NE(loader_->Stderr().find("the record could not be written: " + said), std::string::npos)
      << loader_->Stderr();
  EXPECT_NE(loader_->Stderr().find("records: the record was not written: " + said), std::string::npos)
      << loader_->Stderr();
  EXPECT_EQ(ModuleStatus(1), 0) << modules_[1]->Stderr();
  ::close(stalled);
}

TEST_F(FactoryTest, AnUnwritableReportOrOneDeviceTwiceStopsBeforeAnyModuleIsTouched) {
  const std::string device = StartModule(1, {"--expect", Firmware(10)});
  EXPECT_EQ(RunLoader({"--port", "1", "--report", dir_.Path() + "/no/such/dir/units.jsonl", Firmware(10)}, Env()),
            11);
  EXPECT_TRUE(loader_->Stdout().empty()) << loader_->Stdout();
  EXPECT_NE(loader_->Stderr().find("--report"), std::string::npos);

  EXPECT_EQ(RunLoader({"--port", "1", "--port", device, Firmware(10)}, Env()), 2);
  EXPECT_TRUE(loader_->Stdout().empty()) << loader_->Stdout();
  EXPECT_NE(loader_->Stderr().find("name the same device " + device), std::string::npos) << loader_->Stderr();

  // The module was not touched: its one upgrade is still to come.
  EXPECT_EQ(RunLoader({"--port", device, Firmware(10)}, Env()), 0) << loader_->Stderr();
  EXPECT_EQ(ModuleStatus(1), 0) << modules_[1]->Stderr();
}

// Station mode: the same loader run as a station, each port a slot that
// takes unit after unit from a simulator playing boards in turn.
class StationTest : public FactoryTest {
 protected:
  std::vector<nlohmann::json> Records(const std::string& path) {
    std::vector<nlohmann::json> records;
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);) records.push_back(nlohmann::json::parse(line));
    return records;
  }
  // The loader's JSON events until one satisfies `done`; all of them.
  std::vector<nlohmann::json> EventsUntil(const std::function<bool(const nlohmann::json&)>& done,
                                          std::chrono::milliseconds limit) {
    std::vector<nlohmann::json> events;
    const auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
      const auto line = loader_->ReadLine(
          std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now()));
      if (!line) break;
      events.push_back(nlohmann::json::parse(*line));
      if (done(events.back())) return events;
    }
    ADD_FAILURE() << "the awaited event did not come";
    return events;
  }
};

// Two slots, three boards each: slot 1's second board refuses the first poll,
// slot 2's third is pulled while its data streams. Every board is upgraded
// once (the simulators end 0 only then), good boards whole, one record per
// unit; the first failing unit by number decides the status.
TEST_F(StationTest, TwoSlotsTakeUnitAfterUnitWithARecordEachAndTheShiftsTotals) {
  const std::string fw = Firmware(1500);  // 27 data frames and the empty one
  const std::string report = dir_.Path() + "/units.jsonl";
  const std::string saved[] = {dir_.Path() + "/slot1.bin", dir_.Path() + "/slot2.bin"};
  StartModule(1, {"--units", "3", "--plug-gap-ms", "200", "--expect", fw, "--save", saved[0], "--board",
                  "2:--refuse-poll 1"});
  StartModule(2, {"--units", "3", "--plug-gap-ms", "200", "--expect", fw, "--save", saved[1], "--board",
                  "3:--vanish data:20"});
  const int status = RunLoader({"--station", "--units", "6", "--port", "1", "--port", "2", "--report", report, fw}, Env());
  EXPECT_EQ(ModuleStatus(1), 0) << modules_[1]->Stderr();
  EXPECT_EQ(ModuleStatus(2), 0) << modules_[2]->Stderr();
  for (const std::string& board : {saved[0] + ".1", saved[0] + ".3", saved[1] + ".1", saved[1] + ".2"}) {
    EXPECT_TRUE(ReadFile(board) == ReadFile(fw)) << board << " is not the firmware whole";
  }
  EXPECT_FALSE(fs::exists(saved[0] + ".2"));
  EXPECT_FALSE(fs::exists(saved[1] + ".3"));

  const auto records = Records(report);
  ASSERT_EQ(records.size(), 6u);
  std::map<std::string, std::map<int, nlohmann::json>> by_port;  // port, unit, record
  for (const auto& r : records) by_port[r["port"]][r["unit"]] = r;
  struct Expected {
    std::string result;
    int exit_code;
    int frames;
  };
  const std::map<std::string, std::vector<Expected>> expected = {
      {"1", {{"Upgrade OK", 0, 28}, {"Did not get local ACK", 5, 0}, {"Upgrade OK", 0, 28}}},
      {"2", {{"Upgrade OK", 0, 28}, {"Upgrade OK", 0, 28}, {"Write Error", 6, 20}}}};
  std::set<int> units;
  for (const auto& [port, results] : expected) {
    ASSERT_EQ(by_port[port].size(), 3u) << port;
    auto r = by_port[port].begin();
    for (const auto& e : results) {
      SCOPED_TRACE(port + " #" + std::to_string(r->first));
      EXPECT_EQ(r->second["result"], e.result);
      EXPECT_EQ(r->second["exit_code"], e.exit_code);
      EXPECT_EQ(r->second["data_frames_sent"], e.frames);
      EXPECT_EQ(r->second["station_run"], records[0]["station_run"]);
      // Each result line names its port and unit.
      EXPECT_NE(loader_->Stdout().find(port + " #" + std::to_string(r->first) + ": " + e.result + "\n"),
                std::string::npos);
      units.insert(r->first);
      ++r;
    }
  }
  EXPECT_EQ(units, (std::set<int>{1, 2, 3, 4, 5, 6}));
  // The status is the first failed unit's by number: slot 1's second board
  // as a rule, slot 2's third when a loaded machine held slot 1 back.
  int first_failed = 0;
  for (int unit = 6; unit >= 1; --unit) {
    for (const auto& [port, units_of_port] : by_port) {
      const auto r = units_of_port.find(unit);
      if (r != units_of_port.end() && r->second["exit_code"] != 0) first_failed = r->second["exit_code"];
    }
  }
  EXPECT_EQ(status, first_failed) << loader_->Stdout() << loader_->Stderr();
  EXPECT_TRUE(status == 5 || status == 6) << status;
  EXPECT_TRUE(records[0]["station_run"].is_string() && !records[0]["station_run"].get<std::string>().empty());

  // The summary of the shift: a row per port, one for all, the totals.
  const auto lines = loader_->StdoutLines();
  ASSERT_GE(lines.size(), 4u);
  auto has = [&](const std::string& line) { return std::find(lines.begin(), lines.end(), line) != lines.end(); };
  EXPECT_TRUE(has("1           3        2        1    66.7 %")) << loader_->Stdout();
  EXPECT_TRUE(has("2           3        2        1    66.7 %"));
  EXPECT_TRUE(has("all         6        4        2    66.7 %"));
  EXPECT_EQ(lines.back().rfind("6 units, 4 OK, 2 failed (Did not get local ACK 1, Write Error 1), yield 66.7 %, ", 0),
            0u)
      << lines.back();
  EXPECT_NE(lines.back().find(" units/h, mean "), std::string::npos) << lines.back();
}

// A board left plugged after its upgrade is not flashed again: the slot waits
// for it to go (the simulator keeps it a second, and a second session would
// be its violation). The port is a device path, as a /dev/serial/by-id name.
// A second slot's device is there but no serial port: a failed unit, not
// tried again while it stays. Ctrl-C while the next board streams stops it,
// frees the port and records it.
TEST_F(StationTest, NoUnitIsTakenTwiceWhileItStaysAndCtrlCStopsTheNextMidStream) {
  const std::string fw = Firmware(6000);
  const std::string report = dir_.Path() + "/units.jsonl";
  const std::string path = dir_.Path() + "/ports/com7";
  const std::string no_tty = dir_.Path() + "/not-a-tty";
  WriteFile(no_tty, "");
  StartModule(7, {"--units", "2", "--plug-gap-ms", "1000", "--expect", fw});
  loader_ = std::make_unique<ChildProcess>(
      std::vector<std::string>{ZEVUVURI_CLI_PATH, "--station", "--port", path, "--port", no_tty, "--json",
                               "--report", report, fw},
      Env());
  auto events = EventsUntil([&](const auto& e) { return e["event"] == "result" && e["port"] == path; }, 20s);
  ASSERT_FALSE(events.empty());
  EXPECT_EQ(events.back()["status"], "Upgrade OK");
  const auto first_ended = std::chrono::steady_clock::now();
  events = EventsUntil([](const auto& e) { return e["event"] == "progress" && e["unit"] == 3; }, 20s);
  EXPECT_GE(std::chrono::steady_clock::now() - first_ended, 1900ms) << "plugged 1 s more, then 1 s without a board";
  std::vector<std::string> slot_states;
  for (const auto& e : events) {
    if (e["event"] == "totals") continue;
    EXPECT_EQ(e["port"], path) << "the other slot's device stays and is not taken again: " << e.dump();
    if (e["event"] == "slot") slot_states.push_back(e["state"]);
    if (e["event"] == "status") {
      EXPECT_EQ(e["unit"], 3);
    }
  }
  EXPECT_EQ(slot_states, (std::vector<std::string>{"remove", "waiting"}));
  loader_->Signal(SIGINT);
  EXPECT_EQ(loader_->Wait(3s), 130);
  // The simulator unplugs its second board once the loader let it go, and
  // then has played both, each in one session.
  EXPECT_EQ(ModuleStatus(7), 0) << modules_[7]->Stderr();
  EXPECT_NE(modules_[7]->Stderr().find("board 1: upgraded, 1 session"), std::string::npos);
  EXPECT_NE(modules_[7]->Stderr().find("board 2: not upgraded, 1 session"), std::string::npos);

  // Each record as its unit ended, the failed second before the first.
  auto records = Records(report);
  ASSERT_EQ(records.size(), 3u);
  std::sort(records.begin(), records.end(), [](const auto& a, const auto& b) { return a["unit"] < b["unit"]; });
  const std::vector<std::tuple<int, std::string, std::string, int>> expected = {
      {1, path, "Upgrade OK", 0},
      {2, no_tty, "Failure : couldn't initialize COM port", 3},
      {3, path, "interrupted", 130}};
  for (std::size_t i = 0; i < expected.size(); ++i) {
    const auto& [unit, port, result, code] = expected[i];
    SCOPED_TRACE(unit);
    EXPECT_EQ(records[i]["unit"], unit);
    EXPECT_EQ(records[i]["port"], port);
    EXPECT_EQ(records[i]["result"], result);
    EXPECT_EQ(records[i]["exit_code"], code);
    EXPECT_EQ(records[i]["station_run"], records[0]["station_run"]);
  }
  EXPECT_GT(records[2]["data_frames_sent"], 0);
  const auto summary = nlohmann::json::parse(loader_->StdoutLines().back());
  EXPECT_EQ(summary["event"], "summary");
  EXPECT_EQ(summary["exit_code"], 130);
  EXPECT_EQ(summary["totals"]["units"], 3);
  EXPECT_EQ(summary["totals"]["failures"],
            (nlohmann::json{{"Failure : couldn't initialize COM port", 1}, {"interrupted", 1}}));
  EXPECT_EQ(summary["station_run"], records[0]["station_run"]);
}

// A board that the simulator cannot plug (no pseudo-terminal to be had) is
// its system error, 6, even when it is the last one.
TEST_F(StationTest, ASimulatorThatCannotPlugItsNextBoardEndsWithASystemError) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  // The sanitizers' own runtime makes pipes to look at memory; with no
  // descriptor left it reports errors of its own instead of the simulator's.
  GTEST_SKIP() << "needs a simulator without sanitizer runtime";
#endif
  const std::string device = StartModule(3, {"--units", "2", "--plug-gap-ms", "50"});
  // No descriptor beyond those it holds: the next pseudo-terminal cannot open.
  const rlimit none{3, 3};
  ASSERT_EQ(::prlimit(modules_[3]->Pid(), RLIMIT_NOFILE, &none, nullptr), 0);
  // The first board's port opened and closed, as by a loader: it is taken out.
  const int fd = ::open(device.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  ::close(fd);
  EXPECT_EQ(ModuleStatus(3), 6) << modules_[3]->Stderr();
  EXPECT_NE(modules_[3]->Stderr().find("error: posix_openpt"), std::string::npos) << modules_[3]->Stderr();
}

// Fixed fixtures: Enter through a pipe starts every slot waiting, and also
// confirms a unit waiting over the air. An Enter while nothing waits is
// dropped: it cannot start the board just upgraded again. The end of input
// ends the station once its units are done.
TEST_F(StationTest, EnterThroughAPipeStartsEveryWaitingSlotAndConfirmsOverTheAir) {
  const std::string fw = Firmware(400);
  StartModule(1, {"--upgrades", "2", "--expect", fw});
  StartModule(2, {"--upgrades", "2", "--mode", "air", "--expect", fw});
  loader_ = std::make_unique<ChildProcess>(
      std::vector<std::string>{ZEVUVURI_CLI_PATH, "--station", "--next", "enter", "--port", "1", "--port", "2", fw},
      Env());
  ASSERT_TRUE(AwaitAll(*loader_, {"1: waiting for Enter", "2: waiting for Enter"}, 10s));
  std::this_thread::sleep_for(300ms);
  EXPECT_FALSE(loader_->ReadLine(50ms)) << "nothing starts without Enter";
  for (const int first : {1, 3}) {
    const std::string serial = "1 #" + std::to_string(first) + ": ";
    const std::string air = "2 #" + std::to_string(first + 1) + ": ";
    loader_->WriteStdin("\n");
    // Slot 1 is in its serial start pause when slot 2 waits for the confirm.
    ASSERT_TRUE(AwaitAll(*loader_, {serial + "Running", air + "Acquiring..."}, 10s)) << loader_->Stdout();
    loader_->WriteStdin("\n");
    ASSERT_TRUE(AwaitAll(*loader_, {air + "Upgrading over the air"}, 10s)) << loader_->Stdout();
    loader_->WriteStdin("\n");  // nothing waits: dropped
    ASSERT_TRUE(AwaitAll(*loader_, {serial + "Upgrade OK", air + "Upgrade OK", "1: waiting for Enter",
                                    "2: waiting for Enter"},
                         20s))
        << loader_->Stdout();
    std::this_thread::sleep_for(300ms);
    for (auto line = loader_->ReadLine(50ms); line; line = loader_->ReadLine(50ms)) {
      EXPECT_EQ(line->find("Running"), std::string::npos) << "the dropped Enter started a unit: " << *line;
    }
  }
  loader_->CloseStdin();
  EXPECT_EQ(loader_->Wait(10s), 0) << loader_->Stderr();
  EXPECT_EQ(ModuleStatus(1), 0) << modules_[1]->Stderr();
  EXPECT_EQ(ModuleStatus(2), 0) << modules_[2]->Stderr();
  EXPECT_NE(loader_->Stdout().find("4 units, 4 OK, 0 failed, yield 100.0 %"), std::string::npos) << loader_->Stdout();
}

// --next scan: each line on standard input is a board's serial number. An
// empty scan and one with a control character are refused and start nothing;
// of two waiting slots the one that has waited longest takes a scan; a scan
// with no slot waiting is dropped. A serial number that already had "Upgrade
// OK" with this image, in the journal before the run or during it, is a
// repeat; the same serial number with another image is not.
TEST_F(StationTest, ScansStartTheLongestWaitingSlotAndRepeatsAreFlagged) {
  const std::string fw = Firmware(400);
  const std::string sha = Sha256Sum(fw);
  const std::string report = dir_.Path() + "/units.jsonl";
  WriteFile(report, R"({"record_id":"0123456789abcdef0123456789abcdef","start":"2026-12-01T08:00:00.000Z",)"
                    R"("result":"Upgrade OK","serial_number":"SN-B","firmware_sha256":")" + sha + "\"}\n" +
                    R"({"record_id":"fedcba9876543210fedcba9876543210","start":"2026-12-01T08:01:00.000Z",)"
                    R"("result":"Upgrade OK","serial_number":"SN-A","firmware_sha256":")" + std::string(64, 'e') +
                    "\"}\n");
  StartModule(1, {"--upgrades", "2", "--expect", fw});
  StartModule(2, {"--upgrades", "1", "--expect", fw});
  loader_ = std::make_unique<ChildProcess>(
      std::vector<std::string>{ZEVUVURI_CLI_PATH, "--station", "--next", "scan", "--port", "1", "--port", "2",
                               "--report", report, fw},
      Env());
  ASSERT_TRUE(AwaitAll(*loader_, {"1: waiting for a scan", "2: waiting for a scan"}, 10s));
  loader_->WriteStdin("\nSN\tA\n");
  std::this_thread::sleep_for(300ms);
  EXPECT_FALSE(loader_->ReadLine(50ms)) << "a refused scan starts nothing";
  loader_->WriteStdin("SN-A\r\n");
  ASSERT_TRUE(AwaitAll(*loader_, {"1 #1: serial SN-A", "1 #1: Upgrade OK", "1: waiting for a scan"}, 20s))
      << loader_->Stdout();
  // Slot 2 has waited since the start, slot 1 only since its unit ended.
  loader_->WriteStdin("SN-B\nSN-A\nSN-C\n");
  ASSERT_TRUE(AwaitAll(*loader_, {"2 #2: serial SN-B", "1 #3: serial SN-A", "2 #2: Upgrade OK", "1 #3: Upgrade OK"},
                       20s))
      << loader_->Stdout();
  loader_->CloseStdin();
  EXPECT_EQ(loader_->Wait(10s), 0) << loader_->Stderr();
  EXPECT_EQ(ModuleStatus(1), 0) << modules_[1]->Stderr();
  EXPECT_EQ(ModuleStatus(2), 0) << modules_[2]->Stderr();
  const std::string& err = loader_->Stderr();
  for (const std::string note : {"scan refused: the scan is empty; --port 1 waits for the next scan\n",
                                 "scan refused: the scan holds control characters; --port 1 waits",
                                 "scan SN-C dropped: no slot waits for a unit\n"}) {
    EXPECT_NE(err.find(note), std::string::npos) << note << "\n" << err;
  }
  EXPECT_NE(loader_->Stdout().find("2 #2: repeat: serial SN-B already had Upgrade OK with this firmware\n"),
            std::string::npos);

  auto records = Records(report);
  ASSERT_EQ(records.size(), 5u);
  records.erase(records.begin(), records.begin() + 2);
  std::sort(records.begin(), records.end(), [](const auto& a, const auto& b) { return a["unit"] < b["unit"]; });
  const std::vector<std::tuple<int, std::string, std::string, bool>> expected = {
      {1, "1", "SN-A", false}, {2, "2", "SN-B", true}, {3, "1", "SN-A", true}};
  for (std::size_t i = 0; i < expected.size(); ++i) {
    const auto& [unit, port, serial, repeat] = expected[i];
    SCOPED_TRACE(unit);
    EXPECT_EQ(records[i]["unit"], unit);
    EXPECT_EQ(records[i]["port"], port);
    EXPECT_EQ(records[i]["serial_number"], serial);
    EXPECT_EQ(records[i]["repeat"], repeat);
    EXPECT_EQ(records[i]["result"], "Upgrade OK");
  }
}

// --next plug: an Enter pressed while no unit waits for it is dropped; it
// does not confirm the over-the-air stream of a board plugged later.
TEST_F(StationTest, AnEnterWhileNothingWaitsDoesNotConfirmALaterBoard) {
  const std::string fw = Firmware(300);
  loader_ = std::make_unique<ChildProcess>(
      std::vector<std::string>{ZEVUVURI_CLI_PATH, "--station", "--units", "1", "--port", "1", fw}, Env());
  ASSERT_TRUE(AwaitAll(*loader_, {"1: waiting for a unit"}, 10s));
  loader_->WriteStdin("\n");
  std::this_thread::sleep_for(300ms);
  StartModule(1, {"--units", "1", "--mode", "air", "--expect", fw});
  ASSERT_TRUE(AwaitAll(*loader_, {"1 #1: Acquiring..."}, 10s)) << loader_->Stdout();
  std::this_thread::sleep_for(300ms);
  EXPECT_FALSE(loader_->ReadLine(50ms)) << "nothing confirmed it";
  loader_->WriteStdin("\n");
  ASSERT_TRUE(AwaitAll(*loader_, {"1 #1: Upgrade OK"}, 20s)) << loader_->Stdout();
  EXPECT_EQ(loader_->Wait(10s), 0) << loader_->Stderr();
  EXPECT_EQ(ModuleStatus(1), 0) << modules_[1]->Stderr();
}

// Two slots whose links come to lead to one device after the start: one
// slot takes each board, once, and the other says why it takes none there
// instead of failing a unit as held by another program.
TEST_F(StationTest, TwoSlotsThatComeToNameOneDeviceTakeEachBoardOnce) {
  const std::string fw = Firmware(300);
  loader_ = std::make_unique<ChildProcess>(
      std::vector<std::string>{ZEVUVURI_CLI_PATH, "--station", "--units", "2", "--port", "1", "--port", "2", fw},
      Env());
  loader_->CloseStdin();
  ASSERT_TRUE(AwaitAll(*loader_, {"1: waiting for a unit", "2: waiting for a unit"}, 10s));
  fs::create_directories(dir_.Path() + "/ports");
  fs::create_symlink("com1", dir_.Path() + "/ports/com2");
  StartModule(1, {"--units", "2", "--plug-gap-ms", "200", "--expect", fw});
  EXPECT_EQ(loader_->Wait(30s), 0) << loader_->Stdout() << loader_->Stderr();
  EXPECT_EQ(ModuleStatus(1), 0) << modules_[1]->Stderr();
  EXPECT_NE(loader_->Stderr().find("--port 1 and --port 2 name the same device"), std::string::npos)
      << loader_->Stderr();
}

// The doctor on a prepared station (tests/support/fake_station.h): an FTDI
// converter with its latency timer at 16 ms, a CDC-ACM module that this user
// may not open, and ModemManager running.
class DoctorTest : public ::testing::Test {
 protected:
  std::map<std::string, std::string> Env() const { return station_.Env(); }
  // The permission check means nothing for root, who may open anything: run
  // the doctor as an ordinary user then.
  int RunDoctor(std::vector<std::string> args = {}) {
    std::vector<std::string> argv = {};
    if (::geteuid() == 0) argv = {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
    argv.push_back(ZEVUVURI_CLI_PATH);
    argv.push_back("--doctor");
    argv.insert(argv.end(), args.begin(), args.end());
    doctor_ = std::make_unique<ChildProcess>(argv, Env());
    doctor_->CloseStdin();
    const auto status = doctor_->Wait(30s);
    EXPECT_TRUE(status);
    return status.value_or(-1);
  }
  bool Says(const std::string& text) const { return doctor_->Stdout().find(text) != std::string::npos; }

  testing::FakeStation station_;
  std::unique_ptr<ChildProcess> doctor_;
};

TEST_F(DoctorTest, FindsEachProblemAndSaysHowToFixIt) {
  ASSERT_EQ(RunDoctor(), 1) << doctor_->Stdout() << doctor_->Stderr();
  const std::string acm = station_.Dev("ttyACM0").string(), usb = station_.Dev("ttyUSB0").string();
  struct stat st {};
  ASSERT_EQ(::stat(acm.c_str(), &st), 0);
  const group* g = ::getgrgid(st.st_gid);
  ASSERT_NE(g, nullptr);
  const std::string group_name = g->gr_name;
  EXPECT_TRUE(Says("PROBLEM  " + acm + ": this user may not open it (group '" + group_name + "', mode 0000)"))
      << doctor_->Stdout();
  EXPECT_TRUE(Says("sudo usermod -aG " + group_name + " $USER"));
  EXPECT_TRUE(Says("ok       " + usb + ": this user may open it"));
  EXPECT_TRUE(Says("PROBLEM  " + usb + ": USB latency timer 16 ms")) << doctor_->Stdout();
  EXPECT_TRUE(Says("(18.7 s more on a 64 KiB firmware)"));
  EXPECT_TRUE(Says("echo 1 | sudo tee " + station_.LatencyTimer().string()));
  EXPECT_TRUE(Says("--pacing fast, which sets the driver's low-latency flag"));
  EXPECT_TRUE(Says("PROBLEM  " + acm + ": ModemManager (process 4242)")) << doctor_->Stdout();
  EXPECT_TRUE(Says("ATTRS{idVendor}==\"2fe3\", ATTRS{idProduct}==\"0100\", ENV{ID_MM_DEVICE_IGNORE}=\"1\""));
  EXPECT_TRUE(Says("3 problems found"));

  // Each fix applied, the doctor finds nothing more.
  fs::permissions(station_.Dev("ttyACM0"), fs::perms::all);
  WriteFile(station_.LatencyTimer(), "1\n");
  WriteFile(station_.UdevData("c166:0"), "S:serial/by-id/x\nE:ID_MM_DEVICE_IGNORE=1\n");
  EXPECT_EQ(RunDoctor(), 0) << doctor_->Stdout();
  EXPECT_TRUE(Says("ok       " + usb + ": USB latency timer 1 ms"));
  EXPECT_TRUE(Says("ModemManager is running (process 4242), but leaves"));
  EXPECT_TRUE(Says("no problems found"));

  fs::remove(station_.Proc() / "4242/comm");
  EXPECT_EQ(RunDoctor({"--port", "/nonexistent/ttyUSB9"}), 1);
  EXPECT_TRUE(Says("ModemManager is not running"));
  EXPECT_TRUE(Says("PROBLEM  /nonexistent/ttyUSB9: no such device")) << doctor_->Stdout();
}

TEST_F(DoctorTest, NamesTheProcessThatHoldsAPort) {
  testing::PseudoTerminal pty;
  std::atomic<LinkMode> mode{LinkMode::Serial};
  SerialLink holder(mode);
  ASSERT_TRUE(holder.OpenLink(pty.SlavePath()));
  // Run as this user: another user's open files are not for it to see.
  auto env = Env();
  env.erase("ZEVUVURI_PROC_ROOT");
  doctor_ = std::make_unique<ChildProcess>(
      std::vector<std::string>{ZEVUVURI_CLI_PATH, "--doctor", "--port", pty.SlavePath()}, env);
  ASSERT_EQ(doctor_->Wait(30s), 1);
  EXPECT_TRUE(Says("PROBLEM  " + pty.SlavePath() + ": held by process " + std::to_string(::getpid()) + " ("))
      << doctor_->Stdout();
  holder.CloseLink();
  doctor_ = std::make_unique<ChildProcess>(
      std::vector<std::string>{ZEVUVURI_CLI_PATH, "--doctor", "--port", pty.SlavePath()}, env);
  ASSERT_TRUE(doctor_->Wait(30s));
  EXPECT_FALSE(Says("held by")) << doctor_->Stdout();
  EXPECT_TRUE(Says("ok       " + pty.SlavePath() + ": this user may open it"));
}

TEST_F(DoctorTest, ListPortsShowsUsbIdsSerialNumbersAndByIdNames) {
  doctor_ = std::make_unique<ChildProcess>(std::vector<std::string>{ZEVUVURI_CLI_PATH, "--list-ports"}, Env());
  ASSERT_EQ(doctor_->Wait(30s), 0);
  EXPECT_TRUE(Says(station_.Dev("ttyUSB0").string() + "   USB 0403:6001 serial A1B2C3 (FTDI FT232R USB UART)"))
      << doctor_->Stdout();
  EXPECT_TRUE(Says("      " + station_.ByIdLink().string() + "\n"));
  EXPECT_TRUE(Says(station_.Dev("ttyACM0").string() + "   USB 2fe3:0100\n"));
}

}  // namespace
}  // namespace zevuvuri
