// The records library: passwords never shown, and the forwarder against a
// real PostgreSQL server (tests/support/postgres_server.h) through unixODBC
// and the PostgreSQL ODBC driver.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <thread>

#include "records/connection_text.h"
#include "records/forwarder.h"
#include "records/sent_mark.h"
#include "tests/support/postgres_server.h"

namespace zevuvuri::records {
namespace {

using namespace std::chrono_literals;

struct Masking {
  const char* text;
  const char* shown;
};

// The case's text names it in the test list.
void PrintTo(const Masking& m, std::ostream* os) { *os << m.text; }

class MaskPasswordsTest : public ::testing::TestWithParam<Masking> {};

TEST_P(MaskPasswordsTest, HidesEveryPasswordValueAndNothingElse) {
  EXPECT_EQ(MaskPasswords(GetParam().text), GetParam().shown);
}

INSTANTIATE_TEST_SUITE_P(
    ConnectionStringsAndMessages, MaskPasswordsTest,
    ::testing::Values(
        Masking{"DSN=line;UID=qa;PWD=hunter2", "DSN=line;UID=qa;PWD=***"},
        Masking{"Driver={PostgreSQL Unicode};Server=db;Pwd=a;b=c;Port=5432", "Driver={PostgreSQL Unicode};Server=db;Pwd=***;b=c;Port=5432"},
        Masking{"pwd = {se;cr}}et};Uid=x", "pwd = ***;Uid=x"},
        Masking{"Password=p@ss;Database=line", "Password=***;Database=line"},
        // Names in any case: the driver takes them so.
        Masking{"UID=qa;PASSWORD=Upper1;pWd=mixed2;PassWord={x}", "UID=qa;PASSWORD=***;pWd=***;PassWord=***"},
        Masking{"Server=db;OldPwd=keep;NewPWD2=keep", "Server=db;OldPwd=keep;NewPWD2=keep"},
        Masking{"08001: could not connect: PWD=x ; Uid=u", "08001: could not connect: PWD=***; Uid=u"},
        Masking{"Pwd={unclosed;Uid=u", "Pwd=***"},
        Masking{"no password here", "no password here"}),
    [](const ::testing::TestParamInfo<Masking>& case_info) { return std::to_string(case_info.index); });

// A record line as the loader writes it, with fields that the table types.
std::string Record(int n, const char* result = "Upgrade OK") {
  char id[33];
  std::snprintf(id, sizeof id, "%032x", n + 0xabc000);
  return std::string("{\"record_id\":\"") + id + "\",\"station\":\"line-a\",\"start\":\"2026-12-31T23:59:59.500Z\"," +
         "\"host\":\"pc\",\"port\":\"3\",\"device\":null,\"firmware\":\"/fw/REDIDADU.bin\",\"firmware_size\":1500," +
         "\"firmware_sha256\":\"" + std::string(64, 'e') + "\",\"type_code\":7,\"link_mode\":\"serial\"," +
         "\"pacing\":\"fast\",\"data_frames_sent\":28,\"result\":\"" + result + "\",\"exit_code\":0," +
         "\"duration_s\":1.25,\"loader_version\":\"1.06\",\"unit\":" + std::to_string(n) + "}";
}

class ForwarderTest : public testing::PostgresTest {
 protected:
  void SetUp() override {
    PostgresTest::SetUp();
    journal_ = dir_.Path() + "/records.jsonl";
  }
  void Append(const std::string& text) { std::ofstream(journal_, std::ios::app | std::ios::binary) << text; }
  std::string Count() { return server_->Query("SELECT count(*), count(DISTINCT record_id) FROM unit_records"); }

  testing::TempDir dir_;
  std::string journal_;
};

// A journal cut by a power loss twice: once in the middle (the next record
// then began on its own line) and at its end. Its complete records arrive,
// typed; the torn text never does. Then, with the mark lost and one record
// more, everything is sent again: the database keeps each record once and
// takes the new one, and all count as sent.
TEST_F(ForwarderTest, TornJournalSendsItsCompleteRecordsOnceEvenWithTheMarkLost) {
  Append(Record(1) + "\n" + Record(2).substr(0, 90) + "\n" + Record(3, "Write Error") + "\n" + Record(4) + "\n" +
         Record(5).substr(0, 120));
  struct Pass {
    const char* what;
    std::uint64_t sent;
    const char* stored;
  };
  for (const Pass& pass : {Pass{"first send", 3, "3|3"}, Pass{"with the mark lost", 4, "4|4"}}) {
    SCOPED_TRACE(pass.what);
    if (pass.sent == 4) {
      std::filesystem::remove(SentMarkPath(journal_));
      Append("\n" + Record(7) + "\n");
    }
    RecordForwarder forwarder(journal_, server_->ConnectionString());
    std::string error;
    ASSERT_TRUE(forwarder.Start(&error)) << error;
    EXPECT_TRUE(forwarder.WaitSent(10s)) << forwarder.State().reason;
    EXPECT_EQ(forwarder.State().sent, pass.sent);
    EXPECT_TRUE(forwarder.Stop(2s));
    EXPECT_EQ(Count(), pass.stored);
    EXPECT_EQ(CountWaiting(journal_).waiting, 0u);
  }
  EXPECT_EQ(server_->Query("SELECT unit, result, type_code, ended_utc, duration_s FROM unit_records ORDER BY unit"),
            "1|Upgrade OK|7|2027-01-01 00:00:00.75|1.25\n"
            "3|Write Error|7|2027-01-01 00:00:00.75|1.25\n"
            "4|Upgrade OK|7|2027-01-01 00:00:00.75|1.25\n"
            "7|Upgrade OK|7|2027-01-01 00:00:00.75|1.25");
  Append(Record(6) + "\n");
  EXPECT_EQ(CountWaiting(journal_).waiting, 1u);
}

// The server away: records wait, the reason is the driver's, without the
// password; once the server is back they all arrive, each once. A server
// that stops answering a statement does not hold Stop past its limit.
TEST_F(ForwarderTest, ServerAwayThenBackThenFrozen) {
  ASSERT_TRUE(server_->Stop());
  for (int n = 1; n <= 3; ++n) Append(Record(n) + "\n");
  RecordForwarder forwarder(journal_, server_->ConnectionString());
  std::string error;
  const auto started = std::chrono::steady_clock::now();
  ASSERT_TRUE(forwarder.Start(&error)) << error;
  EXPECT_FALSE(forwarder.WaitSent(5s));
  // Attempts at 0, 1 and 3 s, the next at 7 s: the pause grows.
  std::this_thread::sleep_until(started + 4500ms);
  const ForwarderState away = forwarder.State();
  EXPECT_EQ(away.waiting, 3u);
  EXPECT_EQ(away.failures, 3u);
  EXPECT_NE(away.reason.find("08"), std::string::npos) << away.reason;  // SQLSTATE class 08: connection
  EXPECT_EQ(away.reason.find(testing::PostgresServer::kPassword), std::string::npos) << away.reason;

  ASSERT_TRUE(server_->Start());
  Append(Record(4) + "\n");
  forwarder.Wake();
  // The retry comes after the growing pause: within its first steps.
  const auto until = std::chrono::steady_clock::now() + 20s;
  while (forwarder.State().sent < 4 && std::chrono::steady_clock::now() < until) std::this_thread::sleep_for(50ms);
  EXPECT_EQ(forwarder.State().sent, 4u) << forwarder.State().reason;
  EXPECT_EQ(Count(), "4|4");

  server_->Freeze(true);
  Append(Record(5) + "\n");
  forwarder.Wake();
  std::this_thread::sleep_for(300ms);  // the insert is now held by the frozen backend
  const auto stop_began = std::chrono::steady_clock::now();
  forwarder.Stop(1500ms);
  EXPECT_LT(std::chrono::steady_clock::now() - stop_began, 2s);
  const std::uint64_t left = CountWaiting(journal_).waiting;
  server_->Freeze(false);
  // The held record is still in the journal for the next run to send.
  EXPECT_EQ(left, 1u);
}

}  // namespace
}  // namespace zevuvuri::records
