// The small ODBC connection against a real PostgreSQL server: parameters of
// every kind go in bound and come back as text, long and non-ASCII text
// whole, a statement's error is told, and Cancel ends a statement that
// would run for long, as does the statement's time limit.
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "records/odbc_connection.h"
#include "tests/support/postgres_server.h"

namespace zevuvuri::records {
namespace {

using namespace std::chrono_literals;

class OdbcConnectionTest : public testing::PostgresTest {
 protected:
  std::unique_ptr<OdbcConnection> Connect(ConnectionLimits limits = {}) {
    std::string error;
    auto c = OdbcConnection::Open(server_->ConnectionString(), limits, &error);
    EXPECT_NE(c, nullptr) << error;
    return c;
  }
};

TEST_F(OdbcConnectionTest, BoundValuesGoInAndComeBackAsText) {
  auto db = Connect();
  ASSERT_NE(db, nullptr);
  std::string error;
  ASSERT_TRUE(db->Execute("CREATE TEMP TABLE t (s text, n bigint, r double precision, z integer)", {}, &error))
      << error;
  // Longer than one read of a column, with characters outside ASCII and a
  // quote that pasted SQL would trip on.
  std::string long_text = "é'\"<b>";
  while (long_text.size() < 5000) long_text += "0123456789ÄΩ";
  const auto inserted = db->Execute("INSERT INTO t VALUES (?, ?, ?, ?), (?, ?, ?, ?)",
                                    {long_text, std::int64_t{-42}, 2.5, std::monostate{},  //
                                     std::string(), std::int64_t{7}, 0.0, std::int64_t{1}},
                                    &error);
  ASSERT_TRUE(inserted) << error;
  EXPECT_EQ(*inserted, 2);

  std::vector<SqlRow> rows;
  ASSERT_TRUE(db->Query("SELECT s, n, r, z FROM t WHERE n < ? ORDER BY n", {std::int64_t{100}}, &rows, &error))
      << error;
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0][0], long_text);
  EXPECT_EQ(rows[0][1], "-42");
  EXPECT_EQ(rows[0][2], "2.5");
  EXPECT_FALSE(rows[0][3].has_value());
  EXPECT_EQ(rows[1][0], "");  // an empty text is not NULL
  EXPECT_EQ(rows[1][3], "1");

  // An UPDATE that finds nothing changes no row, and is no error.
  const auto changed = db->Execute("UPDATE t SET n = 0 WHERE s = ?", {std::string("none")}, &error);
  ASSERT_TRUE(changed) << error;
  EXPECT_EQ(*changed, 0);

  // A statement the server refuses: told, and the connection still works.
  error.clear();
  EXPECT_FALSE(db->Query("SELECT * FROM no_such_table", {}, &rows, &error));
  EXPECT_NE(error.find("no_such_table"), std::string::npos) << error;
  EXPECT_TRUE(db->Query("SELECT 1", {}, &rows, &error)) << error;
}

TEST_F(OdbcConnectionTest, CancelOrTheStatementLimitEndsALongStatement) {
  auto db = Connect({.login = 10s, .statement = 45s});
  ASSERT_NE(db, nullptr);
  std::vector<SqlRow> rows;
  std::string error;
  auto started = std::chrono::steady_clock::now();
  auto sleeping = std::async(std::launch::async, [&] { return db->Query("SELECT pg_sleep(60)", {}, &rows, &error); });
  // Cancel until the statement has ended: an early cancel finds nothing running.
  while (sleeping.wait_for(100ms) != std::future_status::ready) db->Cancel();
  EXPECT_FALSE(sleeping.get());
  EXPECT_FALSE(error.empty());
  EXPECT_LT(std::chrono::steady_clock::now() - started, 30s);

  // Nobody cancels: the statement limit ends it.
  auto limited = Connect({.login = 10s, .statement = 1s});
  ASSERT_NE(limited, nullptr);
  error.clear();
  started = std::chrono::steady_clock::now();
  EXPECT_FALSE(limited->Query("SELECT pg_sleep(60)", {}, &rows, &error));
  EXPECT_FALSE(error.empty());
  EXPECT_LT(std::chrono::steady_clock::now() - started, 30s);

  // A connection that fails is told, without its password.
  error.clear();
  const std::string bad = "Driver={PostgreSQL Unicode};Server=127.0.0.1;Port=1;Database=line;Uid=x;Pwd=" +
                          std::string(testing::PostgresServer::kPassword) + ";";
  EXPECT_EQ(OdbcConnection::Open(bad, {.login = 3s, .statement = 3s}, &error), nullptr);
  EXPECT_FALSE(error.empty());
  EXPECT_EQ(error.find(testing::PostgresServer::kPassword), std::string::npos) << error;
}

}  // namespace
}  // namespace zevuvuri::records
