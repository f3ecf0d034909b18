// The ODBC record store against a real PostgreSQL server
// (tests/support/postgres_server.h): which rows of a batch are stored,
// already there or refused, each stored exactly once, and no call that waits
// for a locked table without a limit.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "records/odbc_store.h"
#include "records/sql_state.h"
#include "tests/support/postgres_server.h"

namespace zevuvuri::records {
namespace {

using namespace std::chrono_literals;

struct Classified {
  const char* state;
  std::int64_t native;
  SqlFault fault;
};

void PrintTo(const Classified& c, std::ostream* os) { *os << c.state << "/" << c.native; }

class ClassifySqlStateTest : public ::testing::TestWithParam<Classified> {};

TEST_P(ClassifySqlStateTest, TellsTheRowsFaultFromTheConnections) {
  EXPECT_EQ(ClassifySqlState(GetParam().state, GetParam().native), GetParam().fault);
}

INSTANTIATE_TEST_SUITE_P(
    ServersCodes, ClassifySqlStateTest,
    ::testing::Values(
        // Unique keys: the standard's code, and SQL Server's and MySQL's under 23000.
        Classified{"23505", 0, SqlFault::DuplicateKey}, Classified{"23000", 2627, SqlFault::DuplicateKey},
        Classified{"23000", 2601, SqlFault::DuplicateKey}, Classified{"23000", 1062, SqlFault::DuplicateKey},
        // A row's own fault: CHECK, NOT NULL, too long, bad text, a trigger's error.
        Classified{"23514", 0, SqlFault::RowRefused}, Classified{"23502", 0, SqlFault::RowRefused},
        Classified{"23000", 547, SqlFault::RowRefused}, Classified{"22001", 0, SqlFault::RowRefused},
        Classified{"22P02", 0, SqlFault::RowRefused}, Classified{"P0001", 0, SqlFault::RowRefused},
        Classified{"42000", 50000, SqlFault::RowRefused},
        // The connection's or the server's: sent again later.
        Classified{"08006", 0, SqlFault::Trouble}, Classified{"08S01", 0, SqlFault::Trouble},
        Classified{"HYT00", 0, SqlFault::Trouble}, Classified{"HYT01", 0, SqlFault::Trouble},
        Classified{"HY008", 0, SqlFault::Trouble}, Classified{"57014", 0, SqlFault::Trouble},
        Classified{"57P01", 0, SqlFault::Trouble}, Classified{"53100", 0, SqlFault::Trouble},
        Classified{"40001", 0, SqlFault::Trouble}, Classified{"40P01", 0, SqlFault::Trouble},
        Classified{"42501", 0, SqlFault::Trouble}, Classified{"42P01", 0, SqlFault::Trouble},
        Classified{"25P02", 0, SqlFault::Trouble}, Classified{"42000", 102, SqlFault::Trouble},
        Classified{"", 0, SqlFault::Trouble}),
    [](const ::testing::TestParamInfo<Classified>& case_info) { return std::to_string(case_info.index); });

RecordRow Row(int n) {
  char id[33];
  std::snprintf(id, sizeof id, "%032x", n + 0x5eed000);
  RecordRow row;
  row.record_id = id;
  row.station = "line-b";
  row.station_run = "run-1";
  row.unit = n;
  row.serial_number = "SN-" + std::to_string(n);
  row.host = "pc";
  row.port = "2";
  row.type_code = 7;
  row.link_mode = "serial";
  row.pacing = "fast";
  row.firmware = "/fw/REDIDADU.bin";
  row.firmware_size = 1500;
  row.firmware_sha256 = std::string(64, 'e');
  row.result = "Upgrade OK";
  row.data_frames_sent = 28;
  row.started_utc = "2026-12-09T06:00:00.000Z";
  row.duration_s = 2.5;
  row.loader_version = "1.06";
  row.line = "{\"unit\":" + std::to_string(n) + "}";
  return row;
}

class OdbcStoreTest : public testing::PostgresTest {
 protected:
  void SetUp() override {
    PostgresTest::SetUp();
    if (HasFatalFailure()) return;
    // What a scenario adds to the table goes before the next one.
    ASSERT_TRUE(Ran("DROP INDEX IF EXISTS dba_serial; "
                    "ALTER TABLE unit_records DROP CONSTRAINT IF EXISTS no_unit_13; "
                    "DROP TRIGGER IF EXISTS no_bad_boards ON unit_records",
                    "DROP TRIGGER"));
  }

  // psql ran `sql` to its end: its last line is `last` (notices come before).
  static ::testing::AssertionResult Ran(const std::string& sql, const std::string& last) {
    const std::string output = server_->Query(sql);
    if (output.size() >= last.size() && output.compare(output.size() - last.size(), last.size(), last) == 0 &&
        output.rfind("ERROR", 0) != 0) {
      return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure() << output;
  }

  static std::unique_ptr<RecordStore> Open(const std::string& extra = "",
                                           StoreTimeLimits limits = StoreTimeLimits{}) {
    std::string error;
    auto store = OpenOdbcStore(server_->ConnectionString() + extra, limits, &error);
    EXPECT_TRUE(store) << error;
    return store;
  }
};

// A batch of 200 (several statements' worth) into a table a DBA has added
// to: a unique index on the serial, a CHECK and a trigger that refuses a
// board. Rows already there, a record twice, a row that repeats a stored
// serial, a too long station name, the CHECK's and the trigger's rows: each
// gets its own outcome with a one-line reason, and every other row is stored
// exactly once. Sent again, nothing is stored twice and the refused stay
// refused. The same whatever the driver does with a transaction after an
// error.
TEST_F(OdbcStoreTest, ABatchStoresEveryRowTheDatabaseTakesAndRefusesOnlyTheRowsItRefuses) {
  ASSERT_TRUE(Ran("CREATE UNIQUE INDEX dba_serial ON unit_records (serial_number); "
                  "ALTER TABLE unit_records ADD CONSTRAINT no_unit_13 CHECK (unit <> 13); "
                  "CREATE OR REPLACE FUNCTION refuse_bad() RETURNS trigger AS $$ BEGIN "
                  "IF NEW.serial_number = 'SN-BAD' THEN RAISE EXCEPTION 'board on hold'; END IF; "
                  "RETURN NEW; END $$ LANGUAGE plpgsql; "
                  "CREATE TRIGGER no_bad_boards BEFORE INSERT ON unit_records "
                  "FOR EACH ROW EXECUTE FUNCTION refuse_bad()",
                  "CREATE TRIGGER"));
  // The driver's rollback on an error: the whole transaction (its default),
  // none (the server then refuses all else until a rollback), one statement.
  for (const char* driver_option : {"", "Protocol=7.4-0;", "Protocol=7.4-2;"}) {
    SCOPED_TRACE(*driver_option ? driver_option : "the driver's default rollback");
    ASSERT_TRUE(Ran("TRUNCATE unit_records", "TRUNCATE TABLE"));
    auto store = Open(driver_option);
    ASSERT_TRUE(store);
    std::vector<RowResult> results;
    std::string error;
    ASSERT_TRUE(store->Store({Row(5), Row(90), Row(150)}, &results, &error)) << error;
    std::vector<RecordRow> batch;
    for (int n = 1; n <= 200; ++n) batch.push_back(Row(n));
    batch[12] = Row(13);                        // the CHECK
    batch[40].serial_number = "SN-BAD";         // the trigger
    batch[70].station = std::string(300, 's');  // 22001
    batch[120].serial_number = "SN-150";        // another record, a stored board's serial
    batch[199] = Row(30);                       // record 30 twice in one batch
    batch[199].serial_number = "SN-30b";
    struct Expected {
      std::size_t index;
      RowOutcome outcome;
      const char* reason;  // a part of it
    };
    const std::vector<Expected> special = {
        {4, RowOutcome::AlreadyThere, ""},   {89, RowOutcome::AlreadyThere, ""},
        {149, RowOutcome::AlreadyThere, ""}, {199, RowOutcome::AlreadyThere, ""},
        {12, RowOutcome::Refused, "23514"},  {40, RowOutcome::Refused, "board on hold"},
        {70, RowOutcome::Refused, "22001"},  {120, RowOutcome::Refused, "dba_serial"},
    };
    for (const char* pass : {"first", "again"}) {
      SCOPED_TRACE(pass);
      ASSERT_TRUE(store->Store(batch, &results, &error)) << error;
      ASSERT_EQ(results.size(), batch.size());
      std::size_t stored = 0;
      for (std::size_t i = 0; i < results.size(); ++i) {
        stored += results[i].outcome == RowOutcome::Stored ? 1 : 0;
        if (results[i].outcome == RowOutcome::Refused) {
          EXPECT_EQ(results[i].reason.find('\n'), std::string::npos) << results[i].reason;
          EXPECT_EQ(results[i].reason.find(testing::PostgresServer::kPassword), std::string::npos);
        }
      }
      for (const Expected& e : special) {
        EXPECT_EQ(results[e.index].outcome, e.outcome) << "row " << e.index << ": " << results[e.index].reason;
        EXPECT_NE(results[e.index].reason.find(e.reason), std::string::npos) << results[e.index].reason;
      }
      EXPECT_EQ(stored, std::string(pass) == "first" ? 200u - special.size() : 0u);
      // 199 records (one came twice) less the four refused; each once; the refused nowhere.
      EXPECT_EQ(server_->Query("SELECT count(*), count(DISTINCT record_id), "
                               "count(*) FILTER (WHERE unit IN (13, 41, 71, 121)) FROM unit_records"),
                "195|195|0");
    }
    EXPECT_EQ(server_->Query("SELECT serial_number FROM unit_records WHERE unit = 30"), "SN-30");
  }
}

// Another transaction holds the table (a DBA's LOCK TABLE, a long report):
// the call ends with false and a reason within its limit, whether the driver
// keeps the statement limit or ignores it (then the watchdog cancels), and
// nothing of the batch is in the table. Once the lock is gone, a new store
// takes the same rows.
TEST_F(OdbcStoreTest, ALockedTableEndsTheCallWithinItsLimitAndNothingIsTakenAsStored) {
  for (const char* driver_option : {"", "IgnoreTimeout=1;"}) {
    SCOPED_TRACE(*driver_option ? driver_option : "the driver's statement limit");
    auto store = Open(driver_option, StoreTimeLimits{std::chrono::seconds{5}, std::chrono::seconds{2}});
    ASSERT_TRUE(store);
    std::thread holder([] {
      server_->Query("BEGIN; LOCK TABLE unit_records IN SHARE MODE; SELECT pg_sleep(40); COMMIT");
    });
    const auto until = std::chrono::steady_clock::now() + 30s;
    while (server_->Query("SELECT count(*) FROM pg_locks l JOIN pg_class c ON c.oid = l.relation "
                          "WHERE c.relname = 'unit_records' AND l.mode = 'ShareLock' AND l.granted") != "1" &&
           std::chrono::steady_clock::now() < until) {
      std::this_thread::sleep_for(50ms);
    }
    std::vector<RecordRow> batch = {Row(1), Row(2), Row(3)};
    std::vector<RowResult> results;
    std::string error;
    const auto began = std::chrono::steady_clock::now();
    const bool stored = store->Store(batch, &results, &error);
    const auto took = std::chrono::steady_clock::now() - began;
    server_->Query("SELECT pg_terminate_backend(pid) FROM pg_stat_activity "
                   "WHERE query LIKE 'BEGIN; LOCK TABLE%' AND pid <> pg_backend_pid()");
    holder.join();
    EXPECT_FALSE(stored);
    EXPECT_FALSE(error.empty());
    EXPECT_EQ(error.find(testing::PostgresServer::kPassword), std::string::npos) << error;
    // 2 s, or 4 s by the watchdog; far less than the holder's 40 s however loaded the machine.
    EXPECT_LT(took, 20s) << error;
    EXPECT_EQ(server_->Query("SELECT count(*) FROM unit_records"), "0");
    // A store that failed is not used again: it says so instead of trying.
    EXPECT_FALSE(store->Store(batch, &results, &error));
  }
  auto store = Open();
  ASSERT_TRUE(store);
  std::vector<RowResult> results;
  std::string error;
  ASSERT_TRUE(store->Store({Row(1), Row(2), Row(3)}, &results, &error)) << error;
  EXPECT_EQ(server_->Query("SELECT count(*) FROM unit_records"), "3");
}

// A backend frozen outright (stopped: it answers neither the statement nor
// its cancel): the call still ends within its limit, and the store goes at
// once; the connection is left to its worker. Once the server is back, the
// rows are each in the table once, however that worker's call ended.
TEST_F(OdbcStoreTest, AFrozenServerEndsTheCallWithinItsLimitAndTheStoreGoesAtOnce) {
  auto store = Open("", StoreTimeLimits{std::chrono::seconds{5}, std::chrono::seconds{2}});
  ASSERT_TRUE(store);
  server_->Freeze(true);
  std::vector<RowResult> results;
  std::string error;
  // 2 s, the cancel 2 s later, given up 3 s after that; the dropped store
  // waits for nothing. A call without a limit ends when the server is thawed.
  auto call = std::async(std::launch::async, [&] {
    const bool stored = store->Store({Row(1), Row(2), Row(3)}, &results, &error);
    store.reset();
    return stored;
  });
  const bool ended = call.wait_for(20s) == std::future_status::ready;
  server_->Freeze(false);
  EXPECT_TRUE(ended) << "the call and the store's end waited 20 s";
  EXPECT_FALSE(call.get());
  EXPECT_NE(error.find("not answered"), std::string::npos) << error;

  store = Open();
  ASSERT_TRUE(store);
  ASSERT_TRUE(store->Store({Row(1), Row(2), Row(3)}, &results, &error)) << error;
  for (const RowResult& r : results) EXPECT_NE(r.outcome, RowOutcome::Refused) << r.reason;
  EXPECT_EQ(server_->Query("SELECT count(*), count(DISTINCT record_id) FROM unit_records"), "3|3");
}

// A server that takes the connection and never answers (a frozen host, a
// port that is something else): the login ends within its limit with the
// reason, and the password is not in it.
TEST_F(OdbcStoreTest, ASilentServerEndsTheLoginWithinItsLimit) {
  const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_GE(listener, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(::listen(listener, 4), 0);  // the kernel completes the handshake; nobody reads
  ASSERT_EQ(::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length), 0);
  const std::string connection = "Driver={PostgreSQL Unicode};Server=127.0.0.1;Port=" +
                                 std::to_string(ntohs(address.sin_port)) +
                                 ";Database=line;Uid=line;Pwd=" + testing::PostgresServer::kPassword + ";";
  std::string error;
  bool opened = true;
  const auto began = std::chrono::steady_clock::now();
  auto login = std::async(std::launch::async, [&] {
    opened = OpenOdbcStore(connection, StoreTimeLimits{std::chrono::seconds{2}, std::chrono::seconds{2}}, &error) !=
             nullptr;
  });
  // A login without a limit would wait for ever: closing the listener then
  // resets the waiting connection, so the test ends either way.
  const bool ended = login.wait_for(20s) == std::future_status::ready;
  ::close(listener);
  login.wait();
  EXPECT_TRUE(ended) << "the login waited 20 s";
  EXPECT_LT(std::chrono::steady_clock::now() - began, 20s);
  EXPECT_FALSE(opened);
  EXPECT_NE(error.find("08001"), std::string::npos) << error;
  EXPECT_EQ(error.find(testing::PostgresServer::kPassword), std::string::npos) << error;
}

}  // namespace
}  // namespace zevuvuri::records
