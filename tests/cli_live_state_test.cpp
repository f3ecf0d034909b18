// The live state a command-line station keeps in the line's database
// (--records-db): two slots against simulated boards and a real PostgreSQL
// server (tests/support/postgres_server.h), read back while the station runs
// and after its end; a server frozen meanwhile, and one without the tables.
#include <gtest/gtest.h>

#include <chrono>
#include <algorithm>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>

#include <nlohmann/json.hpp>

#include "tests/support/child_process.h"
#include "tests/support/fake_station.h"
#include "tests/support/postgres_server.h"
#include "tests/support/pseudo_terminal.h"

namespace zevuvuri {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using testing::ChildProcess;

class CliLiveStateTest : public testing::PostgresTest {
 protected:
  void SetUp() override {
    PostgresTest::SetUp();
    // The tables as shipped (one test drops them), and empty.
    std::ifstream schema(ZEVUVURI_RECORDS_SCHEMA);
    std::stringstream sql;
    sql << schema.rdbuf();
    ASSERT_EQ(server_->Query(sql.str()).rfind("ERROR", 0), std::string::npos);
    ASSERT_EQ(server_->Query("DELETE FROM station_slots; DELETE FROM line_stations").rfind("ERROR", 0),
              std::string::npos);
    journal_ = dir_.Path() + "/line.jsonl";
    firmware_ = dir_.Path() + "/fw.bin";
    std::ofstream out(firmware_, std::ios::binary);
    for (int i = 0; i < 3000; ++i) out.put(static_cast<char>((i * 37 + 5) & 0xFF));
  }
  std::map<std::string, std::string> Env() const {
    auto env = server_->OdbcEnv();
    env["ZEVUVURI_PORT_DIR"] = dir_.Path() + "/ports";
    return env;
  }
  // Boards on comN played by a simulator: `args` after the common ones.
  void StartBoards(int com, std::vector<std::string> args) {
    std::vector<std::string> argv = {ZEVUVURI_SIM_PATH, "--com", std::to_string(com), "--timeout", "60", "--expect",
                                     firmware_};
    argv.insert(argv.end(), args.begin(), args.end());
    boards_.push_back(std::make_unique<ChildProcess>(argv, Env()));
    ASSERT_TRUE(boards_.back()->ReadLine(10s)) << "the simulator did not start";
  }
  void StartLoader(std::vector<std::string> args) {
    std::vector<std::string> argv = {ZEVUVURI_CLI_PATH, "--json", "--report", journal_, "--records-db",
                                     server_->ConnectionString()};
    argv.insert(argv.end(), args.begin(), args.end());
    argv.push_back(firmware_);
    loader_ = std::make_unique<ChildProcess>(argv, Env());
    loader_->CloseStdin();
  }
  // Polls `sql` until it gives `want` (bounded); the last answer.
  std::string QueryUntil(const std::string& sql, const std::function<bool(const std::string&)>& want,
                         std::chrono::seconds limit = 30s) {
    const auto end = Clock::now() + limit;
    std::string got = server_->Query(sql);
    while (!want(got) && Clock::now() < end) {
      std::this_thread::sleep_for(50ms);
      got = server_->Query(sql);
    }
    return got;
  }
  nlohmann::json LastEvent(const std::string& event) {
    nlohmann::json found;
    for (const auto& line : loader_->StdoutLines()) {
      const auto e = nlohmann::json::parse(line, nullptr, false);
      if (!e.is_discarded() && e["event"] == event) found = e;
    }
    return found;
  }
  std::vector<nlohmann::json> JournalRecords() {
    std::vector<nlohmann::json> records;
    std::ifstream in(journal_);
    for (std::string line; std::getline(in, line);) records.push_back(nlohmann::json::parse(line));
    return records;
  }

  testing::TempDir dir_;
  std::string journal_, firmware_;
  std::vector<std::unique_ptr<ChildProcess>> boards_;
  std::unique_ptr<ChildProcess> loader_;
};

// Two slots: port 1 upgrades a board slowly, port 2's board refuses a data
// frame. While the station runs its rows show the slots; at the end
// they hold each slot's last unit, and the station's row its totals (as the
// station printed them), its image and its end. A row left by an earlier run
// on a port the station no longer has is gone.
TEST_F(CliLiveStateTest, StationOfTwoSlotsKeepsItsRowsWhileRunningAndEndsThem) {
  ASSERT_EQ(server_->Query("INSERT INTO station_slots (station, port, slot, station_run, phase, state_text, "
                           "changed_utc) VALUES ('line-b-1', '9', 2, 'old', 'waiting', 'old', now())"),
            "INSERT 0 1");
  StartBoards(1, {"--units", "1", "--delay", "data=15"});
  StartBoards(2, {"--units", "1", "--refuse-data", "5"});
  StartLoader({"--station", "--units", "2", "--port", "1", "--port", "2", "--station-name", "line-b-1"});

  // Running: slot 1 upgrading with its progress, the station's row beating.
  const std::string running = QueryUntil(
      "SELECT s.phase, s.unit IS NOT NULL, s.percent IS NOT NULL, s.type_code, l.slots, l.pacing, "
      "l.ended_utc IS NULL, l.beat_utc > now() - interval '10 seconds', l.firmware = s.firmware "
      "FROM station_slots s JOIN line_stations l USING (station, station_run) "
      "WHERE station = 'line-b-1' AND port = '1'",
      [](const std::string& row) { return row.rfind("upgrading|t|t", 0) == 0; });
  EXPECT_EQ(running, "upgrading|t|t|0|2|classic|t|t|t");
  EXPECT_EQ(server_->Query("SELECT count(*) FROM station_slots WHERE station = 'line-b-1' AND port = '9'"), "0");

  const auto status = loader_->Wait(60s);
  ASSERT_TRUE(status) << "the station did not end";
  const auto summary = LastEvent("summary");
  ASSERT_TRUE(summary.contains("totals")) << loader_->Stdout();
  const auto records = JournalRecords();
  ASSERT_EQ(records.size(), 2u);
  std::string failure, sha256, run;
  std::map<std::string, int> last_unit;  // by port
  for (const auto& r : records) {
    last_unit[r["port"]] = std::max(last_unit[r["port"]], r["unit"].get<int>());
    if (r["port"] == "2") {
      failure = r["result"];
      EXPECT_EQ(*status, r["exit_code"]) << loader_->Stderr();
    }
    sha256 = r["firmware_sha256"];
    run = r["station_run"];
  }
  // The summary's failures by text, as the row keeps them: [["text", count]].
  nlohmann::json failures = nlohmann::json::array();
  for (const auto& [text, count] : summary["totals"]["failures"].items()) failures.push_back({text, count});
  EXPECT_EQ(server_->Query("SELECT station_run, slots, units, ok, failed, failures, firmware_sha256, "
                           "ended_utc IS NOT NULL, ended_utc >= started_utc FROM line_stations"),
            run + "|2|" + summary["totals"]["units"].dump() + "|" + summary["totals"]["ok"].dump() + "|" +
                summary["totals"]["failed"].dump() + "|" + failures.dump() + "|" + sha256 + "|t|t")
      << testing::ReadFile(journal_);
  EXPECT_EQ(summary["totals"]["units"], 2);
  EXPECT_EQ(server_->Query("SELECT port, slot, station_run = '" + run + "', unit, result, result_text, "
                           "firmware_sha256 = '" + sha256 + "', repeat_unit FROM station_slots ORDER BY port"),
            "1|0|t|" + std::to_string(last_unit["1"]) + "|ok|Upgrade OK|t|0\n2|1|t|" + std::to_string(last_unit["2"]) +
                "|failed|" + failure + "|t|0");
  for (const auto& b : boards_) EXPECT_EQ(b->Wait(30s), 0);
}

// The database freezes while a station upgrades: the unit goes on, its
// record is written, and the station still ends within 2 s of its last unit.
TEST_F(CliLiveStateTest, FrozenDatabaseDelaysNeitherTheUpgradeNorTheEnd) {
  StartBoards(1, {"--units", "1", "--delay", "data=15"});
  StartLoader({"--station", "--units", "1", "--port", "1", "--station-name", "line-b-2"});
  ASSERT_EQ(QueryUntil("SELECT percent IS NOT NULL FROM station_slots WHERE phase = 'upgrading'",
                       [](const std::string& row) { return row == "t"; }),
            "t");
  server_->Freeze(true);
  std::optional<Clock::time_point> last_result;
  const auto end = Clock::now() + 60s;
  while (!last_result && Clock::now() < end) {
    const auto line = loader_->ReadLine(1s);
    if (!line) continue;
    const auto e = nlohmann::json::parse(*line, nullptr, false);
    if (!e.is_discarded() && e["event"] == "result") last_result = Clock::now();
  }
  const auto status = loader_->Wait(10s);
  const auto took = Clock::now() - last_result.value_or(Clock::now());
  server_->Freeze(false);
  ASSERT_TRUE(last_result) << "the unit did not end\n" << loader_->Stderr();
  ASSERT_TRUE(status) << "the station did not end";
  // The record went in before the freeze reached the forwarder's connection, or waits.
  EXPECT_TRUE(*status == 0 || *status == 14) << *status << "\n" << loader_->Stderr();
  EXPECT_LT(took, 2s) << std::chrono::duration_cast<std::chrono::milliseconds>(took).count() << " ms";
  ASSERT_EQ(JournalRecords().size(), 1u);
  EXPECT_EQ(JournalRecords()[0]["result"], "Upgrade OK");
  EXPECT_EQ(boards_.back()->Wait(30s), 0);
}

// A database of an older schema, without the live state's tables: said once,
// the upgrade still OK and its record still in the database.
TEST_F(CliLiveStateTest, TablesMissingAreSaidOnceAndTheRecordStillArrives) {
  ASSERT_EQ(server_->Query("DROP TABLE station_slots; DROP TABLE line_stations"), "DROP TABLE\nDROP TABLE");
  StartBoards(1, {});
  StartLoader({"--port", "1"});
  const auto status = loader_->Wait(60s);
  ASSERT_TRUE(status) << "the loader did not end";
  EXPECT_EQ(*status, 0) << loader_->Stderr();
  const std::string said = loader_->Stdout() + loader_->Stderr();
  const std::string note = "live state is not published: the database has no line_stations or station_slots";
  const auto first = said.find(note);
  EXPECT_NE(first, std::string::npos) << said;
  EXPECT_EQ(said.find(note, first + 1), std::string::npos) << "said more than once:\n" << said;
  EXPECT_EQ(said.find(testing::PostgresServer::kPassword), std::string::npos);
  EXPECT_EQ(server_->Query("SELECT result FROM unit_records"), "Upgrade OK");
  EXPECT_EQ(boards_.back()->Wait(30s), 0);
}

}  // namespace
}  // namespace zevuvuri
