// The upgrade sequence end to end over a real pseudo-terminal, against the
// simulator's module model with the faults each test asks for: every byte on
// the wire, every sink call.
#include "engine/upgrade_controller.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <limits>
#include <numeric>
#include <thread>

#include "engine/status_texts.h"
#include "tests/support/module_on_pty.h"

namespace zevuvuri {
namespace {

using namespace std::chrono_literals;
using testing::FaultPlanWith;
using testing::ModuleConfig;
using testing::ModuleOnPty;
using testing::TempDir;
using testing::WireMessage;
using Kind = WireMessage::Kind;
using sim::FaultPlan;

constexpr bool kSerial = false;
constexpr bool kOverTheAir = true;

// A module that answers no probe at all.
FaultPlan Mute() {
  FaultPlan faults;
  faults.ignore_sync_probes = std::numeric_limits<unsigned>::max();
  return faults;
}

// Records every sink call as one line, in order.
class RecordingSinks : public UpgradeSinks {
 public:
  void SetStatus(std::string_view t) override { Add("status " + std::string(t)); }
  void SetButtonCaption(std::string_view t) override { Add("caption " + std::string(t)); }
  void EnableButton(bool e) override { Add(e ? "enable" : "disable"); }
  void SetProgressRange(std::uint16_t m) override { Add("range " + std::to_string(m)); }
  void SetProgressPosition(std::uint32_t p) override { Add("position " + std::to_string(p)); }
  void EndProcess() override { Add("end process"); }
  void UpgradeEnded(UpgradeOutcome o) override {
    std::lock_guard lock(mutex_);
    outcome_ = o;
    cv_.notify_all();
  }
  void FirmwareImageTaken(std::uint64_t size, const std::optional<std::string>& sha256) override {
    std::lock_guard lock(mutex_);
    image_ = {size, sha256.value_or("")};
  }
  std::optional<std::pair<std::uint64_t, std::string>> Image() {
    std::lock_guard lock(mutex_);
    return image_;
  }

  std::optional<UpgradeOutcome> AwaitEnd(std::chrono::milliseconds limit = 20s) {
    std::unique_lock lock(mutex_);
    cv_.wait_for(lock, limit, [&] { return outcome_.has_value(); });
    auto o = outcome_;
    outcome_.reset();
    return o;
  }
  std::vector<std::string> Calls() {
    std::lock_guard lock(mutex_);
    return calls_;
  }
  // The calls other than progress positions, which tests look at separately.
  std::vector<std::string> Milestones() {
    std::vector<std::string> out;
    for (auto& c : Calls()) {
      if (c.rfind("position ", 0) != 0) out.push_back(c);
    }
    return out;
  }
  std::vector<std::uint32_t> Positions() {
    std::vector<std::uint32_t> out;
    for (auto& c : Calls()) {
      if (c.rfind("position ", 0) == 0) out.push_back(static_cast<std::uint32_t>(std::stoul(c.substr(9))));
    }
    return out;
  }
  void Forget() {
    std::lock_guard lock(mutex_);
    calls_.clear();
  }
  bool Saw(const std::string& call) {
    auto c = Calls();
    return std::find(c.begin(), c.end(), call) != c.end();
  }

 private:
  void Add(std::string call) {
    std::lock_guard lock(mutex_);
    calls_.push_back(std::move(call));
  }
  std::mutex mutex_;
  std::condition_variable cv_;
  std::vector<std::string> calls_;
  std::optional<UpgradeOutcome> outcome_;
  std::optional<std::pair<std::uint64_t, std::string>> image_;
};

// The file's SHA-256 as coreutils computes it.
std::string Sha256Sum(const std::string& path) {
  std::string out(64, '\0');
  FILE* p = ::popen(("sha256sum '" + path + "'").c_str(), "r");
  if (p == nullptr) return "";
  const std::size_t n = std::fread(out.data(), 1, out.size(), p);
  ::pclose(p);
  out.resize(n);
  return out;
}

std::vector<std::uint8_t> Pattern(std::size_t n) {
  std::vector<std::uint8_t> v(n);
  for (std::size_t i = 0; i < n; ++i) v[i] = static_cast<std::uint8_t>((i * 7 + 3) & 0xFF);
  return v;
}

class ControllerTest : public ::testing::Test {
 protected:
  std::wstring Firmware(const std::vector<std::uint8_t>& bytes) {
    const std::string path = dir_.Path() + "/fw.bin";
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                               static_cast<std::streamsize>(bytes.size()));
    return std::wstring(path.begin(), path.end());
  }
  static std::wstring Wide(const std::string& s) { return std::wstring(s.begin(), s.end()); }

  std::vector<WireMessage> Of(const ModuleOnPty& m, Kind kind) { return m.Of(kind); }

  TempDir dir_;
  RecordingSinks sinks_;
  UpgradeController controller_{sinks_};
};

// What the data frames of a file must carry: 56 bytes per read, the unread
// tail keeping the previous payload, one more frame for the empty last read.
std::vector<std::vector<std::uint8_t>> ExpectedDataFrames(const std::vector<std::uint8_t>& file, std::uint8_t type) {
  std::vector<std::vector<std::uint8_t>> frames;
  std::vector<std::uint8_t> payload(56, 0);
  for (std::size_t offset = 0;; offset += 56) {
    const std::size_t r = offset < file.size() ? std::min<std::size_t>(56, file.size() - offset) : 0;
    std::copy_n(file.begin() + static_cast<std::ptrdiff_t>(std::min(offset, file.size())), r, payload.begin());
    std::vector<std::uint8_t> f = {static_cast<std::uint8_t>(offset & 0xFF), static_cast<std::uint8_t>(offset >> 8),
                                   static_cast<std::uint8_t>(0x50 | (offset >> 16)), type};
    f.insert(f.end(), payload.begin(), payload.end());
    frames.push_back(f);
    if (r == 0) break;
  }
  return frames;
}

TEST_F(ControllerTest, SerialUpgradeSendsExactlyTheFileAndReportsEachStep) {
  ModuleOnPty module(ModuleConfig(kSerial));
  const auto file = Pattern(60);
  controller_.OnAcquire(Wide(module.Port()), L"24", Firmware(file));
  ASSERT_EQ(sinks_.AwaitEnd(), UpgradeOutcome::Ok);

  EXPECT_EQ(sinks_.Milestones(), (std::vector<std::string>{
                                     "status Running", "caption Click to Start", "disable", "range 30",
                                     "status Synchronising...", "status Acquiring...",
                                     "status Upgrading over serial port", "status Upgrade OK", "caption Acquire",
                                     "enable"}));
  EXPECT_EQ(sinks_.Positions(), (std::vector<std::uint32_t>{0, 0, 0, 28, 56})) << "Start empties the bar first";

  const auto messages = module.Messages();
  ASSERT_GE(messages.size(), 4u);
  EXPECT_EQ(messages[0].kind, Kind::WakeUp);
  const auto polls = Of(module, Kind::Poll);
  ASSERT_EQ(polls.size(), 1u) << "serial mode streams after the first acknowledged poll";
  std::vector<std::uint8_t> poll = {0x00, 0x00, 0x00, 0x18};
  poll.resize(60, 0);
  EXPECT_EQ(polls[0].bytes, poll) << "a poll frame carries zeros before the first file read";

  const auto data = Of(module, Kind::Data);
  std::vector<std::vector<std::uint8_t>> sent;
  for (auto& d : data) sent.push_back(d.bytes);
  EXPECT_EQ(sent, ExpectedDataFrames(file, 0x18));
  ASSERT_FALSE(data.empty());
  EXPECT_GE(data[0].at - polls[0].at, 2000ms) << "the serial start pause";
  const auto end = Of(module, Kind::End);
  ASSERT_EQ(end.size(), 1u);
  EXPECT_EQ(end[0].bytes, (std::vector<std::uint8_t>{168, 0x00, 0x70, 0x18}));
  EXPECT_EQ(Of(module, Kind::Fillers).size(), 1u);
  EXPECT_TRUE(Of(module, Kind::Trailer).empty()) << "no reboot trailer on a serial link";
  EXPECT_EQ(controller_.State(), UpgradeState::Idle);
  EXPECT_FALSE(controller_.Link().IsOpen());
  EXPECT_EQ(module.Violations(), std::vector<std::string>{});
  EXPECT_EQ(module.CompletedUpgrades(), 1);
}

TEST_F(ControllerTest, OverTheAirPollsUntilConfirmedThenStreamsAndSendsTheTrailer) {
  ModuleOnPty module(ModuleConfig(kOverTheAir));
  const auto file = Pattern(56);
  const auto firmware = Firmware(file);
  controller_.OnAcquire(Wide(module.Port()), L"8", firmware);
  ASSERT_TRUE(module.AwaitCount(Kind::Poll, 3, 10s));
  EXPECT_TRUE(sinks_.Saw("enable")) << "the button is enabled for the confirm";
  EXPECT_EQ(Of(module, Kind::Data).size(), 0u);
  EXPECT_EQ(controller_.Mode(), LinkMode::OverTheAir);

  controller_.OnAcquire(Wide(module.Port()), L"8", firmware);  // the operator's press: Confirm
  ASSERT_EQ(sinks_.AwaitEnd(), UpgradeOutcome::Ok);

  const auto calls = sinks_.Milestones();
  const auto confirm = std::find(calls.begin(), calls.end(), "caption Acquire");
  ASSERT_NE(confirm, calls.end());
  EXPECT_EQ(*(confirm - 1), "disable") << "Confirm disables the button, then sets its caption";
  EXPECT_NE(std::find(calls.begin(), calls.end(), "status Upgrading over the air"), calls.end());
  EXPECT_EQ(calls.back(), "enable");

  std::vector<std::vector<std::uint8_t>> sent;
  for (auto& d : Of(module, Kind::Data)) sent.push_back(d.bytes);
  EXPECT_EQ(sent, ExpectedDataFrames(file, 8)) << "56 bytes: two frames carrying the same payload";
  ASSERT_EQ(Of(module, Kind::Trailer).size(), 1u);
  EXPECT_EQ(Of(module, Kind::Trailer)[0].bytes, std::vector<std::uint8_t>(60, 'p'));
  EXPECT_EQ(module.Violations(), std::vector<std::string>{});
  EXPECT_EQ(module.CompletedUpgrades(), 1);
}

TEST_F(ControllerTest, AConfirmDoesNotCutShortThePollThatAwaitsItsReply) {
  // Over the air; the second poll never gets an answer.
  ModuleOnPty module(ModuleConfig(kOverTheAir, FaultPlanWith(&FaultPlan::ignore_poll, 2u)));
  const auto firmware = Firmware(Pattern(10));
  controller_.OnAcquire(Wide(module.Port()), L"0", firmware);
  ASSERT_TRUE(module.AwaitCount(Kind::Poll, 2, 10s));
  const auto confirmed = std::chrono::steady_clock::now();
  controller_.OnAcquire(Wide(module.Port()), L"0", firmware);
  ASSERT_EQ(sinks_.AwaitEnd(), UpgradeOutcome::PollRefused);
  EXPECT_GE(std::chrono::steady_clock::now() - confirmed, 1500ms);
  EXPECT_TRUE(sinks_.Saw("status Did not get local ACK"));
  EXPECT_EQ(module.Count(Kind::Data), 0);
}

// The Acquire button stays disabled from the sink call `from` to `to`: no
// press an operator makes meanwhile can reach the controller.
void ExpectDisabledBetween(const std::vector<std::string>& calls, const std::string& from, const std::string& to) {
  const auto begin = std::find(calls.begin(), calls.end(), from);
  const auto end = std::find(calls.begin(), calls.end(), to);
  ASSERT_LT(begin, end) << from << " before " << to;
  bool enabled = true;
  for (auto it = calls.begin(); it != end; ++it) {
    if (*it == "enable") enabled = true;
    if (*it == "disable") enabled = false;
    if (it >= begin) {
      ASSERT_FALSE(enabled) << "enabled at " << *it;
    }
  }
}

TEST_F(ControllerTest, APressWhileTheWorkerStreamsChangesNothingAndTheButtonStaysDisabled) {
  ModuleOnPty module(ModuleConfig(kSerial));
  const auto file = Pattern(600);
  const auto firmware = Firmware(file);
  controller_.OnAcquire(Wide(module.Port()), L"0", firmware);
  ASSERT_TRUE(module.AwaitCount(Kind::Data, 3, 10s));
  EXPECT_EQ(controller_.State(), UpgradeState::Idle) << "the data phase reads Idle, as operators know it";
  EXPECT_TRUE(controller_.UpgradeInProgress());
  // The button's press, and a Start forced past it: neither may reopen the
  // port under the worker nor start a second upgrade.
  controller_.OnAcquire(Wide(module.Port()), L"0", firmware);
  EXPECT_FALSE(controller_.Start(Wide(module.Port()), L"0", FirmwareName::FromText(firmware)));
  EXPECT_FALSE(controller_.Confirm());
  ASSERT_EQ(sinks_.AwaitEnd(), UpgradeOutcome::Ok);

  EXPECT_EQ(module.Count(Kind::WakeUp), 1);
  std::vector<std::vector<std::uint8_t>> sent;
  for (auto& d : Of(module, Kind::Data)) sent.push_back(d.bytes);
  EXPECT_EQ(sent, ExpectedDataFrames(file, 0));
  ExpectDisabledBetween(sinks_.Calls(), "status Upgrading over serial port", "status Upgrade OK");
}

TEST_F(ControllerTest, AnEarlyConfirmSkipsThePollFramesAndKeepsTheButtonDisabledThroughTheDataPhase) {
  // Over the air, answering the third probe: the second press lands while
  // the worker is still synchronising.
  ModuleOnPty module(ModuleConfig(kOverTheAir, FaultPlanWith(&FaultPlan::ignore_sync_probes, 2u)));
  const auto firmware = Firmware(Pattern(300));
  controller_.OnAcquire(Wide(module.Port()), L"0", firmware);
  EXPECT_TRUE(controller_.Confirm());
  ASSERT_EQ(sinks_.AwaitEnd(), UpgradeOutcome::Ok);
  EXPECT_EQ(module.Count(Kind::Poll), 0);
  EXPECT_EQ(module.Count(Kind::Data), 7) << "300 bytes: six frames of the file and the empty last read";
  EXPECT_GE(module.Count(Kind::Probe), 3);
  ExpectDisabledBetween(sinks_.Calls(), "status Upgrading over the air", "status Upgrade OK");
}

TEST_F(ControllerTest, AConfirmAfterAFailedPollStartsNothing) {
  // The command line confirms over the air from its own loop; when the poll
  // has failed meanwhile, the confirmation must not become a new upgrade.
  ModuleOnPty module(ModuleConfig(kOverTheAir, FaultPlanWith(&FaultPlan::refuse_poll, 1u)));
  controller_.OnAcquire(Wide(module.Port()), L"0", Firmware(Pattern(10)));
  ASSERT_EQ(sinks_.AwaitEnd(), UpgradeOutcome::PollRefused);
  EXPECT_FALSE(controller_.Confirm());
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(module.Count(Kind::WakeUp), 1);
  EXPECT_FALSE(controller_.Link().IsOpen());
}

TEST_F(ControllerTest, RefusalsEndTheUpgradeWithTheirTextAndLeaveItRestartable) {
  struct Case {
    const char* what;
    bool over_the_air;
    FaultPlan faults;
    UpgradeOutcome outcome;
    std::string status;
  };
  FaultPlan end_after_junk;  // the end answered "7" "2"
  end_after_junk.end_answer = sim::EndAnswer::RebootAck;
  end_after_junk.junk_byte = '7';
  end_after_junk.bursts.push_back({{sim::Phase::End, 1}, 1, false});
  const Case cases[] = {
      {"poll answered 1", kSerial, FaultPlanWith(&FaultPlan::refuse_poll, 1u), UpgradeOutcome::PollRefused,
       "Did not get local ACK"},
      {"data frame answered 1", kSerial, FaultPlanWith(&FaultPlan::refuse_data, 2u), UpgradeOutcome::FrameRefused,
       "Write Error"},
      {"data frame unanswered", kSerial, FaultPlanWith(&FaultPlan::ignore_data, 1u), UpgradeOutcome::FrameRefused,
       "Write Error"},
      {"end answered 2, serial", kSerial, FaultPlanWith(&FaultPlan::end_answer, sim::EndAnswer::RebootAck),
       UpgradeOutcome::Ok, "Upgrade OK"},
      {"end answered 2, over the air", kOverTheAir, FaultPlanWith(&FaultPlan::end_answer, sim::EndAnswer::RebootAck),
       UpgradeOutcome::RebootRefused, "Did not get local ACK for reboot"},
      {"end unanswered", kSerial, FaultPlanWith(&FaultPlan::end_answer, sim::EndAnswer::Silent),
       UpgradeOutcome::RebootRefused, "Did not get local ACK for reboot"},
      {"end answered with junk", kSerial, end_after_junk, UpgradeOutcome::RebootRefused,
       "Did not get local ACK for reboot"},
  };

  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ModuleOnPty module(ModuleConfig(c.over_the_air, c.faults));
    sinks_.Forget();
    const auto firmware = Firmware(Pattern(100));
    controller_.OnAcquire(Wide(module.Port()), L"0", firmware);
    if (c.over_the_air) {
      ASSERT_TRUE(module.AwaitCount(Kind::Poll, 1, 10s));
      controller_.OnAcquire(Wide(module.Port()), L"0", firmware);
    }
    ASSERT_EQ(sinks_.AwaitEnd(), c.outcome);
    auto calls = sinks_.Milestones();
    ASSERT_GE(calls.size(), 3u);
    EXPECT_EQ(calls[calls.size() - 3], "status " + c.status);
    EXPECT_EQ(calls[calls.size() - 2], "caption Acquire");
    EXPECT_EQ(calls.back(), "enable");
    EXPECT_EQ(controller_.State(), UpgradeState::Idle);
    EXPECT_FALSE(controller_.Link().IsOpen()) << "the port is closed at every ending";
    EXPECT_EQ(module.Violations(), std::vector<std::string>{}) << "nothing sent after the refusal";
  }
}

TEST_F(ControllerTest, AMissingFileFailsWithThePortClosedAndANewStartWorks) {
  ModuleOnPty module(ModuleConfig(kSerial));
  controller_.OnAcquire(Wide(module.Port()), L"0", Wide(dir_.Path() + "/missing.bin"));
  ASSERT_EQ(sinks_.AwaitEnd(), UpgradeOutcome::FileFailure);
  EXPECT_EQ(sinks_.Milestones(), (std::vector<std::string>{"status Running", "caption Click to Start", "disable",
                                                           "status Failure : couldn't open file", "caption Acquire",
                                                           "enable"}));
  EXPECT_TRUE(module.AllBytes().empty()) << "nothing is sent without a file";

  controller_.OnAcquire(Wide(module.Port()), L"0", Wide(dir_.Path()));
  ASSERT_EQ(sinks_.AwaitEnd(), UpgradeOutcome::FileFailure) << "a directory is no firmware";

  const std::string fifo = dir_.Path() + "/pipe";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  controller_.OnAcquire(Wide(module.Port()), L"0", Wide(fifo));
  ASSERT_EQ(sinks_.AwaitEnd(5s), UpgradeOutcome::FileFailure) << "a pipe without a writer must not block the worker";
  controller_.OnAcquire(Wide(module.Port()), L"0", L"/dev/zero");
  ASSERT_EQ(sinks_.AwaitEnd(5s), UpgradeOutcome::FileFailure) << "a device is no file, however much it reads";
  EXPECT_TRUE(module.AllBytes().empty()) << "nothing is sent for any of them";

  controller_.OnAcquire(Wide(module.Port()), L"0", Firmware(Pattern(3)));
  EXPECT_EQ(sinks_.AwaitEnd(), UpgradeOutcome::Ok);
}

TEST_F(ControllerTest, AFileBeyondTheOffsetFieldIsRefusedBeforeAnythingIsSent) {
  ModuleOnPty module(ModuleConfig(kSerial));
  const std::string path = dir_.Path() + "/big.bin";
  std::ofstream(path).close();
  std::filesystem::resize_file(path, 1048489);  // one byte past what the field can address
  controller_.OnAcquire(Wide(module.Port()), L"0", Wide(path));
  ASSERT_EQ(sinks_.AwaitEnd(), UpgradeOutcome::FileTooLarge);
  EXPECT_TRUE(sinks_.Saw("status Failure : file too large"));
  std::this_thread::sleep_for(50ms);
  EXPECT_TRUE(module.AllBytes().empty());
  EXPECT_FALSE(controller_.Link().IsOpen());
}

TEST_F(ControllerTest, APathWithoutAnEightBitFormIsRefusedNotShortened) {
  ModuleOnPty module(ModuleConfig(kSerial));
  // Cut at 1023 bytes this path would name fw.bin's directory entry "aaa...".
  const std::wstring too_long = Wide(dir_.Path()) + L"/" + std::wstring(1100, L'a');
  controller_.OnAcquire(Wide(module.Port()), L"0", too_long);
  ASSERT_EQ(sinks_.AwaitEnd(), UpgradeOutcome::FileFailure);
  EXPECT_TRUE(sinks_.Saw("status Failure : couldn't open file"));
}

TEST_F(ControllerTest, APortThatDoesNotOpenRestoresTheButton) {
  controller_.OnAcquire(L"", L"0", L"REDIDADU.bin");
  ASSERT_EQ(sinks_.AwaitEnd(), UpgradeOutcome::PortFailure);
  EXPECT_EQ(sinks_.Milestones(), (std::vector<std::string>{"status Failure : couldn't initialize COM port",
                                                           "caption Acquire", "enable"}));
  EXPECT_EQ(controller_.State(), UpgradeState::Idle);
}

TEST_F(ControllerTest, AWorkerThatCannotStartUndoesTheStart) {
  ModuleOnPty module(ModuleConfig(kSerial));
  controller_.SetThreadStarterForTesting([](std::function<void()>) -> std::thread {
    throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
  });
  controller_.OnAcquire(Wide(module.Port()), L"0", Firmware(Pattern(3)));
  ASSERT_EQ(sinks_.AwaitEnd(), UpgradeOutcome::ThreadFailure);
  EXPECT_EQ(sinks_.Milestones(), (std::vector<std::string>{"status Failure : couldn't start thread",
                                                           "caption Acquire", "enable"}));
  EXPECT_EQ(controller_.State(), UpgradeState::Idle) << "the next press starts, not confirms";
  EXPECT_FALSE(controller_.Link().IsOpen());

  controller_.SetThreadStarterForTesting([](std::function<void()> body) { return std::thread(std::move(body)); });
  controller_.OnAcquire(Wide(module.Port()), L"0", Firmware(Pattern(3)));
  EXPECT_EQ(sinks_.AwaitEnd(), UpgradeOutcome::Ok);
}

TEST_F(ControllerTest, ProductionModeEndsTheProcessAfterSuccessOnly) {
  controller_.SetProductionFlag(true);
  {
    ModuleOnPty refusing(ModuleConfig(kSerial, FaultPlanWith(&FaultPlan::refuse_data, 1u)));
    controller_.OnAcquire(Wide(refusing.Port()), L"0", Firmware(Pattern(3)));
    ASSERT_EQ(sinks_.AwaitEnd(), UpgradeOutcome::FrameRefused);
    std::this_thread::sleep_for(50ms);
    EXPECT_FALSE(sinks_.Saw("end process"));
  }
  ModuleOnPty module(ModuleConfig(kSerial));
  controller_.OnAcquire(Wide(module.Port()), L"0", Firmware(Pattern(3)));
  ASSERT_EQ(sinks_.AwaitEnd(), UpgradeOutcome::Ok);
  for (int i = 0; i < 100 && !sinks_.Saw("end process"); ++i) std::this_thread::sleep_for(10ms);
  const auto calls = sinks_.Milestones();
  ASSERT_FALSE(calls.empty());
  EXPECT_EQ(calls.back(), "end process") << "after the common ending";
  EXPECT_EQ(calls[calls.size() - 2], "enable");
}

TEST_F(ControllerTest, ShutdownDuringEndlessSynchronisationIsPromptAndSilent) {
  ModuleOnPty mute(ModuleConfig(kSerial, Mute()));
  controller_.OnAcquire(Wide(mute.Port()), L"0", Firmware(Pattern(3)));
  ASSERT_TRUE(mute.AwaitCount(Kind::Probe, 3, 5s));
  const auto calls_before = sinks_.Calls().size();
  const auto begin = std::chrono::steady_clock::now();
  controller_.Stop();
  EXPECT_LT(std::chrono::steady_clock::now() - begin, 1s) << "an endless synchronisation ends at once";
  EXPECT_EQ(sinks_.Calls().size(), calls_before) << "no sink after shutdown";
  EXPECT_EQ(controller_.LastOutcome(), UpgradeOutcome::Cancelled);
  EXPECT_FALSE(controller_.Link().IsOpen());
  // The port is free again for anyone else.
  std::atomic<LinkMode> mode{LinkMode::Serial};
  SerialLink other(mode);
  EXPECT_TRUE(other.OpenLink(mute.Port()));
}

TEST_F(ControllerTest, AShutdownOnceTheTrailerIsOutLeavesTheUpgradeSucceeded) {
  // Over the air, the module has acknowledged its reboot and taken the
  // trailer: a loader stopped in the last half second must not call it off,
  // or a station would flash a good unit again.
  ModuleOnPty module(ModuleConfig(kOverTheAir));
  const auto firmware = Firmware(Pattern(100));
  controller_.OnAcquire(Wide(module.Port()), L"0", firmware);
  ASSERT_TRUE(module.AwaitCount(Kind::Poll, 1, 10s));
  EXPECT_TRUE(controller_.Confirm());
  ASSERT_TRUE(module.AwaitCount(Kind::Trailer, 1, 10s));
  controller_.Stop();
  EXPECT_EQ(controller_.LastOutcome(), UpgradeOutcome::Ok);
  EXPECT_TRUE(sinks_.Saw("status Upgrade OK"));
  EXPECT_FALSE(controller_.Link().IsOpen());
}

TEST_F(ControllerTest, EveryUpgradeBeginsWithAZeroedPayload) {
  // A first upgrade leaves its last bytes in the frame; the next one, through
  // the same controller, must send none of them: not in its poll frames, not
  // in the unread tail of a short file's frame.
  {
    ModuleOnPty first(ModuleConfig(kOverTheAir));
    controller_.OnAcquire(Wide(first.Port()), L"0", Firmware(Pattern(100)));
    ASSERT_TRUE(first.AwaitCount(Kind::Poll, 1, 10s));
    controller_.Confirm();
    ASSERT_EQ(sinks_.AwaitEnd(), UpgradeOutcome::Ok);
  }
  ModuleOnPty second(ModuleConfig(kOverTheAir));
  const auto file = Pattern(10);
  controller_.OnAcquire(Wide(second.Port()), L"0", Firmware(file));
  ASSERT_TRUE(second.AwaitCount(Kind::Poll, 2, 10s));
  controller_.Confirm();
  ASSERT_EQ(sinks_.AwaitEnd(), UpgradeOutcome::Ok);
  for (const auto& poll : Of(second, Kind::Poll)) EXPECT_EQ(poll.bytes, std::vector<std::uint8_t>(60, 0));
  std::vector<std::vector<std::uint8_t>> sent;
  for (auto& d : Of(second, Kind::Data)) sent.push_back(d.bytes);
  EXPECT_EQ(sent, ExpectedDataFrames(file, 0));
}

TEST_F(ControllerTest, TheImageIsTheFileAsItWasWhenTheUpgradeBegan) {
  ModuleOnPty module(ModuleConfig(kSerial));
  const auto file = Pattern(600);
  const auto firmware = Firmware(file);
  const std::string path(firmware.begin(), firmware.end());
  const std::string sha256 = Sha256Sum(path);
  ASSERT_EQ(sha256.size(), 64u);
  std::string pinned = sha256;
  for (char& c : pinned) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  ASSERT_TRUE(controller_.SetExpectedSha256(pinned)) << "hex digits in either case";
  controller_.OnAcquire(Wide(module.Port()), L"0", firmware);
  ASSERT_TRUE(module.AwaitCount(Kind::Poll, 1, 10s));
  // Rewritten in place at the same size while the serial start pause runs.
  std::ofstream(path, std::ios::binary | std::ios::in | std::ios::out).write(std::string(600, '\xEE').data(), 600);
  ASSERT_EQ(sinks_.AwaitEnd(), UpgradeOutcome::Ok);
  std::vector<std::vector<std::uint8_t>> sent;
  for (auto& d : Of(module, Kind::Data)) sent.push_back(d.bytes);
  EXPECT_EQ(sent, ExpectedDataFrames(file, 0));
  EXPECT_EQ(sinks_.Image(), (std::pair<std::uint64_t, std::string>{600, sha256}));
}

TEST_F(ControllerTest, AnImageNotTakenWholeOrNotThePinnedOneIsRefusedBeforeAnythingIsSent) {
  const auto firmware = Firmware(Pattern(100));
  struct Case {
    const char* what;
    std::wstring file;
    std::optional<std::string> pinned;
    std::string status;
  };
  const Case cases[] = {
      // A regular file whose size says 0 but that reads on: not one state of it.
      {"a file that goes on past its size", L"/proc/self/status", std::nullopt,
       "status Failure : couldn't read file"},
      {"another image than the pinned one", firmware, std::string(64, '0'), "status Failure : couldn't open file"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ModuleOnPty module(ModuleConfig(kSerial));
    sinks_.Forget();
    ASSERT_TRUE(controller_.SetExpectedSha256(c.pinned));
    controller_.OnAcquire(Wide(module.Port()), L"0", c.file);
    ASSERT_EQ(sinks_.AwaitEnd(), UpgradeOutcome::FileFailure);
    EXPECT_TRUE(sinks_.Saw(c.status));
    std::this_thread::sleep_for(50ms);
    EXPECT_TRUE(module.AllBytes().empty()) << "not even the wake-up";
  }
}

// Sinks whose button calls stand in for a slow window thread and for a front
// end that presses from inside a call.
class EndingSinks : public RecordingSinks {
 public:
  void SetButtonCaption(std::string_view t) override {
    RecordingSinks::SetButtonCaption(t);
    if (t != "Acquire" || held.exchange(true)) return;
    std::unique_lock lock(gate_mutex);
    gate_cv.wait_for(lock, 5s, [this] { return released; });  // the first ending's caption waits
  }
  void EnableButton(bool e) override {
    RecordingSinks::EnableButton(e);
    if (!e || !press || pressed.exchange(true)) return;
    const auto begin = std::chrono::steady_clock::now();
    inner_start = press();
    inner_took = std::chrono::steady_clock::now() - begin;
  }
  void Release() {
    {
      std::lock_guard lock(gate_mutex);
      released = true;
    }
    gate_cv.notify_all();
  }

  std::atomic<bool> held{false};
  std::atomic<bool> pressed{false};
  std::function<bool()> press;  // set before the upgrade starts
  std::optional<bool> inner_start;
  std::chrono::steady_clock::duration inner_took{};
  std::mutex gate_mutex;
  std::condition_variable gate_cv;
  bool released = false;
};

TEST(ControllerEndingTest, AStartDuringTheLastButtonCallsComesAfterThemAndOneFromInsideACallIsRefusedAtOnce) {
  ModuleOnPty module(ModuleConfig(kSerial));
  const std::wstring missing = L"/nonexistent/fw.bin";
  EndingSinks sinks;
  UpgradeController controller(sinks);
  const std::wstring port(module.Port().begin(), module.Port().end());
  // The ending's enable presses Acquire from inside the call.
  sinks.press = [&] { return controller.Start(port, L"0", FirmwareName::FromText(missing)); };
  controller.OnAcquire(port, L"0", missing);
  for (int i = 0; i < 500 && !sinks.held; ++i) std::this_thread::sleep_for(10ms);
  ASSERT_TRUE(sinks.held) << "the ending never reached its caption";
  std::thread release([&] {
    std::this_thread::sleep_for(200ms);
    sinks.Release();
  });
  // The operator's press while the previous worker makes its last calls.
  const bool started = controller.Start(port, L"0", FirmwareName::FromText(missing));
  release.join();
  EXPECT_TRUE(started);
  for (int i = 0; i < 500 && controller.WorkerThreadAlive(); ++i) std::this_thread::sleep_for(10ms);
  ASSERT_FALSE(controller.WorkerThreadAlive());
  ASSERT_EQ(sinks.inner_start, false);
  EXPECT_LT(sinks.inner_took, 500ms) << "a press from inside a sink call must not wait for its own caller";

  const auto calls = sinks.Milestones();
  const auto first_enable = std::find(calls.begin(), calls.end(), "enable");
  const auto second_start = std::find(calls.begin() + 1, calls.end(), "status Running");
  ASSERT_NE(second_start, calls.end());
  EXPECT_LT(first_enable, second_start) << "the new upgrade's calls come after the last one's";
  EXPECT_EQ(std::count(calls.begin(), calls.end(), "status Running"), 2) << "the inner press started nothing";
}

TEST_F(ControllerTest, AConfirmThatLandsBeforeTheEnableHasTakenEffectKeepsTheButtonDisabled) {
  // The operator's confirm takes effect while the worker's enable is still
  // on its way: the enable lands last and must be taken back.
  class RacingSinks : public RecordingSinks {
   public:
    void EnableButton(bool e) override {
      if (e && controller != nullptr && controller->State() == UpgradeState::Acquiring) controller->Confirm();
      RecordingSinks::EnableButton(e);
    }
    UpgradeController* controller = nullptr;
  } sinks;
  UpgradeController controller(sinks);
  sinks.controller = &controller;
  ModuleOnPty module(ModuleConfig(kOverTheAir));
  controller.OnAcquire(Wide(module.Port()), L"0", Firmware(Pattern(300)));
  ASSERT_EQ(sinks.AwaitEnd(), UpgradeOutcome::Ok);
  ExpectDisabledBetween(sinks.Calls(), "status Upgrading over the air", "status Upgrade OK");
}

TEST_F(ControllerTest, ASyncLimitEndsProbingWithAFailure) {
  ModuleOnPty mute(ModuleConfig(kSerial, Mute()));
  controller_.SetSyncLimit(500ms);
  controller_.OnAcquire(Wide(mute.Port()), L"0", Firmware(Pattern(3)));
  ASSERT_EQ(sinks_.AwaitEnd(5s), UpgradeOutcome::SyncTimeout);
  EXPECT_TRUE(sinks_.Saw("status Failure : no answer from module"));
  EXPECT_GE(mute.Count(Kind::Probe), 4);
  EXPECT_LE(mute.Count(Kind::Probe), 6);
}

}  // namespace
}  // namespace zevuvuri
