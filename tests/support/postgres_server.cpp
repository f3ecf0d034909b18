#include "tests/support/postgres_server.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <pwd.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <glob.h>

namespace zevuvuri::testing {
namespace {

constexpr const char* kBin = "/usr/lib/postgresql/15/bin/";
// Every command the harness runs ends within this many seconds.
constexpr const char* kCommandLimit = "timeout -k 5 60 ";

int FreePort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  int port = 0;
  if (fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
    port = ntohs(address.sin_port);
  }
  if (fd >= 0) ::close(fd);
  return port;
}

std::string PsqlOdbcDriver() {
  glob_t found{};
  std::string path;
  if (::glob("/usr/lib/*/odbc/psqlodbcw.so", 0, nullptr, &found) == 0 && found.gl_pathc > 0) {
    path = found.gl_pathv[0];
  }
  ::globfree(&found);
  return path;
}

std::string Quote(const std::string& text) {
  std::string out = "'";
  for (const char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

}  // namespace

PostgresServer::PostgresServer(const std::string& schema_path) {
  if (!std::filesystem::exists(std::string(kBin) + "initdb")) {
    error_ = "postgresql-15 is not installed (scripts/install-deps.sh)";
    return;
  }
  const std::string driver = PsqlOdbcDriver();
  if (driver.empty()) {
    error_ = "the PostgreSQL ODBC driver is not installed (odbc-postgresql)";
    return;
  }
  std::ofstream(dir_.Path() + "/odbcinst.ini") << "[PostgreSQL Unicode]\nDriver=" << driver
                                               << "\nDebug=0\nCommLog=0\n";
  std::ofstream(dir_.Path() + "/odbc.ini") << "";
  port_ = FreePort();
  if (::geteuid() == 0) {
    const passwd* nobody = ::getpwnam("nobody");
    if (nobody == nullptr || ::chown(dir_.Path().c_str(), nobody->pw_uid, nobody->pw_gid) != 0) {
      error_ = "no user 'nobody' to run the server as";
      return;
    }
  }
  std::string output;
  if (!Run(AsServerUser(std::string(kBin) + "initdb -D " + Quote(dir_.Path() + "/data") +
                        " -U line -A trust -E UTF8 --no-sync --no-instructions"),
           &output)) {
    error_ = "initdb failed: " + output;
    return;
  }
  if (!Start()) {
    error_ = "the server did not start";
    return;
  }
  if (!Run(std::string(kCommandLimit) + kBin + "createdb -h 127.0.0.1 -p " + std::to_string(port_) +
               " -U line line",
           &output) ||
      !Run(std::string(kCommandLimit) + kBin + "psql -X -q -v ON_ERROR_STOP=1 -h 127.0.0.1 -p " +
               std::to_string(port_) + " -U line -d line -f " + Quote(schema_path),
           &output)) {
    error_ = "the database could not be made: " + output;
  }
}

PostgresServer::~PostgresServer() {
  Freeze(false);
  Run(AsServerUser(std::string(kBin) + "pg_ctl -D " + Quote(dir_.Path() + "/data") + " -m immediate -w stop"));
}

std::string PostgresServer::AsServerUser(const std::string& command) const {
  const std::string limited = kCommandLimit + command;
  return ::geteuid() == 0 ? "runuser -u nobody -- " + limited : limited;
}

bool PostgresServer::Run(const std::string& command, std::string* output) const {
  std::FILE* p = ::popen((command + " 2>&1").c_str(), "r");
  if (p == nullptr) return false;
  std::string text;
  char buffer[4096];
  for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, p)) > 0;) text.append(buffer, n);
  const int status = ::pclose(p);
  if (output != nullptr) *output = text;
  return status == 0;
}

bool PostgresServer::Start() {
  // fsync off: the tests need the server's behaviour, not its durability.
  const std::string options = "-c listen_addresses=127.0.0.1 -p " + std::to_string(port_) + " -k " +
                              Quote(dir_.Path()) + " -c fsync=off";
  return Run(AsServerUser(std::string(kBin) + "pg_ctl -D " + Quote(dir_.Path() + "/data") + " -l " +
                          Quote(dir_.Path() + "/server.log") + " -o " + Quote(options) + " -w -t 30 start"));
}

bool PostgresServer::Stop() {
  return Run(AsServerUser(std::string(kBin) + "pg_ctl -D " + Quote(dir_.Path() + "/data") + " -m fast -w -t 30 stop"));
}

void PostgresServer::Freeze(bool frozen) {
  // This server's client backends only (other tests may run servers of their
  // own): children of its postmaster whose title names a client,
  // "postgres: line line 127.0.0.1(PORT) ...".
  std::ifstream pid_file(dir_.Path() + "/data/postmaster.pid");
  std::string postmaster;
  std::getline(pid_file, postmaster);
  if (postmaster.empty()) return;
  DIR* proc = ::opendir("/proc");
  if (proc == nullptr) return;
  while (const dirent* entry = ::readdir(proc)) {
    const std::string pid = entry->d_name;
    if (pid.find_first_not_of("0123456789") != std::string::npos) continue;
    std::ifstream stat("/proc/" + pid + "/stat");
    std::string line;
    std::getline(stat, line);
    // The parent is the second field after the command's closing parenthesis.
    std::istringstream fields(line.substr(line.rfind(')') + 1));
    std::string state, parent;
    fields >> state >> parent;
    if (parent != postmaster) continue;
    std::ifstream in("/proc/" + pid + "/cmdline");
    std::string title;
    std::getline(in, title, '\0');
    if (title.rfind("postgres: line line 127.0.0.1(", 0) == 0) {
      ::kill(std::stoi(pid), frozen ? SIGSTOP : SIGCONT);
    }
  }
  ::closedir(proc);
}

std::string PostgresServer::ConnectionString() const {
  return "Driver={PostgreSQL Unicode};Server=127.0.0.1;Port=" + std::to_string(port_) +
         ";Database=line;Uid=line;Pwd=" + kPassword + ";";
}

std::map<std::string, std::string> PostgresServer::OdbcEnv() const {
  return {{"ODBCSYSINI", dir_.Path()}, {"ODBCINI", dir_.Path() + "/odbc.ini"}};
}

PostgresServer* PostgresTest::server_ = nullptr;

void PostgresTest::SetUpTestSuite() {
  server_ = new PostgresServer(ZEVUVURI_RECORDS_SCHEMA);
  for (const auto& [name, value] : server_->OdbcEnv()) ::setenv(name.c_str(), value.c_str(), 1);
}

void PostgresTest::TearDownTestSuite() {
  delete server_;
  server_ = nullptr;
}

void PostgresTest::SetUp() {
  ASSERT_TRUE(server_->Ok()) << server_->Error();
  ASSERT_EQ(server_->Query("TRUNCATE unit_records"), "TRUNCATE TABLE");
}

std::string PostgresServer::Query(const std::string& sql) const {
  std::string output;
  if (!Run(std::string(kCommandLimit) + kBin + "psql -X -At -v ON_ERROR_STOP=1 -h 127.0.0.1 -p " +
               std::to_string(port_) + " -U line -d line -c " + Quote(sql),
           &output)) {
    return "ERROR " + output;
  }
  while (!output.empty() && output.back() == '\n') output.pop_back();
  return output;
}

}  // namespace zevuvuri::testing
