// --doctor --records-db against a real PostgreSQL server: a database the
// loader can use passes every check and keeps nothing of the probe; each
// kind of database it cannot use is named with what to fix, the password
// never shown, and the exit status says so.
#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <map>
#include <string>

#include "tests/support/child_process.h"
#include "tests/support/postgres_server.h"
#include "tests/support/pseudo_terminal.h"

namespace zevuvuri {
namespace {

using namespace std::chrono_literals;
using testing::ChildProcess;
using testing::PostgresServer;
using testing::TempDir;

std::string Replaced(std::string text, const std::string& from, const std::string& to) {
  const auto at = text.find(from);
  if (at != std::string::npos) text.replace(at, from.size(), to);
  return text;
}

class RecordsDoctorTest : public testing::PostgresTest {
 protected:

  // The doctor's exit status; its output in out_.
  int Doctor(const std::string& connection, std::map<std::string, std::string> env = {}) {
    auto odbc = server_->OdbcEnv();
    env.insert(odbc.begin(), odbc.end());
    ChildProcess doctor({ZEVUVURI_CLI_PATH, "--doctor", "--records-db", connection}, env);
    const auto status = doctor.Wait(90s);
    out_ = doctor.Stdout() + doctor.Stderr();
    EXPECT_EQ(out_.find(PostgresServer::kPassword), std::string::npos) << out_;
    return status.value_or(-1);
  }

  TempDir dir_;
  std::string out_;
};

TEST_F(RecordsDoctorTest, AGoodDatabasePassesEveryCheckAndKeepsNothing) {
  EXPECT_EQ(Doctor(server_->ConnectionString()), 0) << out_;
  for (const char* line : {"ok       connected with Driver={PostgreSQL Unicode};", "Pwd=***",
                           "ok       the table unit_records has every column the loader fills",
                           "ok       the role line may insert records", "ok       the role line may look up record_id",
                           "ok       this computer's clock is within",
                           "ok       the ODBC driver keeps no per-process logs", "\nno problems found\n"}) {
    EXPECT_NE(out_.find(line), std::string::npos) << line << "\n" << out_;
  }
  EXPECT_EQ(server_->Query("SELECT count(*) FROM unit_records"), "0") << "the probe record was rolled back";
}

// What is wrong with the database or the way to it, set up before the run
// and undone after it.
struct Fault {
  const char* name;
  std::function<std::string(PostgresServer&, const std::string& dir)> set_up;  // the connection string
  std::function<void(PostgresServer&)> undo;
  std::map<std::string, std::string> env;  // beside the server's ODBC environment
  const char* problem;
  const char* fix;
};

void PrintTo(const Fault& f, std::ostream* os) { *os << f.name; }

class RecordsDoctorFaultTest : public RecordsDoctorTest, public ::testing::WithParamInterface<Fault> {};

TEST_P(RecordsDoctorFaultTest, NamesTheProblemAndItsFix) {
  const Fault& fault = GetParam();
  const std::string connection = fault.set_up(*server_, dir_.Path());
  auto env = fault.env;
  for (auto& [name, value] : env) value = Replaced(value, "DIR", dir_.Path());
  const int status = Doctor(connection, env);
  if (fault.undo) fault.undo(*server_);
  EXPECT_EQ(status, 1) << out_;
  EXPECT_NE(out_.find(std::string("PROBLEM  ") + fault.problem), std::string::npos) << out_;
  EXPECT_NE(out_.find(fault.fix), std::string::npos) << out_;
  EXPECT_NE(out_.find(" problem"), std::string::npos) << out_;
}

INSTANTIATE_TEST_SUITE_P(
    Faults, RecordsDoctorFaultTest,
    ::testing::Values(
        Fault{"RoleWithoutInsert",
              [](PostgresServer& s, const std::string&) {
                s.Query("CREATE ROLE reader LOGIN");
                s.Query("GRANT SELECT ON unit_records TO reader");
                return Replaced(s.ConnectionString(), "Uid=line", "Uid=reader");
              },
              nullptr, {}, "the role reader may not insert records: 42501",
              "fix: as the table's owner: GRANT INSERT ON unit_records TO reader"},
        Fault{"RoleThatMayOnlyInsert",
              [](PostgresServer& s, const std::string&) {
                s.Query("CREATE ROLE writer LOGIN");
                s.Query("GRANT INSERT ON unit_records TO writer");
                return Replaced(s.ConnectionString(), "Uid=line", "Uid=writer");
              },
              nullptr, {}, "the role writer may not read record_id: 42501",
              "fix: as the table's owner: GRANT SELECT (record_id) ON unit_records TO writer"},
        Fault{"MissingColumn",
              [](PostgresServer& s, const std::string&) {
                s.Query("ALTER TABLE unit_records RENAME COLUMN serial_number TO serial");
                return s.ConnectionString();
              },
              [](PostgresServer& s) { s.Query("ALTER TABLE unit_records RENAME COLUMN serial TO serial_number"); },
              {}, "the table unit_records lacks the columns serial_number", "fix: add them as records/postgresql.sql"},
        Fault{"NoServerThere",
              [](PostgresServer& s, const std::string&) {
                const std::string text = s.ConnectionString();
                const auto port = text.find("Port=");
                return text.substr(0, port) + "Port=1" + text.substr(text.find(';', port));
              },
              nullptr, {}, "cannot connect with Driver={PostgreSQL Unicode};Server=127.0.0.1;Port=1;", "listen_addresses"},
        Fault{"DriverLogsEveryProcess",
              [](PostgresServer& s, const std::string& dir) {
                // The server's own driver set-up, with the driver's logs on as
                // Debian's package ships it.
                std::ifstream in(s.OdbcEnv().at("ODBCSYSINI") + "/odbcinst.ini");
                std::string ini((std::istreambuf_iterator<char>(in)), {});
                std::ofstream(dir + "/odbcinst.ini") << Replaced(ini, "CommLog=0", "CommLog=1");
                std::ofstream(dir + "/odbc.ini") << "";
                return s.ConnectionString();
              },
              nullptr, {{"ODBCSYSINI", "DIR"}, {"ODBCINI", "DIR/odbc.ini"}},
              "the ODBC driver writes a log file for every process that connects",
              "CommLog=1 in the [PostgreSQL Unicode] section of odbcinst.ini"}),
    [](const ::testing::TestParamInfo<Fault>& case_info) { return std::string(case_info.param.name); });

}  // namespace
}  // namespace zevuvuri
