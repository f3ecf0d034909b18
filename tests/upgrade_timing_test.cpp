// The sequence's timing played out on a virtual clock: the pauses and the
// reply limits to the exact millisecond, where real time would be too loose.
#include <gtest/gtest.h>

#include <fstream>

#include "engine/upgrade_controller.h"
#include "tests/support/virtual_module.h"

namespace zevuvuri {
namespace {

using namespace std::chrono_literals;
using testing::Answer;
using testing::ScriptedModule;
using testing::TempDir;
using testing::TimedMessage;
using testing::VirtualClock;
using testing::VirtualModule;
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
  // Runs one serial upgrade of a 100-byte file against `answer`; returns its outcome.
  UpgradeOutcome Run(ScriptedModule::AnswerFn answer, bool over_the_air = false, std::size_t file_size = 100) {
    module_ = std::make_unique<VirtualModule>(clock_, std::move(answer));
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
  std::vector<TimedMessage> Of(Kind kind) {
    std::vector<TimedMessage> out;
    for (auto& m : module_->Messages()) {
      if (m.message.kind == kind) out.push_back(m);
    }
    return out;
  }

  TempDir dir_;
  VirtualClock clock_;
  EndRecorder sinks_;
  UpgradeController controller_{sinks_};
  std::unique_ptr<VirtualModule> module_;
};

// Answers as a cooperative module, except `kind`'s first message, answered
// with `byte` after `delay`.
ScriptedModule::AnswerFn LateAnswer(Kind kind, milliseconds delay, std::uint8_t byte = '0') {
  return [=](const WireMessage& m, int nth) -> Answer {
    Answer a = ScriptedModule::Cooperative(false)(m, nth);
    if (m.kind == kind && nth == 1) a = Answer{{byte}, delay};
    return a;
  };
}

// Both pacings keep every pause and limit; fast pacing only sees a reply
// sooner (at once, which a virtual clock counts as its next millisecond).
class PacedTimingTest : public TimingTest, public ::testing::WithParamInterface<Pacing> {
 protected:
  void SetUp() override { controller_.SetPacing(GetParam()); }
  milliseconds Look() const { return GetParam() == Pacing::Fast ? 1ms : 10ms; }
};

TEST_P(PacedTimingTest, TheWakeUpProbesAndSerialStartPauseKeepTheirPacing) {
  ASSERT_EQ(Run([](const WireMessage& m, int nth) -> Answer {
              if (m.kind == Kind::Probe && nth < 4) return {};  // three probes go unanswered
              return ScriptedModule::Cooperative(false)(m, nth);
            }),
            UpgradeOutcome::Ok);
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
    EXPECT_EQ(Run(
                  [over_the_air](const WireMessage& m, int nth) -> Answer {
                    if (m.kind == Kind::Fillers) return Answer{{'0'}, 0ms, true};
                    return ScriptedModule::Cooperative(over_the_air)(m, nth);
                  },
                  over_the_air),
              UpgradeOutcome::Ok);
  }
}

TEST_P(PacedTimingTest, FrameRepliesCountUpTo2000MsAndNoFurther) {
  struct Case {
    Kind kind;
    milliseconds delay;
    UpgradeOutcome outcome;
  };
  const Case cases[] = {
      {Kind::Poll, 1990ms, UpgradeOutcome::Ok},          {Kind::Poll, 2000ms, UpgradeOutcome::Ok},
      {Kind::Poll, 2001ms, UpgradeOutcome::PollRefused}, {Kind::Data, 2000ms, UpgradeOutcome::Ok},
      {Kind::Data, 2010ms, UpgradeOutcome::FrameRefused}, {Kind::Fillers, 1000ms, UpgradeOutcome::Ok},
      {Kind::Fillers, 1001ms, UpgradeOutcome::RebootRefused},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << "kind " << static_cast<int>(c.kind) << ", answer after " << c.delay.count()
                                      << " ms");
    sinks_.Reset();
    EXPECT_EQ(Run(LateAnswer(c.kind, c.delay)), c.outcome);
  }
}

TEST_F(TimingTest, AnUnansweredFrameFailsAtItsLimitNotLater) {
  ASSERT_EQ(Run([](const WireMessage& m, int nth) -> Answer {
              if (m.kind == Kind::Data && nth == 2) return {};
              return ScriptedModule::Cooperative(false)(m, nth);
            }),
            UpgradeOutcome::FrameRefused);
  const auto data = Of(Kind::Data);
  ASSERT_EQ(data.size(), 2u);
  EXPECT_EQ(clock_.Now() - data[1].at, 2000ms);
  EXPECT_EQ(sinks_.LastStatus(), "Write Error");
}

TEST_P(PacedTimingTest, OverTheAirEndsWithTheTrailerAndAHalfSecondPause) {
  ASSERT_EQ(Run(ScriptedModule::Cooperative(true), true), UpgradeOutcome::Ok);
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
    ASSERT_EQ(Run(ScriptedModule::Cooperative(false), false, size), UpgradeOutcome::Ok) << size;
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
  EXPECT_EQ(Run(ScriptedModule::Cooperative(false), false, 1048489), UpgradeOutcome::FileTooLarge);
  EXPECT_EQ(sinks_.LastStatus(), "Failure : file too large");
  EXPECT_EQ(Of(Kind::WakeUp).size(), 0u) << "refused before anything is sent";
}

}  // namespace
}  // namespace zevuvuri
