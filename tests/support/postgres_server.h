// A real PostgreSQL 15 server for the records tests: a fresh cluster in a
// temporary folder, run by Debian's postgresql-15 as a user that is not root
// (the server refuses root, and CI runs as root), on 127.0.0.1 and a free
// port, with trust login. Also the ODBC set-up a client needs to reach it: a
// private odbcinst.ini for the PostgreSQL Unicode driver, without its
// per-process communication logs. PostgresTest: the fixture of a test suite
// against such a server.
#pragma once

#include <gtest/gtest.h>

#include <map>
#include <string>

#include "tests/support/pseudo_terminal.h"

namespace zevuvuri::testing {

class PostgresServer {
 public:
  // Creates the cluster, starts it, creates the database "line" and loads
  // records/postgresql.sql into it. Check Ok().
  explicit PostgresServer(const std::string& schema_path);
  ~PostgresServer();  // stops the server (thawed first) and removes the folder
  PostgresServer(const PostgresServer&) = delete;
  PostgresServer& operator=(const PostgresServer&) = delete;

  bool Ok() const { return error_.empty(); }
  const std::string& Error() const { return error_; }

  bool Start();
  bool Stop();  // fast shutdown, waited for
  // Stops (SIGSTOP) or resumes every client backend: a server that still
  // accepts connections but answers no statement.
  void Freeze(bool frozen);

  // An ODBC connection string for the database, with a password that must
  // never be shown (trust login ignores it).
  std::string ConnectionString() const;
  // The environment an ODBC client of this server needs (ODBCSYSINI).
  std::map<std::string, std::string> OdbcEnv() const;
  // psql's unaligned output of `sql` on the database; "ERROR..." on failure.
  std::string Query(const std::string& sql) const;

  static constexpr const char* kPassword = "s3cret-Pa55";

 private:
  std::string AsServerUser(const std::string& command) const;
  bool Run(const std::string& command, std::string* output = nullptr) const;

  TempDir dir_;
  int port_ = 0;
  std::string error_;
};

// A suite's fixture: one server for the suite, with the shipped schema
// loaded; its ODBC environment set in this process (a forwarder or store
// made in the test reaches it; a child process gets OdbcEnv() through its
// own environment); each test starts with the server up and the table empty.
class PostgresTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite();
  static void TearDownTestSuite();
  void SetUp() override;

  static PostgresServer* server_;
};

}  // namespace zevuvuri::testing
