// The live state's rules without a server: the throttle against a clock the
// test moves, and the publisher's thread against a writer in memory that
// notes every write, fails or hangs on demand.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "records/live_state_publisher.h"
#include "records/column_text.h"
#include "records/live_state_throttle.h"

namespace zevuvuri::records {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

TEST(LiveStateThrottle, ABurstGivesOneWriteNowAndOneWithTheLastStateAfterTheGap) {
  LiveStateThrottle throttle(2, LiveTimes{});
  const auto t0 = Clock::now();
  EXPECT_TRUE(throttle.TakeBeat(t0));  // the first beat comes at once
  // A hundred changes over 100 ms: the first one is written at once...
  throttle.SlotChanged(0);
  EXPECT_EQ(throttle.TakeDueSlots(t0), std::vector<std::size_t>{0});
  for (int i = 1; i < 100; ++i) {
    throttle.SlotChanged(0);
    EXPECT_TRUE(throttle.TakeDueSlots(t0 + 1ms * i).empty()) << "change " << i;
  }
  // ...the rest once the gap has passed, and then nothing until the next change.
  EXPECT_EQ(throttle.NextDue(), t0 + 250ms);
  EXPECT_TRUE(throttle.TakeDueSlots(t0 + 249ms).empty());
  EXPECT_EQ(throttle.TakeDueSlots(t0 + 250ms), std::vector<std::size_t>{0});
  EXPECT_TRUE(throttle.TakeDueSlots(t0 + 2s).empty());
  EXPECT_EQ(throttle.NextDue(), t0 + 5s) << "only the beat is left";

  // One slot's gap holds no other slot back.
  throttle.SlotChanged(0);
  throttle.SlotChanged(1);
  EXPECT_EQ(throttle.TakeDueSlots(t0 + 300ms), std::vector<std::size_t>{1});
  EXPECT_EQ(throttle.TakeDueSlots(t0 + 500ms), std::vector<std::size_t>{0});

  // The run's end writes what changed without waiting for the gap.
  throttle.SlotChanged(0);
  EXPECT_EQ(throttle.TakeDueSlots(t0 + 501ms, true), std::vector<std::size_t>{0});
  // A write that failed is due again at once.
  throttle.SlotUnwritten(0);
  EXPECT_EQ(throttle.TakeDueSlots(t0 + 502ms), std::vector<std::size_t>{0});
}

TEST(LiveStateThrottle, HeartbeatEveryBeatUnlessTheRunsRowWasWritten) {
  LiveStateThrottle throttle(1, LiveTimes{});
  const auto t0 = Clock::now();
  EXPECT_TRUE(throttle.TakeBeat(t0));
  EXPECT_FALSE(throttle.TakeBeat(t0 + 4999ms));
  EXPECT_TRUE(throttle.TakeBeat(t0 + 5s));
  throttle.RunChanged();
  EXPECT_EQ(throttle.NextDue(), Clock::time_point::min());
  EXPECT_TRUE(throttle.TakeRun(t0 + 8s));
  EXPECT_FALSE(throttle.TakeRun(t0 + 8s));
  EXPECT_FALSE(throttle.TakeBeat(t0 + 12s)) << "the run's row was touched at 8 s";
  EXPECT_TRUE(throttle.TakeBeat(t0 + 13s));
  // A new connection writes everything again at once.
  throttle.AllChanged();
  EXPECT_EQ(throttle.TakeDueSlots(t0 + 13s), std::vector<std::size_t>{0});
  EXPECT_TRUE(throttle.TakeRun(t0 + 13s));
}

TEST(ColumnText, ColumnsAreCutOnCharactersAndForeignBytesReplaced) {
  EXPECT_EQ(FitColumn("abc", 3), "abc");
  EXPECT_EQ(FitColumn("abcd", 3), "abc");
  EXPECT_EQ(FitColumn("\xC3\xA4\xC3\xB6\xC3\xBC", 2), "\xC3\xA4\xC3\xB6");       // äöü: two characters
  EXPECT_EQ(FitColumn("a\xF0\x9F\x98\x80", 2), "a") << "a character past U+FFFF counts twice";
  EXPECT_EQ(FitColumn("a\xF0\x9F\x98\x80", 3), "a\xF0\x9F\x98\x80");
  EXPECT_EQ(FitColumn("fw\xE4.bin", 10), "fw\xEF\xBF\xBD.bin") << "a Latin-1 byte";
  EXPECT_EQ(FitColumn("x\xE2\x82", 10), "x\xEF\xBF\xBD\xEF\xBF\xBD") << "a character cut short";
  EXPECT_EQ(FitColumn("\xED\xA0\x80", 10), "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD") << "a surrogate";
}

// The database in memory: what each writer was asked to write, in order.
struct FakeLine {
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<std::string> calls;  // "open", "slot 0 53", "run 2", "beat", "end"
  std::vector<LiveSlot> slots_written;
  int opens = 0;
  int failing_opens = 0;   // connections still to fail
  bool tables_missing = false;
  bool hang = false;       // every write waits for `release`
  bool release = false;
  int cancels = 0;

  bool WaitFor(const std::function<bool()>& what, std::chrono::seconds limit = 10s) {
    std::unique_lock lock(mutex);
    return changed.wait_for(lock, limit, what);
  }
  int Count(const std::string& prefix) {
    int n = 0;
    for (const auto& c : calls) n += c.rfind(prefix, 0) == 0;
    return n;
  }
};

class FakeWriter final : public LiveStateWriter {
 public:
  explicit FakeWriter(std::shared_ptr<FakeLine> line) : line_(std::move(line)) {}
  LiveWrite Open(const LiveStation&, std::string* error) override {
    if (line_->tables_missing) {
      *error = "no tables";
      return LiveWrite::NotPossible;
    }
    return Note("open");
  }
  LiveWrite Run(const LiveRun& run, std::string*) override { return Note("run " + std::to_string(run.units)); }
  LiveWrite Slot(const LiveSlot& slot, std::string*) override {
    {
      std::lock_guard lock(line_->mutex);
      line_->slots_written.push_back(slot);
    }
    return Note("slot " + std::to_string(slot.slot) + " " + std::to_string(slot.percent.value_or(-1)));
  }
  LiveWrite Beat(std::string*) override { return Note("beat"); }
  LiveWrite End(std::string*) override { return Note("end"); }
  void Cancel() override {
    std::lock_guard lock(line_->mutex);
    ++line_->cancels;
  }

 private:
  LiveWrite Note(const std::string& call) {
    std::unique_lock lock(line_->mutex);
    line_->changed.wait(lock, [&] { return !line_->hang || line_->release; });
    line_->calls.push_back(call);
    line_->changed.notify_all();
    return LiveWrite::Done;
  }
  std::shared_ptr<FakeLine> line_;
};

class LiveStatePublisherTest : public ::testing::Test {
 protected:
  std::unique_ptr<LiveStatePublisher> Make(LiveTimes times = {}) {
    LiveStation station;
    station.station = "line-a-1";
    station.ports = {"1", "2"};
    std::vector<LiveSlot> first(2);
    first[1].slot = 1;
    auto publisher = std::make_unique<LiveStatePublisher>(
        station, first, LiveRun{}, [line = line_](std::string* error) -> std::unique_ptr<LiveStateWriter> {
          {
            std::lock_guard lock(line->mutex);
            ++line->opens;
            line->changed.notify_all();
            if (line->failing_opens > 0) {
              --line->failing_opens;
              *error = "08001: refused";
              return nullptr;
            }
          }
          return std::make_unique<FakeWriter>(line);
        },
        times);
    std::string error;
    EXPECT_TRUE(publisher->Start(&error)) << error;
    return publisher;
  }
  static LiveSlot Percent(int slot, int percent) {
    LiveSlot s;
    s.slot = slot;
    s.percent = percent;
    return s;
  }
  std::shared_ptr<FakeLine> line_ = std::make_shared<FakeLine>();
};

// A hundred changes at once give a write now and one with the last state;
// the heartbeat goes on; the end writes the last state, the run and its end.
TEST_F(LiveStatePublisherTest, BurstHeartbeatAndEnd) {
  auto publisher = Make(LiveTimes{250ms, 100ms, 3s});
  ASSERT_TRUE(line_->WaitFor([&] { return line_->Count("slot 1") == 1; })) << "the first states";
  const auto began = Clock::now();
  for (int percent = 0; percent < 100; ++percent) publisher->SetSlot(Percent(0, percent));
  const auto burst = Clock::now() - began;
  ASSERT_TRUE(line_->WaitFor([&] { return !line_->calls.empty() && line_->calls.back() == "slot 0 99"; }))
      << "the last state never landed";
  {
    std::lock_guard lock(line_->mutex);
    // The first state at the open, then one write per gap the burst spanned, and the last.
    const int most = 3 + static_cast<int>(burst / 250ms);
    EXPECT_LE(line_->Count("slot 0"), most);
    EXPECT_GE(line_->Count("slot 0"), 2);
  }
  ASSERT_TRUE(line_->WaitFor([&] { return line_->Count("beat") >= 3; })) << "no heartbeat";

  LiveRun run;
  run.units = 7;
  publisher->SetRun(run);
  publisher->SetSlot(Percent(1, 100));
  publisher->SetSlot(Percent(1, 42));  // within the gap of the one before: still written at the end
  publisher->Ending();
  EXPECT_TRUE(publisher->Stop(Clock::now() + 5s));
  std::lock_guard lock(line_->mutex);
  ASSERT_GE(line_->calls.size(), 3u);
  EXPECT_EQ(line_->calls.back(), "end");
  EXPECT_EQ(line_->slots_written.back().percent, 42);
  EXPECT_EQ(line_->Count("run 7"), 1);
  EXPECT_EQ(line_->opens, 1);
}

// A database that refuses the connection is tried again after the pause,
// and everything is written on the new connection.
TEST_F(LiveStatePublisherTest, ConnectsAgainAfterAFailureAndWritesEverything) {
  line_->failing_opens = 2;
  auto publisher = Make(LiveTimes{250ms, 5s, 50ms});
  publisher->SetSlot(Percent(1, 30));
  ASSERT_TRUE(line_->WaitFor([&] { return line_->Count("slot 1 30") == 1 && line_->Count("slot 0") == 1; }));
  std::lock_guard lock(line_->mutex);
  EXPECT_EQ(line_->opens, 3);
  EXPECT_EQ(line_->calls.front(), "open");
}

// Tables missing: said once, and nothing more is tried.
TEST_F(LiveStatePublisherTest, TablesMissingAreSaidOnceAndNotTriedAgain) {
  line_->tables_missing = true;
  auto publisher = Make(LiveTimes{250ms, 5s, 10ms});
  ASSERT_TRUE(line_->WaitFor([&] { return line_->opens == 1; }));
  std::optional<std::string> news;
  for (int i = 0; i < 1000 && !news; ++i) {
    news = publisher->News();
    if (!news) std::this_thread::sleep_for(10ms);
  }
  ASSERT_TRUE(news);
  EXPECT_NE(news->find("no tables"), std::string::npos) << *news;
  EXPECT_FALSE(publisher->News());
  publisher->SetSlot(Percent(0, 5));
  publisher->Ending();
  EXPECT_FALSE(publisher->Stop(Clock::now() + 5s));
  std::lock_guard lock(line_->mutex);
  EXPECT_EQ(line_->opens, 1);
  EXPECT_TRUE(line_->calls.empty());
}

// A database that takes a write and never returns: the caller's calls
// still return, and the stop gives up by its deadline after a cancel.
TEST_F(LiveStatePublisherTest, AHangingDatabaseBlocksNeitherTheCallerNorTheEnd) {
  auto publisher = Make();
  ASSERT_TRUE(line_->WaitFor([&] { return line_->Count("slot") == 2; }));
  {
    std::lock_guard lock(line_->mutex);
    line_->hang = true;
  }
  auto calls = std::async(std::launch::async, [&] {
    for (int i = 0; i < 1000; ++i) publisher->SetSlot(Percent(i % 2, i % 101));
    LiveRun run;
    run.units = 1;
    publisher->SetRun(run);
    publisher->Ending();
    return true;
  });
  const bool returned = calls.wait_for(10s) == std::future_status::ready;
  if (!returned) {
    std::lock_guard lock(line_->mutex);
    line_->release = true;  // so that the calls end and the test with them
    line_->changed.notify_all();
  }
  ASSERT_TRUE(returned) << "the station's thread waited for the database";
  const auto began = Clock::now();
  EXPECT_FALSE(publisher->Stop(Clock::now() + 1s));
  EXPECT_LT(Clock::now() - began, 3s);
  EXPECT_TRUE(line_->WaitFor([&] { return line_->cancels == 1; }));
  std::lock_guard lock(line_->mutex);
  line_->release = true;  // the abandoned thread may end now
  line_->changed.notify_all();
}

}  // namespace
}  // namespace zevuvuri::records
