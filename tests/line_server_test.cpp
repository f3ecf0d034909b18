// zevuvuri-line against a real PostgreSQL: rows put in by SQL as stations and
// the forwarder would leave them, read back through the HTTP API and the
// page's files; the program's start with roles that may and may not write.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <httplib.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <fstream>
#include <thread>

#include "tests/support/child_process.h"
#include "tests/support/postgres_server.h"
#include "tools/line/connection_pool.h"
#include "tools/line/line_reader.h"
#include "tools/line/line_server.h"

namespace zevuvuri::line {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;
using testing::PostgresServer;

// Texts typed or scanned by people, as a label may carry them.
const std::string kOddStation = "<script>alert(\"x\")</script> O'Brien \xc3\x84";
const std::string kOddSerial = "SN<script>\"1\xc3\xa9";
const std::string kShaA(64, 'a');
const std::string kShaB(64, 'b');

std::string Sql(const std::string& text) {
  std::string out = "'";
  for (const char c : text) out += c == '\'' ? std::string("''") : std::string(1, c);
  return out + "'";
}

int FreePort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  int port = 0;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
    port = ntohs(address.sin_port);
  }
  ::close(fd);
  return port;
}

class LineDatabaseTest : public testing::PostgresTest {
 protected:
  void SetUp() override {
    PostgresTest::SetUp();
    ASSERT_EQ(server_->Query("TRUNCATE line_stations, station_slots"), "TRUNCATE TABLE");
    // The README's read-only role, and one a station might have been given.
    const std::string roles = server_->Query(
        "DO $$ BEGIN "
        "IF NOT EXISTS (SELECT 1 FROM pg_roles WHERE rolname = 'line_page') THEN CREATE ROLE line_page LOGIN; END IF; "
        "IF NOT EXISTS (SELECT 1 FROM pg_roles WHERE rolname = 'station_writer') THEN "
        "CREATE ROLE station_writer LOGIN; END IF; END $$; "
        "GRANT SELECT ON unit_records, line_stations, station_slots TO line_page, station_writer; "
        "GRANT INSERT ON unit_records TO station_writer; GRANT UPDATE ON station_slots TO station_writer");
    ASSERT_EQ(roles.find("ERROR"), std::string::npos) << roles;
  }

  static std::string ConnectionAs(const std::string& role) {
    std::string c = server_->ConnectionString();
    const std::size_t at = c.find("Uid=line;");
    return c.replace(at, 9, "Uid=" + role + ";");
  }

  static void Station(const std::string& name, const std::string& sha, const std::string& approved,
                      const std::string& beat, const std::string& totals) {
    const std::string out = server_->Query(
        "INSERT INTO line_stations (station, host, station_run, started_utc, beat_utc, slots, type_code, pacing, "
        "firmware, firmware_sha256, approved_sha256, units, ok, failed, failures, loader_version) VALUES (" +
        Sql(name) + ", 'host', 'run-1', CURRENT_TIMESTAMP - interval '1 hour', " + beat + ", 2, 5, 'fast', "
        "'/fw/app.bin', " + Sql(sha) + ", " + (approved.empty() ? "NULL" : Sql(approved)) + ", " + totals +
        ", 'test')");
    ASSERT_EQ(out.find("ERROR"), std::string::npos) << out;
  }

  static void Slot(const std::string& station, const std::string& run, const std::string& port, int slot,
                   const std::string& serial, const std::string& result, const std::string& text, int percent) {
    const std::string out = server_->Query(
        "INSERT INTO station_slots (station, port, slot, station_run, unit, serial_number, phase, state_text, "
        "percent, result, result_text, repeat_unit, firmware, firmware_sha256, type_code, changed_utc) VALUES (" +
        Sql(station) + ", " + Sql(port) + ", " + std::to_string(slot) + ", " + Sql(run) + ", 7, " + Sql(serial) +
        ", 'waiting', " + Sql(text) + ", " + std::to_string(percent) + ", " + Sql(result) + ", " + Sql(text) +
        ", 0, '/fw/app.bin', " + Sql(kShaA) + ", 5, CURRENT_TIMESTAMP)");
    ASSERT_EQ(out.find("ERROR"), std::string::npos) << out;
  }

  static void Record(int id, const std::string& serial, const std::string& result, int minutes_ago) {
    const std::string out = server_->Query(
        "INSERT INTO unit_records (record_id, station, host, port, type_code, pacing, firmware, firmware_sha256, "
        "result, exit_code, data_frames_sent, started_utc, ended_utc, duration_s, loader_version, record, "
        "serial_number, unit) VALUES (lpad('" + std::to_string(id) + "', 32, '0'), " + Sql(kOddStation) +
        ", 'host', '/dev/ttyUSB0', 5, 'fast', '/fw/app.bin', " + Sql(kShaA) + ", " + Sql(result) + ", " +
        (result == "Upgrade OK" ? "0" : "6") + ", 10, (now() AT TIME ZONE 'UTC') - interval '" +
        std::to_string(minutes_ago) + " minutes', (now() AT TIME ZONE 'UTC') - interval '" +
        std::to_string(minutes_ago) + " minutes' + interval '9 seconds', 9.0, 'test', '{}', " + Sql(serial) + ", " +
        std::to_string(id) + ")");
    ASSERT_EQ(out.find("ERROR"), std::string::npos) << out;
  }
};

// The server in this process, on a free port, reading as `connection`.
class RunningServer {
 public:
  RunningServer(const std::string& connection, records::ConnectionLimits limits, ServerLimits server_limits = {})
      : pool_(connection, limits, 2), reader_(&pool_, 8), server_(&reader_, server_limits, false) {
    std::string error;
    bound_ = server_.Bind("127.0.0.1", 0, &error);
    if (bound_) thread_ = std::thread([this] { served_ = server_.Serve(); });
  }
  ~RunningServer() {
    server_.Stop();
    if (thread_.joinable()) thread_.join();
  }
  bool Bound() const { return bound_; }
  int Port() const { return server_.Port(); }
  bool Served() {
    server_.Stop();
    if (thread_.joinable()) thread_.join();
    return served_;
  }

 private:
  ConnectionPool pool_;
  LineReader reader_;
  LineServer server_;
  bool bound_ = false;
  bool served_ = false;
  std::thread thread_;
};

httplib::Client ClientOf(int port, std::chrono::seconds read_limit = 20s) {
  httplib::Client client("127.0.0.1", port);
  client.set_connection_timeout(5s);
  client.set_read_timeout(read_limit);
  return client;
}

TEST_F(LineDatabaseTest, TheApiAndThePageShowTheTablesAsText) {
  Station(kOddStation, kShaA, kShaA, "CURRENT_TIMESTAMP", "6, 5, 1, '[[\"Write Error\",1]]'");
  Station("st-2", kShaA, "", "CURRENT_TIMESTAMP", "0, 0, 0, NULL");
  Station("st-3", kShaB, kShaA, "CURRENT_TIMESTAMP", "0, 0, 0, NULL");
  Station("st-off", kShaB, "", "CURRENT_TIMESTAMP - interval '40 seconds'", "0, 0, 0, NULL");
  Slot(kOddStation, "run-1", "/dev/ttyUSB1", 1, "SN-2", "failed", "Write Error", 40);
  Slot(kOddStation, "run-1", "/dev/ttyUSB0", 0, "<b>x</b>", "ok", "Upgrade OK", 100);
  Slot(kOddStation, "run-0", "/dev/ttyUSB9", 2, "old", "ok", "Upgrade OK", 100);  // an earlier run's
  // Three attempts on one board, put in out of order; one record of another
  // board in the shift, and one from before it.
  Record(2, kOddSerial, "Did not get local ACK", 30);
  Record(3, kOddSerial, "Upgrade OK", 10);
  Record(1, kOddSerial, "Write Error", 50);
  Record(4, "SN-other", "Upgrade OK", 70);
  Record(5, "SN-old", "Write Error", 9 * 60);

  RunningServer running(ConnectionAs("line_page"), {5s, 5s});
  ASSERT_TRUE(running.Bound());
  auto client = ClientOf(running.Port());

  auto line = client.Get("/api/line");
  ASSERT_TRUE(line);
  ASSERT_EQ(line->status, 200) << line->body;
  EXPECT_EQ(line->get_header_value("Content-Type"), "application/json; charset=utf-8");
  EXPECT_EQ(line->get_header_value("X-Content-Type-Options"), "nosniff");
  EXPECT_NE(line->get_header_value("Content-Security-Policy").find("default-src 'self'"), std::string::npos);
  const json j = json::parse(line->body);  // throws on anything that is not JSON
  ASSERT_EQ(j["stations"].size(), 4u);
  std::map<std::string, json> by_name;
  for (const auto& s : j["stations"]) by_name[s["station"].get<std::string>()] = s;
  ASSERT_EQ(by_name.count(kOddStation), 1u) << line->body;
  const json& odd = by_name[kOddStation];
  EXPECT_EQ(odd["online"], true);
  EXPECT_EQ(odd["offline_since_utc"], nullptr);
  EXPECT_EQ(odd["flags"], json::array());
  EXPECT_EQ(odd["totals"], json::parse(R"({"units":6,"ok":5,"failed":1,"yield_percent":83.3,
                                            "failures":[{"reason":"Write Error","count":1}]})"));
  ASSERT_EQ(odd["slots"].size(), 2u) << "the earlier run's slot is not this run's";
  EXPECT_EQ(odd["slots"][0]["port"], "/dev/ttyUSB0");
  EXPECT_EQ(odd["slots"][0]["serial"], "<b>x</b>");
  EXPECT_EQ(odd["slots"][0]["result"], "ok");
  EXPECT_EQ(odd["slots"][1]["result"], "failed");
  EXPECT_EQ(odd["slots"][1]["result_text"], "Write Error");
  EXPECT_EQ(odd["slots"][1]["percent"], 40);
  EXPECT_EQ(by_name["st-2"]["flags"], json::array());
  EXPECT_EQ(by_name["st-3"]["flags"],
            json::parse(R"(["differs from other stations of type 5", "not the approved image"])"));
  EXPECT_EQ(by_name["st-off"]["online"], false);
  EXPECT_EQ(by_name["st-off"]["flags"], json::array()) << "an offline station is not compared";
  // Offline since its last beat, as the database's own clock wrote it.
  EXPECT_EQ(by_name["st-off"]["offline_since_utc"],
            server_->Query("SELECT to_char(beat_utc AT TIME ZONE 'UTC', 'YYYY-MM-DD\"T\"HH24:MI:SS.MS\"Z\"') "
                           "FROM line_stations WHERE station = 'st-off'"));
  // The shift: four records (the one from nine hours ago is before it).
  std::int64_t units = 0, ok = 0;
  for (const auto& h : j["yield_by_hour"]) {
    units += h["units"].get<std::int64_t>();
    ok += h["ok"].get<std::int64_t>();
  }
  EXPECT_EQ(units, 4);
  EXPECT_EQ(ok, 2);
  EXPECT_GE(j["yield_by_hour"].size(), 8u);
  EXPECT_EQ(j["top_failures"], json::parse(R"([{"reason":"Did not get local ACK","count":1},
                                                {"reason":"Write Error","count":1}])"));

  // A board's history, oldest first.
  auto history = client.Get("/api/serial?number=" + httplib::detail::encode_query_param(kOddSerial));
  ASSERT_TRUE(history);
  ASSERT_EQ(history->status, 200) << history->body;
  const json h = json::parse(history->body);
  EXPECT_EQ(h["serial"], kOddSerial);
  ASSERT_EQ(h["attempts"].size(), 3u);
  const char* results[] = {"Write Error", "Did not get local ACK", "Upgrade OK"};
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(h["attempts"][i]["attempt"], i + 1);
    EXPECT_EQ(h["attempts"][i]["result"], results[i]);
    EXPECT_EQ(h["attempts"][i]["station"], kOddStation);
  }
  EXPECT_LT(h["attempts"][0]["started_utc"].get<std::string>(), h["attempts"][1]["started_utc"].get<std::string>());

  // Refusals: JSON under /api/, each with its status.
  struct Refusal {
    std::string method, path;
    int status;
  };
  const Refusal refusals[] = {
      {"GET", "/api/serial", 400},
      {"GET", "/api/serial?number=", 400},
      {"GET", "/api/serial?number=" + std::string(256, 'x'), 400},
      {"GET", "/api/serial?number=%ff%fe", 400},
      {"GET", "/api/stations", 404},
      {"GET", "/api/", 404},
      {"POST", "/api/line", 405},
      {"DELETE", "/api/serial", 405},
  };
  for (const auto& r : refusals) {
    auto answer = r.method == "GET"    ? client.Get(r.path)
                  : r.method == "POST" ? client.Post(r.path, "x", "text/plain")
                                       : client.Delete(r.path);
    ASSERT_TRUE(answer) << r.path;
    EXPECT_EQ(answer->status, r.status) << r.method << " " << r.path;
    EXPECT_EQ(answer->get_header_value("Content-Type"), "application/json; charset=utf-8") << r.path;
    EXPECT_TRUE(json::parse(answer->body).contains("error")) << r.path << ": " << answer->body;
  }
  auto longest = client.Get("/api/serial?number=" + std::string(255, 'x'));
  ASSERT_TRUE(longest);
  EXPECT_EQ(longest->status, 200);
  auto missing = client.Get("/missing.html");
  ASSERT_TRUE(missing);
  EXPECT_EQ(missing->status, 404);

  // The page's own files with their types; the script puts no text in as markup.
  const std::pair<const char*, const char*> files[] = {{"/", "text/html; charset=utf-8"},
                                                       {"/line.css", "text/css; charset=utf-8"},
                                                       {"/line.js", "text/javascript; charset=utf-8"}};
  for (const auto& [path, type] : files) {
    auto file = client.Get(path);
    ASSERT_TRUE(file) << path;
    EXPECT_EQ(file->status, 200) << path;
    EXPECT_EQ(file->get_header_value("Content-Type"), type) << path;
    EXPECT_FALSE(file->body.empty()) << path;
    EXPECT_EQ(file->body.find("innerHTML"), std::string::npos) << path;
  }
  EXPECT_NE(client.Get("/")->body.find("id=\"serial-search\""), std::string::npos);

  // Nothing that went out quotes the connection.
  for (const auto* answer : {&line, &history}) {
    EXPECT_EQ((*answer)->body.find(PostgresServer::kPassword), std::string::npos);
  }
  EXPECT_TRUE(running.Served());
}

// Open pages (a connection kept after each poll) and clients that send half a
// request and stop: neither keeps the next client waiting.
TEST_F(LineDatabaseTest, ClientsThatHoldConnectionsDoNotHoldTheServer) {
  ServerLimits limits;
  limits.keep_alive_timeout_s = 30;  // as if each page polled again at once
  RunningServer running(ConnectionAs("line_page"), {5s, 5s}, limits);
  ASSERT_TRUE(running.Bound());
  std::vector<std::unique_ptr<httplib::Client>> pages;
  for (int i = 0; i < limits.workers; ++i) {
    pages.push_back(std::make_unique<httplib::Client>("127.0.0.1", running.Port()));
    pages.back()->set_keep_alive(true);
    pages.back()->set_read_timeout(20s);
    auto answer = pages.back()->Get("/api/line");
    ASSERT_TRUE(answer) << "page " << i << ": " << httplib::to_string(answer.error());
    ASSERT_EQ(answer->status, 200);
  }
  // Two clients that send part of a request and then nothing.
  int stalled[2];
  for (int& fd : stalled) {
    fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(running.Port()));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    const std::string half = "GET /api/line HTTP/1.1\r\nHost: 127.0.0.1\r\n";
    ASSERT_EQ(::write(fd, half.data(), half.size()), static_cast<ssize_t>(half.size()));
  }
  // Answered while those wait for their read limit (5 s): this client gives
  // up sooner than that.
  auto client = ClientOf(running.Port(), 4s);
  auto answer = client.Get("/api/line");
  ASSERT_TRUE(answer) << httplib::to_string(answer.error());
  EXPECT_EQ(answer->status, 200);
  for (const int fd : stalled) ::close(fd);
}

TEST_F(LineDatabaseTest, ADatabaseThatStopsAnsweringGets503ThenServesAgain) {
  // As the superuser the harness can freeze (the server's own connections).
  RunningServer running(server_->ConnectionString(), {2s, 1s});
  ASSERT_TRUE(running.Bound());
  auto client = ClientOf(running.Port());
  ASSERT_EQ(client.Get("/api/line")->status, 200);
  server_->Freeze(true);
  auto away = client.Get("/api/line");
  server_->Freeze(false);
  ASSERT_TRUE(away);
  EXPECT_EQ(away->status, 503);
  EXPECT_TRUE(json::parse(away->body).contains("error")) << away->body;
  EXPECT_EQ(away->body.find(PostgresServer::kPassword), std::string::npos);
  auto back = client.Get("/api/line");
  ASSERT_TRUE(back);
  EXPECT_EQ(back->status, 200) << back->body;
}

// The program: whether it starts with a connection, what it says, and that
// SIGTERM ends it cleanly.
struct StartCase {
  const char* name;
  const char* role;  // nullptr: a port where no database listens
  bool allow_write_role;
  bool from_file;  // --records-db-file, as the service gives it
  bool serves;
  std::vector<std::string> says;
  std::vector<std::string> never_says;
};

void PrintTo(const StartCase& c, std::ostream* os) { *os << c.name; }

class LineProgramTest : public LineDatabaseTest, public ::testing::WithParamInterface<StartCase> {};

TEST_P(LineProgramTest, StartsOnlyWithARoleThatReads) {
  const StartCase& c = GetParam();
  std::string connection = c.role ? ConnectionAs(c.role) : ConnectionAs("line_page");
  if (!c.role) connection.replace(connection.find("Port="), 5, "Port=1;Unused=");
  const int port = FreePort();
  testing::TempDir dir;
  std::vector<std::string> argv = {ZEVUVURI_LINE_PATH, "--listen", "127.0.0.1:" + std::to_string(port)};
  if (c.from_file) {
    std::ofstream(dir.Path() + "/records-db") << connection << "\n";
    argv.insert(argv.end(), {"--records-db-file", dir.Path() + "/records-db"});
  } else {
    argv.insert(argv.end(), {"--records-db", connection});
  }
  if (c.allow_write_role) argv.push_back("--allow-write-role");
  testing::ChildProcess line(argv, server_->OdbcEnv());
  if (c.serves) {
    auto client = ClientOf(port, 10s);
    bool up = false;
    for (int i = 0; i < 300 && !up; ++i) {  // 30 s at most
      auto page = client.Get("/");
      up = page && page->status == 200;
      if (!up) std::this_thread::sleep_for(100ms);
    }
    EXPECT_TRUE(up);
    line.Signal(SIGTERM);
    EXPECT_EQ(line.Wait(30s), 0) << line.Stderr();
  } else {
    EXPECT_EQ(line.Wait(30s), 1) << line.Stderr();
  }
  for (const auto& text : c.says) EXPECT_NE(line.Stderr().find(text), std::string::npos) << text << "\n" << line.Stderr();
  for (const auto& text : c.never_says) EXPECT_EQ(line.Stderr().find(text), std::string::npos) << text;
  EXPECT_EQ(line.Stderr().find(PostgresServer::kPassword), std::string::npos) << line.Stderr();
}

INSTANTIATE_TEST_SUITE_P(
    Roles, LineProgramTest,
    ::testing::Values(
        StartCase{"ReadOnly", "line_page", false, true, true, {"serving the line page on http://127.0.0.1:"}, {"WARNING"}},
        StartCase{"Superuser", "line", false, false, false,
                  {"refusing to start", "superuser", "INSERT on unit_records", "TRUNCATE on station_slots",
                   "GRANT SELECT ON unit_records, line_stations, station_slots"},
                  {"serving"}},
        StartCase{"StationsRights", "station_writer", false, false, false,
                  {"refusing to start", "INSERT on unit_records", "UPDATE on station_slots"},
                  {"superuser", "DELETE", "on line_stations"}},
        StartCase{"Allowed", "line", true, false, true, {"WARNING", "can write", "superuser", "serving"}, {}},
        StartCase{"NoDatabase", nullptr, false, true, false, {"cannot connect to the database"}, {"serving"}}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace zevuvuri::line
