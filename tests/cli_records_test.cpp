// A station that records into the line's database (--records-db), run as a
// factory would: the loader against simulated boards over pseudo-terminals,
// and a real PostgreSQL server (tests/support/postgres_server.h) that is
// stopped, started again and frozen while the station works.
#include <gtest/gtest.h>

#include <signal.h>

#include <chrono>
#include <fstream>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <thread>

#include <nlohmann/json.hpp>

#include "records/forwarder.h"
#include "tests/support/child_process.h"
#include "tests/support/fake_station.h"
#include "tests/support/postgres_server.h"
#include "tests/support/pseudo_terminal.h"

namespace zevuvuri {
namespace {

using namespace std::chrono_literals;
using testing::ChildProcess;
using testing::PostgresServer;

class CliRecordsTest : public testing::PostgresTest {
 protected:
  void SetUp() override {
    PostgresTest::SetUp();
    journal_ = dir_.Path() + "/line.jsonl";
    firmware_ = dir_.Path() + "/fw.bin";
    std::ofstream out(firmware_, std::ios::binary);
    for (int i = 0; i < 1500; ++i) out.put(static_cast<char>((i * 37 + 5) & 0xFF));
  }
  std::map<std::string, std::string> Env() const {
    auto env = server_->OdbcEnv();
    env["ZEVUVURI_PORT_DIR"] = dir_.Path() + "/ports";
    return env;
  }
  void StartBoards(std::vector<std::string> args) {
    std::vector<std::string> argv = {ZEVUVURI_SIM_PATH, "--com", "1", "--timeout", "60", "--expect", firmware_};
    argv.insert(argv.end(), args.begin(), args.end());
    boards_ = std::make_unique<ChildProcess>(argv, Env());
    ASSERT_TRUE(boards_->ReadLine(10s)) << "the simulator did not start";
  }
  void StartStation(const std::string& units) {
    loader_ = std::make_unique<ChildProcess>(
        std::vector<std::string>{ZEVUVURI_CLI_PATH, "--station", "--units", units, "--port", "1", "--json",
                                 "--report", journal_, "--records-db", server_->ConnectionString(),
                                 "--station-name", "line-a-1", firmware_},
        Env());
    loader_->CloseStdin();
  }
  // The loader's JSON events up to the `count`th of kind `event`.
  std::vector<nlohmann::json> EventsUntil(const std::string& event, int count) {
    std::vector<nlohmann::json> events;
    const auto end = std::chrono::steady_clock::now() + 60s;
    while (count > 0 && std::chrono::steady_clock::now() < end) {
      const auto line = loader_->ReadLine(1s);
      if (!line) continue;
      events.push_back(nlohmann::json::parse(*line));
      if (events.back()["event"] == event) --count;
    }
    EXPECT_EQ(count, 0) << "the loader's " << event << " events did not come";
    return events;
  }
  std::set<std::string> JournalIds() {
    std::set<std::string> ids;
    std::ifstream in(journal_);
    for (std::string line; std::getline(in, line);) ids.insert(nlohmann::json::parse(line)["record_id"]);
    return ids;
  }
  std::set<std::string> DatabaseIds() {
    std::set<std::string> ids;
    std::istringstream rows(server_->Query("SELECT record_id FROM unit_records"));
    for (std::string id; std::getline(rows, id);) ids.insert(id);
    return ids;
  }
  int ForwardRecords(std::string* out = nullptr, std::string* err = nullptr, const std::string& journal = "",
                     std::chrono::seconds limit = 30s) {
    ChildProcess forward({ZEVUVURI_CLI_PATH, "--forward-records", "--report", journal.empty() ? journal_ : journal,
                          "--records-db", server_->ConnectionString()},
                         Env());
    forward.CloseStdin();
    const int status = forward.Wait(limit).value_or(-1);
    if (out) *out = forward.Stdout();
    if (err) *err = forward.Stderr();
    return status;
  }

  testing::TempDir dir_;
  std::string journal_, firmware_;
  std::unique_ptr<ChildProcess> boards_, loader_;
};

// Six boards on one slot, the third refusing its first poll. The server goes
// away after the second unit and comes back after the fourth: the station
// goes on, says what waits and why (without the password), and every record
// reaches the database once; the views give the yield the station printed.
TEST_F(CliRecordsTest, StationGoesOnWhileTheServerIsAwayAndEveryRecordArrivesOnce) {
  StartBoards({"--units", "6", "--plug-gap-ms", "300", "--board", "3:--refuse-poll 1"});
  StartStation("6");
  auto events = EventsUntil("result", 2);
  ASSERT_TRUE(server_->Stop());
  auto more = EventsUntil("result", 2);
  events.insert(events.end(), more.begin(), more.end());
  // Nothing that waited meanwhile is in the database without being in the journal.
  ASSERT_TRUE(server_->Start());
  const auto status = loader_->Wait(60s);
  ASSERT_TRUE(status) << "the station did not end";
  EXPECT_EQ(*status, 5) << "the third unit refused its poll\n" << loader_->Stderr();
  for (const auto& line : loader_->StdoutLines()) events.push_back(nlohmann::json::parse(line));
  bool waiting_shown = false;
  nlohmann::json summary;
  for (const auto& e : events) {
    if (e["event"] == "records" && e["text"].get<std::string>().rfind("records: ", 0) == 0 &&
        e["text"].get<std::string>().find(" waiting for the database: 08") != std::string::npos) {
      waiting_shown = true;
    }
    if (e["event"] == "summary") summary = e;
  }
  EXPECT_TRUE(waiting_shown) << loader_->Stdout();
  for (const std::string& text : {loader_->Stdout(), loader_->Stderr(), testing::ReadFile(journal_)}) {
    EXPECT_EQ(text.find(PostgresServer::kPassword), std::string::npos);
  }

  // The end gave the forwarder a moment; what its retry pause kept back is sent now.
  if (DatabaseIds().size() < 6) {
    EXPECT_EQ(ForwardRecords(), 0);
  }
  EXPECT_EQ(JournalIds().size(), 6u);
  EXPECT_EQ(DatabaseIds(), JournalIds());
  EXPECT_EQ(server_->Query("SELECT count(*) FROM unit_records"), "6");
  EXPECT_EQ(ForwardRecords(), 0);  // resending finds nothing to add
  EXPECT_EQ(server_->Query("SELECT count(*) FROM unit_records"), "6");
  // The station's own totals, as the views give them.
  EXPECT_EQ(server_->Query("SELECT sum(units), sum(ok), min(station) FROM yield_by_station_hour"),
            summary["totals"]["units"].dump() + "|" + summary["totals"]["ok"].dump() + "|line-a-1");
  EXPECT_EQ(summary["totals"]["ok"], 5);
  // The image is taken before the wake-up, so the unit that refused its poll
  // counts against that image too.
  EXPECT_EQ(server_->Query("SELECT units, ok, yield_percent FROM yield_by_firmware WHERE firmware_sha256 IS NOT NULL"),
            "6|5|83.3");
  char printed[16];
  std::snprintf(printed, sizeof printed, "%.1f", summary["totals"]["yield_percent"].get<double>());
  EXPECT_EQ(server_->Query("SELECT round(100.0 * sum(ok) / sum(units), 1) FROM yield_by_station_hour"), printed);
}

// A server that takes the connection but stops answering (its backend
// stopped): Ctrl-C still ends the station within 2 s, and the record that
// was held stays in the journal until a later run sends it.
TEST_F(CliRecordsTest, FrozenServerDoesNotHoldCtrlC) {
  StartBoards({"--units", "3", "--plug-gap-ms", "300"});
  StartStation("3");
  EventsUntil("result", 1);
  const auto until = std::chrono::steady_clock::now() + 10s;
  while (server_->Query("SELECT count(*) FROM unit_records") != "1" && std::chrono::steady_clock::now() < until) {
    std::this_thread::sleep_for(50ms);
  }
  server_->Freeze(true);
  EventsUntil("result", 1);
  std::this_thread::sleep_for(300ms);  // the second record's insert now waits for the frozen backend
  const auto interrupted = std::chrono::steady_clock::now();
  loader_->Signal(SIGINT);
  const auto status = loader_->Wait(10s);
  const auto took = std::chrono::steady_clock::now() - interrupted;
  server_->Freeze(false);
  ASSERT_TRUE(status) << "the station did not end";
  EXPECT_EQ(*status, 130) << loader_->Stderr();
  EXPECT_LT(took, 2s) << std::chrono::duration_cast<std::chrono::milliseconds>(took).count() << " ms";
  EXPECT_NE(loader_->Stderr().find("waiting for the database; they are kept in " + journal_), std::string::npos)
      << loader_->Stderr();
  EXPECT_EQ(ForwardRecords(), 0);
  EXPECT_EQ(DatabaseIds(), JournalIds());
  EXPECT_EQ(JournalIds().size(), 2u);
}

// A single run whose unit is upgraded while the server is down: the run ends
// at once with 14, saying where the record waits; it is sent by the next
// run with the same journal, before that run's own.
TEST_F(CliRecordsTest, RecordsThatStillWaitAtTheEndGiveTheirOwnStatus) {
  ASSERT_TRUE(server_->Stop());
  const auto run = [&] {
    StartBoards({"--units", "1"});
    loader_ = std::make_unique<ChildProcess>(
        std::vector<std::string>{ZEVUVURI_CLI_PATH, "--port", "1", "--report", journal_, "--records-db",
                                 server_->ConnectionString(), firmware_},
        Env());
    loader_->CloseStdin();
    const auto status = loader_->Wait(30s);
    EXPECT_EQ(boards_->Wait(30s), 0);
    return status.value_or(-1);
  };
  const auto began = std::chrono::steady_clock::now();
  EXPECT_EQ(run(), 14) << loader_->Stderr();
  EXPECT_LT(std::chrono::steady_clock::now() - began, 15s);
  EXPECT_NE(loader_->Stderr().find("records: 1 waiting for the database; they are kept in " + journal_),
            std::string::npos)
      << loader_->Stderr();
  ASSERT_TRUE(server_->Start());
  EXPECT_EQ(run(), 0) << loader_->Stderr();
  EXPECT_EQ(JournalIds().size(), 2u);
  EXPECT_EQ(DatabaseIds(), JournalIds());
}

// A single run with a backlog waiting: while its unit's upgrade streams, the
// forwarder yields to it, one small batch per pause at most. Halfway through
// the upgrade the journal's mark names the last record sent; the records
// before it are bounded by the batches the time since the loader's start
// allows (a loaded machine can only make it fewer), where a forwarder at
// full speed would have sent thousands. Nothing is lost: what the run's end
// leaves, --forward-records sends.
TEST_F(CliRecordsTest, BacklogYieldsToTheRunningUpgradeAndAllArrive) {
  constexpr int kBacklog = 20000;
  constexpr int kFirstId = 0xbac000;
  {
    std::ofstream journal(journal_, std::ios::binary);
    for (int n = 1; n <= kBacklog; ++n) {
      char id[33];
      std::snprintf(id, sizeof id, "%032x", kFirstId + n);
      journal << "{\"record_id\":\"" << id << "\",\"station\":\"line-a\",\"start\":\"2026-12-31T23:59:59.500Z\","
              << "\"host\":\"pc\",\"port\":\"3\",\"firmware\":\"/fw/a.bin\",\"pacing\":\"fast\","
              << "\"result\":\"Upgrade OK\",\"loader_version\":\"1.06\",\"unit\":" << n << "}\n";
    }
  }
  {
    // About 300 data frames at the wire's pace: long enough to look halfway.
    std::ofstream out(firmware_, std::ios::binary | std::ios::trunc);
    for (int i = 0; i < 16384; ++i) out.put(static_cast<char>((i * 37 + 5) & 0xFF));
  }
  StartBoards({"--units", "1", "--wire-baud", "115200"});
  const auto launched = std::chrono::steady_clock::now();
  loader_ = std::make_unique<ChildProcess>(
      std::vector<std::string>{ZEVUVURI_CLI_PATH, "--port", "1", "--json", "--pacing", "fast", "--report", journal_,
                               "--records-db", server_->ConnectionString(), firmware_},
      Env());
  loader_->CloseStdin();
  bool halfway = false;
  while (!halfway && std::chrono::steady_clock::now() - launched < 60s) {
    const auto line = loader_->ReadLine(1s);
    if (!line) continue;
    const auto e = nlohmann::json::parse(*line);
    halfway = e["event"] == "progress" && e["bytes"].get<long>() * 2 >= e["total"].get<long>();
  }
  ASSERT_TRUE(halfway) << "the upgrade's progress did not come";
  long sent = 0;
  std::istringstream mark(testing::ReadFile(journal_ + ".sent"));
  for (std::string word, offset, id; mark >> word;) {
    if (word == "offset" && mark >> offset >> id && id != "-") sent = std::stol(id, nullptr, 16) - kFirstId;
  }
  const auto elapsed = std::chrono::steady_clock::now() - launched;
  const long batches = 1 + static_cast<long>(elapsed / records::kBusyLeastPause);
  RecordProperty("sent_halfway", static_cast<int>(sent));
  EXPECT_LE(sent, batches * static_cast<long>(records::kBusyBatchLines))
      << "after " << std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count() << " ms";
  const auto status = loader_->Wait(60s);
  ASSERT_TRUE(status);
  EXPECT_TRUE(*status == 0 || *status == 14) << *status << "\n" << loader_->Stderr();  // 14: some still wait
  EXPECT_EQ(boards_->Wait(30s), 0);
  // Whatever the run left: thousands of records, slow under a sanitizer.
  EXPECT_EQ(ForwardRecords(nullptr, nullptr, "", 300s), 0);
  EXPECT_EQ(server_->Query("SELECT count(*), count(DISTINCT record_id) FROM unit_records"),
            std::to_string(kBacklog + 1) + "|" + std::to_string(kBacklog + 1));
}

// --forward-records says what is left, truthfully: a journal that is not
// there is an error (11); a record the database refuses (a CHECK that a DBA
// added) is set aside while the others are stored (15, the reason given),
// and once the database takes it, the next run sends it (0).
TEST_F(CliRecordsTest, ForwardRecordsTellsMissingRefusedAndSent) {
  std::string out, err;
  EXPECT_EQ(ForwardRecords(&out, &err, journal_ + ".misspelled"), 11);
  EXPECT_NE(err.find("no journal at " + journal_ + ".misspelled"), std::string::npos) << err;
  EXPECT_EQ(out.find("0 waiting"), std::string::npos) << out;

  {
    std::ofstream journal(journal_, std::ios::binary);
    for (int unit = 1; unit <= 3; ++unit) {
      char id[33];
      std::snprintf(id, sizeof id, "%032x", unit + 0x5eed00);
      journal << "{\"record_id\":\"" << id << "\",\"station\":\"line-a\",\"start\":\"2026-12-31T23:59:59.500Z\","
              << "\"host\":\"pc\",\"port\":\"3\",\"firmware\":\"/fw/a.bin\",\"pacing\":\"fast\","
              << "\"result\":\"Upgrade OK\",\"loader_version\":\"1.06\",\"unit\":" << unit << "}\n";
    }
  }
  ASSERT_EQ(server_->Query("ALTER TABLE unit_records ADD CONSTRAINT no_unit_two CHECK (unit <> 2)"), "ALTER TABLE");
  const int refused = ForwardRecords(&out, &err);
  server_->Query("ALTER TABLE unit_records DROP CONSTRAINT no_unit_two");
  EXPECT_EQ(refused, 15) << err;
  EXPECT_EQ(out, "records: 2 sent, 0 waiting, 1 refused\n");
  EXPECT_NE(err.find("records: 1 refused by the database: 23514"), std::string::npos) << err;
  EXPECT_EQ(server_->Query("SELECT unit FROM unit_records ORDER BY unit"), "1\n3");

  EXPECT_EQ(ForwardRecords(&out, &err), 0) << err;
  EXPECT_EQ(out, "records: 1 sent, 0 waiting\n");
  EXPECT_EQ(DatabaseIds(), JournalIds());
  EXPECT_EQ(JournalIds().size(), 3u);
}

// A table locked by another transaction holds the insert without an error:
// --forward-records reports the database as not answering and ends by itself
// with 14 and that reason, the record still waiting in the journal.
TEST_F(CliRecordsTest, ForwardRecordsEndsByItselfWhenTheDatabaseDoesNotAnswer) {
  std::thread holder(
      [] { server_->Query("BEGIN; LOCK TABLE unit_records IN EXCLUSIVE MODE; SELECT pg_sleep(120); COMMIT"); });
  const auto until = std::chrono::steady_clock::now() + 20s;
  while (server_->Query("SELECT count(*) FROM pg_locks WHERE relation = 'unit_records'::regclass AND "
                        "mode = 'ExclusiveLock' AND granted") != "1" &&
         std::chrono::steady_clock::now() < until) {
    std::this_thread::sleep_for(50ms);
  }
  std::ofstream(journal_, std::ios::binary)
      << "{\"record_id\":\"" << std::string(32, 'c') << "\",\"station\":\"line-a\",\"start\":\"2026-12-31T23:59:59.500Z\","
      << "\"host\":\"pc\",\"port\":\"3\",\"firmware\":\"/fw/a.bin\",\"pacing\":\"fast\","
      << "\"result\":\"Upgrade OK\",\"loader_version\":\"1.06\",\"unit\":1}\n";
  std::string out, err;
  const auto began = std::chrono::steady_clock::now();
  const int status = ForwardRecords(&out, &err);
  const auto took = std::chrono::steady_clock::now() - began;
  server_->Query("SELECT pg_terminate_backend(pid) FROM pg_stat_activity WHERE query LIKE '%pg_sleep(120)%' AND "
                 "pid <> pg_backend_pid()");
  holder.join();
  EXPECT_EQ(status, 14) << err;
  EXPECT_EQ(out, "records: 0 sent, 1 waiting\n");
  // The report after 10 s and the statement's own 10 s limit come together:
  // either is the true reason.
  EXPECT_TRUE(err.find("the database does not answer") != std::string::npos ||
              err.find("statement timeout") != std::string::npos)
      << err;
  EXPECT_NE(err.find("kept in " + journal_), std::string::npos) << err;
  EXPECT_GE(took, 10s);  // kNotAnswering; the upper bound is ForwardRecords' own 30 s
  EXPECT_EQ(ForwardRecords(), 0);
  EXPECT_EQ(DatabaseIds(), JournalIds());
}

// A single run whose record the database refuses (a CHECK a DBA added): the
// unit is OK, the run ends with 15 and says where the record is kept; once
// the database takes it, --forward-records sends it.
TEST_F(CliRecordsTest, RunWhoseRecordIsRefusedEndsWith15) {
  StartBoards({"--units", "1"});
  ASSERT_EQ(server_->Query("ALTER TABLE unit_records ADD CONSTRAINT not_port_one CHECK (port <> '1')"), "ALTER TABLE");
  loader_ = std::make_unique<ChildProcess>(
      std::vector<std::string>{ZEVUVURI_CLI_PATH, "--port", "1", "--report", journal_, "--records-db",
                               server_->ConnectionString(), firmware_},
      Env());
  loader_->CloseStdin();
  const auto status = loader_->Wait(30s);
  server_->Query("ALTER TABLE unit_records DROP CONSTRAINT not_port_one");
  EXPECT_EQ(boards_->Wait(30s), 0);
  EXPECT_EQ(status.value_or(-1), 15) << loader_->Stderr();
  EXPECT_NE(loader_->Stderr().find("records: 1 refused by the database; they are kept in " + journal_),
            std::string::npos)
      << loader_->Stderr();
  EXPECT_TRUE(DatabaseIds().empty());
  EXPECT_EQ(ForwardRecords(), 0);
  EXPECT_EQ(JournalIds().size(), 1u);
  EXPECT_EQ(DatabaseIds(), JournalIds());
}

}  // namespace
}  // namespace zevuvuri
