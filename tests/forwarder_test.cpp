// The forwarder's rules without a server: a store in memory that keeps each
// record_id once, refuses what it is told to, fails or hangs on demand, and
// notes every batch it is handed. Marks, refusals, rotation, WaitSent, two
// forwarders on one journal and a large backlog.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <thread>
#include <utility>

#include "records/forwarder.h"
#include "records/forwarder_news.h"
#include "records/journal_lines.h"
#include "records/sent_mark.h"
#include "tests/support/pseudo_terminal.h"

namespace zevuvuri::records {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// The database in memory, shared by the stores opened on it.
struct FakeDatabase {
  std::mutex mutex;
  std::condition_variable changed;
  std::map<std::string, int> rows;      // record_id -> times stored (never more than once)
  std::set<std::string> refused;        // record_ids refused
  std::vector<std::size_t> batches;     // rows per Store call
  // When each of those calls began and ended.
  std::vector<std::pair<Clock::time_point, Clock::time_point>> spans;
  std::uint64_t offered = 0;            // rows handed over in all
  int failures_left = 0;                // Store calls still to fail
  std::chrono::milliseconds slow{0};    // each Store call takes this long
  bool hang = false;                    // Store waits for a Cancel
  bool count_only = false;              // rows only counted (a large backlog), never taken as there
  std::uint64_t counted = 0;
  int calls_begun = 0;
  std::function<void()> after_store;    // run once, at the end of the next Store call

  bool Has(const std::string& id) {
    std::lock_guard lock(mutex);
    return rows.count(id) > 0;
  }
  std::size_t Stored() {
    std::lock_guard lock(mutex);
    return rows.size();
  }
};

class FakeStore final : public RecordStore {
 public:
  explicit FakeStore(FakeDatabase& db) : db_(db) {}

  bool Store(const std::vector<RecordRow>& rows, std::vector<RowResult>* results, std::string* error) override {
    const Clock::time_point began = Clock::now();
    std::unique_lock lock(db_.mutex);
    ++db_.calls_begun;
    db_.changed.notify_all();
    if (db_.slow.count() > 0) db_.changed.wait_for(lock, db_.slow, [&] { return cancelled_; });
    if (db_.hang) db_.changed.wait(lock, [&] { return cancelled_; });
    if (cancelled_) {
      *error = "57014: canceling statement due to user request";
      return false;
    }
    db_.batches.push_back(rows.size());
    db_.spans.emplace_back(began, Clock::now());
    db_.offered += rows.size();
    if (db_.failures_left > 0) {
      --db_.failures_left;
      *error = "08006: server closed the connection unexpectedly";
      return false;  // nothing of the batch is kept
    }
    results->clear();
    if (db_.count_only) {
      db_.counted += rows.size();
      results->assign(rows.size(), RowResult{});
      return true;
    }
    for (const RecordRow& row : rows) {
      if (db_.refused.count(row.record_id)) {
        results->push_back({RowOutcome::Refused, "23514: new row violates check constraint\n\tPWD=secret"});
      } else if (db_.rows.count(row.record_id)) {
        results->push_back({RowOutcome::AlreadyThere, ""});
      } else {
        db_.rows[row.record_id] = 1;
        results->push_back({RowOutcome::Stored, ""});
      }
    }
    if (auto after = std::exchange(db_.after_store, nullptr)) after();
    return true;
  }

  void Cancel() override {
    std::lock_guard lock(db_.mutex);
    cancelled_ = true;
    db_.changed.notify_all();
  }

 private:
  FakeDatabase& db_;
  bool cancelled_ = false;
};

std::string Id(int n) {
  char id[33];
  std::snprintf(id, sizeof id, "%032x", n + 0xabc000);
  return id;
}

std::string Record(int n) {
  return "{\"record_id\":\"" + Id(n) + "\",\"station\":\"line-a\",\"start\":\"2026-12-31T23:59:59.500Z\"," +
         "\"host\":\"pc\",\"port\":\"3\",\"firmware\":\"/fw/REDIDADU.bin\",\"result\":\"Upgrade OK\",\"unit\":" +
         std::to_string(n) + "}\n";
}

// Test pauses: a retry and a look come quickly.
ForwarderTimes QuickTimes() {
  ForwarderTimes t;
  t.first_retry = 50ms;
  t.longest_retry = 100ms;
  t.look_again = 50ms;
  t.not_answering = 300ms;
  return t;
}

// Polls `done` every 10 ms for up to `limit`.
template <typename F>
bool Eventually(F done, std::chrono::milliseconds limit = 20s) {
  const auto until = Clock::now() + limit;
  while (!done()) {
    if (Clock::now() > until) return false;
    std::this_thread::sleep_for(10ms);
  }
  return true;
}

// Public: the parametrised cases below act on it.
class ForwarderRulesTest : public ::testing::Test {
 public:
  void SetUp() override { journal_ = dir_.Path() + "/records.jsonl"; }

  StoreOpener Opener() {
    return [this](std::string*) { return std::make_unique<FakeStore>(db_); };
  }
  std::unique_ptr<RecordForwarder> Started() {
    auto f = std::make_unique<RecordForwarder>(journal_, Opener(), QuickTimes());
    std::string error;
    EXPECT_TRUE(f->Start(&error)) << error;
    return f;
  }
  // Appends as a writer does: through the path, creating the file.
  void Append(const std::string& text, const std::string& path = "") {
    std::ofstream(path.empty() ? journal_ : path, std::ios::app | std::ios::binary) << text;
  }
  void AppendRecords(int first, int last, const std::string& path = "") {
    std::string text;
    for (int n = first; n <= last; ++n) text += Record(n);
    Append(text, path);
  }
  // Every record first..last in the database, each once.
  void ExpectStored(int first, int last) {
    std::lock_guard lock(db_.mutex);
    for (int n = first; n <= last; ++n) EXPECT_EQ(db_.rows.count(Id(n)), 1u) << "record " << n;
  }
  // Sends everything once with a forwarder of its own.
  void SendAll() {
    auto f = Started();
    EXPECT_TRUE(f->WaitSent(20s)) << f->State().reason;
    EXPECT_TRUE(f->Stop(2s));
  }
  std::uint64_t EndOf(int record) {
    return static_cast<std::uint64_t>(record) * Record(1).size();  // records of equal length
  }

  testing::TempDir dir_;
  std::string journal_;
  FakeDatabase db_;
};

// A mark that does not check out is dropped and the journal is sent from its
// start: records 1-2 were sent under a good mark, 3-5 wait, and the mark is
// then damaged so that it seems to stand further on, or the journal is
// archived with its mark left behind and a new one of that name grows past
// the old mark. Every record must reach the database, each once.
struct MarkDamage {
  const char* name;
  void (*apply)(ForwarderRulesTest& fx, SentMark& mark, std::string* raw);
  std::uint64_t waiting;  // what the count then finds: the whole journal
};

class DamagedMarkTest : public ForwarderRulesTest, public ::testing::WithParamInterface<MarkDamage> {};

TEST_P(DamagedMarkTest, IsDroppedAndTheJournalSentAgainFromItsStart) {
  AppendRecords(1, 2);
  SendAll();
  AppendRecords(3, 5);
  auto mark = LoadSentMark(SentMarkPath(journal_));
  ASSERT_TRUE(mark.has_value());
  ASSERT_EQ(mark->offset, EndOf(2));
  std::string raw;
  GetParam().apply(*this, *mark, &raw);
  if (raw.empty()) raw = EncodeSentMark(*mark);
  std::ofstream(SentMarkPath(journal_), std::ios::trunc | std::ios::binary) << raw;

  EXPECT_EQ(CountWaiting(journal_).waiting, GetParam().waiting);
  SendAll();
  ExpectStored(1, 5);
  const WaitingCount left = CountWaiting(journal_);
  EXPECT_TRUE(left.read);
  EXPECT_EQ(left.waiting, 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Marks, DamagedMarkTest,
    ::testing::Values(
        MarkDamage{"mid_line", [](ForwarderRulesTest& fx, SentMark& m, std::string*) { m.offset = fx.EndOf(3) + 20; },
                   5},
        MarkDamage{"at_an_unsent_records_end",
                   [](ForwarderRulesTest& fx, SentMark& m, std::string*) { m.offset = fx.EndOf(4); }, 5},
        MarkDamage{"old_format",
                   [](ForwarderRulesTest& fx, SentMark&, std::string* raw) {
                     char text[32];
                     std::snprintf(text, sizeof text, "%020llu\n", static_cast<unsigned long long>(fx.EndOf(4)));
                     *raw = text;
                   },
                   5},
        MarkDamage{"a_byte_changed",
                   [](ForwarderRulesTest&, SentMark& m, std::string* raw) {
                     *raw = EncodeSentMark(m);
                     (*raw)[raw->find("offset ") + 7] = '9';
                   },
                   5},
        MarkDamage{"another_journals",
                   [](ForwarderRulesTest& fx, SentMark&, std::string*) {
                     std::filesystem::rename(fx.journal_, fx.dir_.Path() + "/archive.jsonl");
                     fx.AppendRecords(3, 5);
                   },
                   3}),
    [](const ::testing::TestParamInfo<MarkDamage>& case_info) { return std::string(case_info.param.name); });

// A record the database refuses is set aside: the rest goes on, the state
// and the operator's line say so (one line, password masked), the mark keeps
// it, and the next start tries it again: still refused it stays counted and
// holds nothing up; accepted it is stored.
TEST_F(ForwarderRulesTest, RefusedRecordIsSetAsideCountedAndTriedAgain) {
  db_.refused = {Id(2)};
  AppendRecords(1, 5);
  {
    auto f = Started();
    EXPECT_TRUE(f->WaitSent(20s)) << f->State().reason;
    const ForwarderState s = f->State();
    EXPECT_EQ(s.sent, 4u);
    EXPECT_EQ(s.refused, 1u);
    EXPECT_EQ(s.waiting, 0u);
    ForwarderNews news;
    EXPECT_EQ(news.Next(s).value_or(""),
              "records: 1 refused by the database: 23514: new row violates check constraint PWD=***");
    EXPECT_TRUE(f->Stop(2s));
  }
  ExpectStored(3, 5);
  EXPECT_FALSE(db_.Has(Id(2)));
  WaitingCount left = CountWaiting(journal_);
  EXPECT_EQ(left.waiting, 0u);
  EXPECT_EQ(left.refused, 1u);

  AppendRecords(6, 6);
  SendAll();  // still refused: tried, kept, and record 6 goes
  ExpectStored(6, 6);
  EXPECT_EQ(CountWaiting(journal_).refused, 1u);

  db_.refused.clear();
  auto f = Started();
  EXPECT_TRUE(f->WaitSent(20s)) << f->State().reason;
  EXPECT_EQ(f->State().refused, 0u);
  EXPECT_EQ(f->State().sent, 1u);
  EXPECT_TRUE(f->Stop(2s));
  ExpectStored(1, 6);
  left = CountWaiting(journal_);
  EXPECT_EQ(left.waiting, 0u);
  EXPECT_EQ(left.refused, 0u);
}

// More refused records than a mark keeps: the mark stays before the first it
// has no room for, so none is lost; every record is counted as waiting or
// refused, and all go once the database takes them.
TEST_F(ForwarderRulesTest, RefusedRecordsPastWhatTheMarkKeepsAreNotLost) {
  const int records = static_cast<int>(kMostRefusedKept) + 150;
  for (int n = 1; n <= records; ++n) db_.refused.insert(Id(n));
  AppendRecords(1, records);
  SendAll();
  const WaitingCount left = CountWaiting(journal_);
  EXPECT_EQ(left.refused, kMostRefusedKept);
  EXPECT_EQ(left.waiting + left.refused, static_cast<std::uint64_t>(records));
  db_.refused.clear();
  SendAll();
  ExpectStored(1, records);
  EXPECT_EQ(CountWaiting(journal_).waiting + CountWaiting(journal_).refused, 0u);
}

// A Store that fails keeps nothing: the mark stays where it was, the records
// still wait, and the next attempt sends them. A backlog goes in batches of
// several hundred rows, never more than kBatchLines; a record the database
// already has counts as sent and is not stored again.
TEST_F(ForwarderRulesTest, FailedStoreMovesNothingAndBacklogGoesInBatches) {
  constexpr int kRecords = 1200;
  AppendRecords(1, kRecords);
  db_.rows[Id(7)] = 1;  // an earlier send got through
  db_.failures_left = 1000;
  {
    auto f = Started();
    EXPECT_FALSE(f->WaitSent(20s));
    EXPECT_TRUE(Eventually([&] { return f->State().failures >= 2; }));
    EXPECT_NE(f->State().reason.find("08006"), std::string::npos) << f->State().reason;
    EXPECT_EQ(f->State().sent, 0u);
    EXPECT_TRUE(f->Stop(2s));
  }
  EXPECT_EQ(CountWaiting(journal_).waiting, static_cast<std::uint64_t>(kRecords));
  {
    std::lock_guard lock(db_.mutex);
    db_.failures_left = 0;
    db_.batches.clear();
    db_.offered = 0;
  }
  auto f = Started();
  EXPECT_TRUE(f->WaitSent(20s)) << f->State().reason;
  EXPECT_EQ(f->State().sent, static_cast<std::uint64_t>(kRecords));
  EXPECT_TRUE(f->Stop(2s));
  ExpectStored(1, kRecords);
  std::lock_guard lock(db_.mutex);
  EXPECT_EQ(db_.offered, static_cast<std::uint64_t>(kRecords));  // none handed over twice
  ASSERT_FALSE(db_.batches.empty());
  EXPECT_EQ(db_.batches.front(), kBatchLines);
  for (const std::size_t rows : db_.batches) EXPECT_LE(rows, kBatchLines);
  EXPECT_EQ(CountWaiting(journal_).waiting, 0u);
}

// Emptied in place and written again while a backlog goes out in batches:
// the next batch is not read on inside the new text from where the old one
// stood (its first lines would be skipped for good); the new text is sent
// from its start.
TEST_F(ForwarderRulesTest, JournalEmptiedAndRewrittenMidBacklogIsSentFromItsStart) {
  const int old_last = static_cast<int>(kBatchLines) + 100;
  const int new_last = 1000 + static_cast<int>(kBatchLines) + 200;
  AppendRecords(1, old_last);
  db_.after_store = [this, new_last] {
    std::ofstream(journal_, std::ios::trunc | std::ios::binary).close();
    AppendRecords(1001, new_last);
  };
  auto f = Started();
  EXPECT_TRUE(f->WaitSent(20s)) << f->State().reason;
  EXPECT_TRUE(f->Stop(2s));
  ExpectStored(1001, new_last);
  EXPECT_EQ(CountWaiting(journal_).waiting, 0u);
}

// The journal changes under a running forwarder. Records 1-2 are sent; then
// the journal is removed, renamed (and the old file gets one record more, as
// from a writer that had not yet noticed), emptied in place, or replaced by
// another file renamed over it; the writer then appends 3-5 at the path.
// Every record reaches the database, each once, and nothing waits.
struct Rotation {
  const char* name;
  void (*apply)(ForwarderRulesTest& fx);
};

class RotationTest : public ForwarderRulesTest, public ::testing::WithParamInterface<Rotation> {};

TEST_P(RotationTest, EveryRecordReachesTheDatabase) {
  AppendRecords(1, 2);
  auto f = Started();
  ASSERT_TRUE(f->WaitSent(20s)) << f->State().reason;
  GetParam().apply(*this);
  AppendRecords(3, 5);
  EXPECT_TRUE(f->WaitSent(20s)) << f->State().reason;
  EXPECT_TRUE(f->Stop(2s));
  ExpectStored(1, 5);
  if (GetParam().name == std::string("mv")) ExpectStored(100, 100);
  EXPECT_EQ(CountWaiting(journal_).waiting, 0u);
}

// A record refused before the rotation stays in the file rotation took: the
// fresh file's mark cannot name it, so the forwarder still counts it, apart,
// and the run cannot end as if nothing were left.
TEST_P(RotationTest, RecordRefusedBeforeIsStillCountedAfter) {
  db_.refused = {Id(2)};
  AppendRecords(1, 2);
  auto f = Started();
  ASSERT_TRUE(f->WaitSent(20s)) << f->State().reason;
  ASSERT_EQ(f->State().refused, 1u);
  GetParam().apply(*this);
  AppendRecords(3, 5);
  EXPECT_TRUE(f->WaitSent(20s)) << f->State().reason;
  const ForwarderState s = f->State();
  EXPECT_TRUE(f->Stop(2s));
  EXPECT_EQ(s.refused, 1u);
  EXPECT_EQ(s.refused_rotated, 1u);
  ExpectStored(3, 5);
  EXPECT_EQ(CountWaiting(journal_).refused, 0u);  // the path's file has none of its own
}

INSTANTIATE_TEST_SUITE_P(
    Journal, RotationTest,
    ::testing::Values(Rotation{"rm", [](ForwarderRulesTest& fx) { std::filesystem::remove(fx.journal_); }},
                      Rotation{"mv",
                               [](ForwarderRulesTest& fx) {
                                 std::filesystem::rename(fx.journal_, fx.journal_ + ".1");
                                 fx.AppendRecords(100, 100, fx.journal_ + ".1");
                               }},
                      Rotation{"truncate",
                               [](ForwarderRulesTest& fx) {
                                 std::filesystem::resize_file(fx.journal_, 0);
                               }},
                      Rotation{"replaced",
                               [](ForwarderRulesTest& fx) {
                                 fx.Append("", fx.journal_ + ".new");
                                 std::filesystem::rename(fx.journal_ + ".new", fx.journal_);
                               }}),
    [](const ::testing::TestParamInfo<Rotation>& case_info) { return std::string(case_info.param.name); });

// WaitSent answers for what was appended before the call: a look already
// under way when it is called (its Store slowed, as on a slow disk or
// share) does not count, though it ends with nothing left that it saw.
// Records appended while a batch is in the store (past what the look
// counted) are counted once and sent by the next look.
TEST_F(ForwarderRulesTest, WaitSentCountsOnlyALookBegunAfterTheCall) {
  const int first = static_cast<int>(kBatchLines) + 100;
  db_.slow = 300ms;
  AppendRecords(1, first);
  auto f = Started();
  ASSERT_TRUE(Eventually([&] {
    std::lock_guard lock(db_.mutex);
    return db_.calls_begun >= 1;
  }));
  AppendRecords(first + 1, first + 50);
  EXPECT_TRUE(f->WaitSent(20s)) << f->State().reason;
  EXPECT_TRUE(db_.Has(Id(first + 50)));
  EXPECT_EQ(f->State().waiting, 0u);
  EXPECT_EQ(f->State().sent, static_cast<std::uint64_t>(first + 50));
  EXPECT_TRUE(f->Stop(2s));
  ExpectStored(1, first + 50);
}

// While an upgrade runs, a backlog goes in small batches, each one after a
// pause of at least nine times the last one's time (and the least pause):
// the store's own view of a batch lies within the forwarder's, so its gaps
// can only be longer, however loaded the machine. The records still all go
// while busy, a record appended meanwhile too; once no upgrade runs the
// batches are full again.
TEST_F(ForwarderRulesTest, WhileBusyBatchesAreSmallAndSpacedAndRecordsKeepFlowing) {
  ForwarderTimes times = QuickTimes();
  times.busy_least_pause = 30ms;
  times.busy_longest_pause = 5s;
  db_.slow = 20ms;  // the pause then follows the batch's time: 180 ms and more
  const int busy_last = static_cast<int>(kBusyBatchLines) * 3 + 50;
  AppendRecords(1, busy_last);
  RecordForwarder f(journal_, Opener(), times);
  f.SetBusy(true);
  std::string error;
  ASSERT_TRUE(f.Start(&error)) << error;
  ASSERT_TRUE(Eventually([&] { return db_.Stored() >= kBusyBatchLines; }));
  AppendRecords(busy_last + 1, busy_last + 1);
  f.Wake();
  EXPECT_TRUE(f.WaitSent(20s)) << f.State().reason;
  ExpectStored(1, busy_last + 1);
  {
    std::lock_guard lock(db_.mutex);
    EXPECT_EQ(db_.offered, static_cast<std::uint64_t>(busy_last + 1));
    EXPECT_GE(db_.batches.size(), 4u);
    for (const std::size_t rows : db_.batches) EXPECT_LE(rows, kBusyBatchLines);
    for (std::size_t k = 1; k < db_.spans.size(); ++k) {
      const auto took = db_.spans[k - 1].second - db_.spans[k - 1].first;
      const auto gap = db_.spans[k].first - db_.spans[k - 1].second;
      EXPECT_GE(gap, std::max<Clock::duration>(times.busy_least_pause, took * kBusyPauseFactor)) << "batch " << k;
    }
    db_.batches.clear();
    db_.spans.clear();
    db_.slow = 0ms;
  }
  f.SetBusy(false);
  AppendRecords(busy_last + 2, busy_last + 1 + static_cast<int>(kBatchLines) * 2);
  f.Wake();
  EXPECT_TRUE(f.WaitSent(20s)) << f.State().reason;
  EXPECT_TRUE(f.Stop(2s));
  ExpectStored(1, busy_last + 1 + static_cast<int>(kBatchLines) * 2);
  std::lock_guard lock(db_.mutex);
  ASSERT_EQ(db_.batches.size(), 2u);
  EXPECT_EQ(db_.batches.front(), kBatchLines);
}

// A pause between busy batches holds neither Stop nor the run's end, and is
// not taken for a database that does not answer: Stop ends a forwarder in
// the middle of a long pause, leaving the rest in the journal, and
// SetBusy(false) sends the rest at once, so that WaitSent answers long
// before the pause would have ended.
TEST_F(ForwarderRulesTest, BusyPauseEndsAtStopAndWhenNoUpgradeRuns) {
  ForwarderTimes times = QuickTimes();
  times.busy_least_pause = 60s;
  times.busy_longest_pause = 120s;
  const int last = static_cast<int>(kBusyBatchLines) * 2 + 50;
  AppendRecords(1, last);
  const auto busy_forwarder = [&] {
    auto f = std::make_unique<RecordForwarder>(journal_, Opener(), times);
    f->SetBusy(true);
    std::string error;
    EXPECT_TRUE(f->Start(&error)) << error;
    return f;
  };
  {
    auto f = busy_forwarder();
    ASSERT_TRUE(Eventually([&] { return db_.Stored() == kBusyBatchLines; }));
    const auto asked = Clock::now();
    EXPECT_TRUE(f->Stop(5s));
    EXPECT_LT(Clock::now() - asked, 10s);
  }
  EXPECT_EQ(CountWaiting(journal_).waiting, static_cast<std::uint64_t>(last) - kBusyBatchLines);
  auto f = busy_forwarder();  // its first batch goes at once, the next waits
  ASSERT_TRUE(Eventually([&] { return db_.Stored() == 2 * kBusyBatchLines; }));
  std::this_thread::sleep_for(times.not_answering + 200ms);
  EXPECT_EQ(db_.Stored(), 2 * kBusyBatchLines);
  EXPECT_FALSE(f->State().not_answering) << "a pause is no statement outstanding";
  f->SetBusy(false);
  EXPECT_TRUE(f->WaitSent(20s)) << f->State().reason;
  EXPECT_TRUE(f->Stop(2s));
  ExpectStored(1, last);
  EXPECT_EQ(CountWaiting(journal_).waiting, 0u);
}

// Two forwarders on one journal: one sends, the other counts from the mark
// and says so; nothing is handed over twice, the waiting count read from the
// files never goes up (the shared mark never moves back), and the sent counts
// add up. When the first ends, the second takes over.
TEST_F(ForwarderRulesTest, TwoForwardersOnOneJournalSendEachRecordOnce) {
  constexpr int kRecords = 2000;
  AppendRecords(1, kRecords);
  db_.slow = 20ms;
  auto first = Started();
  auto second = Started();
  std::uint64_t last = kRecords;
  bool went_up = false;
  const bool both = Eventually([&] {
    const WaitingCount now = CountWaiting(journal_);
    went_up = went_up || now.waiting > last;
    last = now.waiting;
    return now.waiting == 0;
  });
  EXPECT_TRUE(both);
  EXPECT_FALSE(went_up);
  EXPECT_TRUE(first->WaitSent(20s));
  EXPECT_TRUE(second->WaitSent(20s));
  EXPECT_NE(first->State().held_elsewhere, second->State().held_elsewhere);
  EXPECT_EQ(first->State().sent + second->State().sent, static_cast<std::uint64_t>(kRecords));
  {
    std::lock_guard lock(db_.mutex);
    EXPECT_EQ(db_.offered, static_cast<std::uint64_t>(kRecords));
  }
  auto& sender = first->State().held_elsewhere ? second : first;
  auto& other = first->State().held_elsewhere ? first : second;
  EXPECT_EQ(other->State().waiting, 0u);
  EXPECT_TRUE(sender->Stop(2s));
  AppendRecords(kRecords + 1, kRecords + 3);
  other->Wake();
  EXPECT_TRUE(Eventually([&] { return db_.Stored() == kRecords + 3u; }));
  EXPECT_TRUE(other->WaitSent(20s));
  EXPECT_FALSE(other->State().held_elsewhere);
  EXPECT_TRUE(other->Stop(2s));
}

// A Store outstanding for the not-answering time is reported as such, on the
// operator's line too; Stop cancels it and ends in time, leaving the record
// in the journal.
TEST_F(ForwarderRulesTest, DatabaseThatDoesNotAnswerIsReportedAndStopEnds) {
  db_.hang = true;
  AppendRecords(1, 1);
  auto f = Started();
  ASSERT_TRUE(Eventually([&] { return f->State().not_answering; }));
  ForwarderNews news;
  EXPECT_EQ(news.Next(f->State()).value_or(""),
            "records: 1 waiting for the database: the database does not answer");
  EXPECT_TRUE(f->Stop(5s));
  EXPECT_EQ(CountWaiting(journal_).waiting, 1u);
}

// A journal that is not there, or is no readable file, is an error to the
// count, never "0 waiting".
TEST_F(ForwarderRulesTest, MissingOrUnreadableJournalIsNoCount) {
  WaitingCount count = CountWaiting(journal_);
  EXPECT_FALSE(count.read);
  EXPECT_TRUE(count.missing);
  EXPECT_NE(count.error.find(journal_), std::string::npos);
  std::filesystem::create_directory(journal_);  // unreadable as a journal, whoever runs the test
  count = CountWaiting(journal_);
  EXPECT_FALSE(count.read);
  EXPECT_FALSE(count.missing);
  EXPECT_NE(count.error.find(journal_), std::string::npos);
}

// The process's peak resident size in KiB (Linux).
long PeakKib() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmHWM:", 0) == 0) return std::stol(line.substr(6));
  }
  return -1;
}

// 100 000 waiting records go in bounded batches: the process's peak grows by
// far less than the journal's size.
TEST_F(ForwarderRulesTest, LargeBacklogIsSentInBoundedMemory) {
  constexpr int kRecords = 100000;
  {
    std::ofstream out(journal_, std::ios::binary);
    for (int n = 1; n <= kRecords; ++n) out << Record(n);
  }
  const auto journal_kib = static_cast<long>(std::filesystem::file_size(journal_) / 1024);
  db_.count_only = true;
  const long before = PeakKib();
  ASSERT_GT(before, 0);
  auto f = Started();
  EXPECT_TRUE(f->WaitSent(120s)) << f->State().reason;
  EXPECT_EQ(f->State().sent, static_cast<std::uint64_t>(kRecords));
  EXPECT_TRUE(f->Stop(2s));
  const long growth = PeakKib() - before;
  RecordProperty("peak_growth_kib", static_cast<int>(growth));
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
  // The sanitizers keep freed memory aside and map shadow memory of their
  // own: the peak says nothing of the forwarder there.
  EXPECT_LT(growth, 16 * 1024) << "journal " << journal_kib << " KiB";
#else
  (void)growth;
  (void)journal_kib;
#endif
  std::lock_guard lock(db_.mutex);
  EXPECT_EQ(db_.counted, static_cast<std::uint64_t>(kRecords));
  for (const std::size_t rows : db_.batches) EXPECT_LE(rows, kBatchLines);
}

}  // namespace
}  // namespace zevuvuri::records
