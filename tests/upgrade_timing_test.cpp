// The sequence's timing played out on a virtual clock: the pauses and the
// reply limits to the exact millisecond, where real time would be too loose.
#include <gtest/gtest.h>

#include <fstream>

#include "engine/upgrade_controller.h"
#include "tests/support/module_on_virtual_clock.h"
#include "tests/support/pseudo_terminal.h"

namespace zevuvuri {
namespace {

using namespace std::chrono_literals;
using sim::FaultPlan;
using sim::Phase;
using testing::FaultPlanWith;
using testing::ModuleConfig;
using testing::ModuleOnVirtualClock;
using testing::TempDir;
using testing::TimedMessage;
using testing::VirtualClock;
using testing::WireMessage;
using Kind = WireMessage::Kind;
using std::chrono::milliseconds;

class EndRecorder : public UpgradeSinks {
 public:
  void SetStatus(std::string_view t) override {
    std::lock_guard lock(mutex_);
    statuses_.emplace_back(t);
  }
  void SetButtonCaption(std::string_view) override {}
  void EnableButton(bool) override {}
  void SetProgressRange(std::uint16_t) override {}
  void SetProgressPosition(std::uint32_t) override {}
  void EndProcess() override {}
  void UpgradeEnded(UpgradeOutcome o) override {
    std::lock_guard lock(mutex_);
    outcome_ = o;
    cv_.notify_all();
  }
  std::optional<UpgradeOutcome> AwaitEnd() {
    std::unique_lock lock(mutex_);
    cv_.wait_for(lock, 10s, [&] { return outcome_.has_value(); });
    return outcome_;
  }
  void Reset() {
    std::lock_guard lock(mutex_);
    statuses_.clear();
    outcome_.reset();
  }
  std::string LastStatus() {
    std::lock_guard lock(mutex_);
    return statuses_.empty() ? "" : statuses_.back();
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  std::vector<std::string> statuses_;
  std::optional<UpgradeOutcome> outcome_;
};

class TimingTest : public ::testing::Test {
 protected:
  // Runs one upgrade of a 100-byte file against a module with `faults`;
  // returns its outcome.
  UpgradeOutcome Run(FaultPlan faults = {}, bool over_the_air = false, std::size_t file_size = 100) {
    module_ = std::make_unique<ModuleOnVirtualClock>(clock_, ModuleConfig(over_the_air, std::move(faults)));
    module_->Attach(controller_);
    const std::string path = dir_.Path() + "/fw.bin";
    {
      std::ofstream out(path, std::ios::binary);
      for (std::size_t i = 0; i < file_size; ++i) out.put(static_cast<char>(i % 251));
    }
    const std::wstring file(path.begin(), path.end());
    controller_.OnAcquire(L"virtual", L"0", file);
    if (over_the_air) {
      // The worker polls in virtual time; confirm once it has begun.
      for (int i = 0; i < 5000 && module_->Count(Kind::Poll) == 0; ++i) std::this_thread::sleep_for(1ms);
      controller_.Confirm();
    }
    const auto outcome = sinks_.AwaitEnd();
    EXPECT_TRUE(outcome) << "the upgrade did not end";
    return outcome.value_or(UpgradeOutcome::Cancelled);
  }
  std::vector<TimedMessage> Of(Kind kind) { return module_->Of(kind); }

  TempDir dir_;
  VirtualClock clock_;
  EndRecorder sinks_;
  UpgradeController controller_{sinks_};
  std::unique_ptr<ModuleOnVirtualClock> module_;
};

// A serial module that answers the first message of `phase` after `delay`.
FaultPlan LateAnswer(Phase phase, milliseconds delay) {
  FaultPlan faults;
  faults.delays.push_back({{phase, 1}, delay});
  return faults;
}

// Both pacings keep every pause and limit; fast pacing only sees a reply
// sooner (at once, which a virtual clock counts as its next millisecond).
class PacedTimingTest : public TimingTest, public ::testing::WithParamInterface<Pacing> {
 protected:
  void SetUp() override { controller_.SetPacing(GetParam()); }
  milliseconds Look() const { return GetParam() == Pacing::Fast ? 1ms : 10ms; }
};

TEST_P(PacedTimingTest, TheWakeUpProbesAndSerialStartPauseKeepTheirPacing) {
  ASSERT_EQ(Run(FaultPlanWith(&FaultPlan::ignore_sync_probes, 3u)), UpgradeOutcome::Ok);
  const auto wake = Of(Kind::WakeUp);
  const auto probes = Of(Kind::Probe);
  const auto polls = Of(Kind::Poll);
  const auto data = Of(Kind::Data);
  ASSERT_EQ(wake.size(), 1u);
  ASSERT_EQ(probes.size(), 4u);
  EXPECT_EQ(probes[0].at - wake[0].at, 20ms) << "20 ms after the wake-up";
  for (std::size_t i = 1; i < probes.size(); ++i) EXPECT_EQ(probes[i].at - probes[i - 1].at, 100ms);
  EXPECT_EQ(polls[0].at - probes[3].at, 100ms) << "the answer is read after the probe's 100 ms";
  // The poll's answer is seen at the link's first look, then 2000 ms pass.
  EXPECT_EQ(data[0].at - polls[0].at, 2000ms + Look());
  EXPECT_EQ(data[1].at - data[0].at, Look()) << "each data frame waits one look for its answer";
  EXPECT_EQ(module_->LastBaud(), 115200u);
  // Fast pacing asks the port for low latency first; the wake-up has left
  // the port before the line changes speed under it.
  std::vector<std::string> expected = {"baud 9600", "write 10", "drain", "baud 115200"};
  if (GetParam() == Pacing::Fast) expected.insert(expected.begin(), "low latency");
  const auto line = module_->LineOperations();
  ASSERT_GE(line.size(), expected.size());
  EXPECT_EQ(std::vector<std::string>(line.begin(), line.begin() + static_cast<std::ptrdiff_t>(expected.size())),
            expected);
}

// A module that acknowledges its reboot and drops off the line at once (a
// USB module resetting into its new firmware) has its firmware.
TEST_P(PacedTimingTest, AnAcknowledgedRebootCountsThoughTheDeviceGoesAwayAtOnce) {
  for (const bool over_the_air : {false, true}) {
    SCOPED_TRACE(over_the_air ? "over the air" : "serial");
    sinks_.Reset();
    EXPECT_EQ(Run(FaultPlanWith(&FaultPlan::hang_up_after_reply, sim::MessageSelector{Phase::End, 1}), over_the_air),
              UpgradeOutcome::Ok);
  }
}

TEST_P(PacedTimingTest, FrameRepliesCountUpTo2000MsAndNoFurther) {
  struct Case {
    Phase phase;
    milliseconds delay;
    UpgradeOutcome outcome;
  };
  const Case cases[] = {
      {Phase::Poll, 1990ms, UpgradeOutcome::Ok},          {Phase::Poll, 2000ms, UpgradeOutcome::Ok},
      {Phase::Poll, 2001ms, UpgradeOutcome::PollRefused}, {Phase::Data, 2000ms, UpgradeOutcome::Ok},
      {Phase::Data, 2010ms, UpgradeOutcome::FrameRefused}, {Phase::End, 1000ms, UpgradeOutcome::Ok},
      {Phase::End, 1001ms, UpgradeOutcome::RebootRefused},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << sim::PhaseName(c.phase) << ", answer after " << c.delay.count() << " ms");
    sinks_.Reset();
    EXPECT_EQ(Run(LateAnswer(c.phase, c.delay)), c.outcome);
    EXPECT_EQ(module_->Violations(), std::vector<std::string>{});
  }
}

TEST_F(TimingTest, AnUnansweredFrameFailsAtItsLimitNotLater) {
  ASSERT_EQ(Run(FaultPlanWith(&FaultPlan::ignore_data, 2u)), UpgradeOutcome::FrameRefused);
  const auto data = Of(Kind::Data);
  ASSERT_EQ(data.size(), 2u);
  EXPECT_EQ(clock_.Now() - data[1].at, 2000ms);
  EXPECT_EQ(sinks_.LastStatus(), "Write Error");
}

TEST_P(PacedTimingTest, OverTheAirEndsWithTheTrailerAndAHalfSecondPause) {
  ASSERT_EQ(Run({}, true), UpgradeOutcome::Ok);
  const auto trailer = Of(Kind::Trailer);
  ASSERT_EQ(trailer.size(), 1u);
  EXPECT_EQ(clock_.Now() - trailer[0].at, 500ms);
}

INSTANTIATE_TEST_SUITE_P(BothPacings, PacedTimingTest, ::testing::Values(Pacing::Classic, Pacing::Fast),
                         [](const ::testing::TestParamInfo<Pacing>& pacing_case) {
                           return std::string(PacingName(pacing_case.param));
                         });

TEST_F(TimingTest, FilesUpToTheOffsetLimitStreamWholeAndOneByteMoreIsRefused) {
  // 1048488 bytes: the largest file whose end header offset, 1048544, still
  // fits 20 bits; one frame less streams too; one byte more does not start.
  for (std::size_t size : {std::size_t{1048432}, std::size_t{1048488}}) {
    sinks_.Reset();
    ASSERT_EQ(Run({}, false, size), UpgradeOutcome::Ok) << size;
    const auto data = Of(Kind::Data);
    ASSERT_EQ(data.size(), (size + 55) / 56 + 1) << size;
    const auto& last = data.back().message.bytes;
    const std::uint32_t last_offset = last[0] | (last[1] << 8) | ((last[2] & 0x0F) << 16);
    EXPECT_EQ(last_offset, (data.size() - 1) * 56);
    EXPECT_EQ(last[2] & 0xF0, 0x50);
    const auto end = Of(Kind::End);
    ASSERT_EQ(end.size(), 1u);
    EXPECT_EQ(end[0].message.bytes[2], 0x70 | ((data.size() * 56) >> 16)) << "the end marker keeps its nibble";
  }
  sinks_.Reset();
  EXPECT_EQ(Run({}, false, 1048489), UpgradeOutcome::FileTooLarge);
  EXPECT_EQ(sinks_.LastStatus(), "Failure : file too large");
  EXPECT_EQ(Of(Kind::WakeUp).size(), 0u) << "refused before anything is sent";
}

}  // namespace
}  // namespace zevuvuri
