#include "records/live_state_sql.h"

#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include "records/column_text.h"
#include "records/odbc_connection.h"

namespace zevuvuri::records {
namespace {

// The live state waits for nothing: a server that does not answer soon is
// as good as away, and the rows go stale until it does.
constexpr ConnectionLimits kLiveLimits{std::chrono::seconds{5}, std::chrono::seconds{3}};

// The columns' widths (postgresql.sql).
constexpr std::size_t kName = 255;
constexpr std::size_t kPort = 590;  // SQL Server's key limit; PostgreSQL's column is wider
constexpr std::size_t kText = 1024;
constexpr std::size_t kPath = 4000;  // SQL Server's nvarchar(4000); PostgreSQL's is wider
constexpr std::size_t kShort = 16;
constexpr std::size_t kRun = 64;

SqlValue Text(const std::string& text, std::size_t width) { return FitColumn(text, width); }
SqlValue Text(const std::optional<std::string>& text, std::size_t width) {
  if (!text) return std::monostate{};
  return FitColumn(*text, width);
}
template <typename T>
SqlValue Number(const std::optional<T>& value) {
  if (!value) return std::monostate{};
  return static_cast<std::int64_t>(*value);
}

// Tables missing (an older schema: PostgreSQL's 42P01, the ODBC 42S02) or no
// right to write them (42501; SQL Server's 42000 with its own number): the
// run cannot change that.
LiveWrite Refusal(const std::string& error, std::string* why) {
  const std::string state = error.substr(0, 5);
  if (state == "42P01" || state == "42S02") {
    *why = "the database has no line_stations or station_slots table (an older schema: add them from the "
           "schema file): " + error;
    return LiveWrite::NotPossible;
  }
  if (state == "42501") {
    *why = "the loader's role may not write line_stations or station_slots: " + error;
    return LiveWrite::NotPossible;
  }
  *why = error;
  return LiveWrite::Failed;
}

class LiveStateSql final : public LiveStateWriter {
 public:
  explicit LiveStateSql(std::unique_ptr<OdbcConnection> c) : c_(std::move(c)) {}

  LiveWrite Open(const LiveStation& s, std::string* error) override {
    if (!LearnClock(error)) return Refusal(*error, error);
    station_ = FitColumn(s.station, kName);
    run_ = FitColumn(s.station_run, kRun);
    // A row of this run already (written before a lost connection) keeps its start.
    const std::vector<SqlValue> values = {Text(s.host, kName),
                                          run_,
                                          run_,
                                          static_cast<std::int64_t>(s.ports.size()),
                                          static_cast<std::int64_t>(s.type_code),
                                          Text(s.pacing, kShort),
                                          Text(s.firmware, kPath),
                                          Text(s.approved_sha256, 64),
                                          Text(s.loader_version, 32)};
    std::vector<SqlValue> update = values;
    update.push_back(station_);
    const auto changed = Exec(
        "UPDATE line_stations SET host = ?, started_utc = CASE WHEN station_run = ? THEN started_utc ELSE "
        "CURRENT_TIMESTAMP END, station_run = ?, beat_utc = CURRENT_TIMESTAMP, ended_utc = NULL, slots = ?, "
        "type_code = ?, pacing = ?, firmware = ?, approved_sha256 = ?, loader_version = ? WHERE station = ?",
        update, error);
    if (!changed) return Refusal(*error, error);
    if (*changed == 0) {
      std::vector<SqlValue> insert = {station_};
      insert.insert(insert.end(), values.begin(), values.end());
      insert.erase(insert.begin() + 2);  // the run's id once
      if (!Exec("INSERT INTO line_stations (station, host, station_run, started_utc, beat_utc, slots, type_code, "
                "pacing, firmware, approved_sha256, loader_version) VALUES (?, ?, ?, CURRENT_TIMESTAMP, "
                "CURRENT_TIMESTAMP, ?, ?, ?, ?, ?, ?)",
                insert, error)) {
        return Refusal(*error, error);
      }
    }
    // The rows of ports this run does not have (a station restarted with fewer).
    std::string sql = "DELETE FROM station_slots WHERE station = ?";
    std::vector<SqlValue> keep = {station_};
    for (const auto& port : s.ports) {
      sql += keep.size() == 1 ? " AND port NOT IN (?" : ", ?";
      keep.push_back(Text(port, kPort));
    }
    if (keep.size() > 1) sql += ")";
    if (!Exec(sql, keep, error)) return Refusal(*error, error);
    return LiveWrite::Done;
  }

  LiveWrite Run(const LiveRun& r, std::string* error) override {
    const auto changed = Exec(
        "UPDATE line_stations SET units = ?, ok = ?, failed = ?, failures = ?, firmware = ?, firmware_sha256 = ?, "
        "beat_utc = CURRENT_TIMESTAMP WHERE station = ? AND station_run = ?",
        {static_cast<std::int64_t>(r.units), static_cast<std::int64_t>(r.ok), static_cast<std::int64_t>(r.failed),
         FailuresJson(r.failures), Text(r.firmware, kPath), Text(r.firmware_sha256, 64), station_, run_},
        error);
    return RowTouched(changed, error);
  }

  LiveWrite Slot(const LiveSlot& s, std::string* error) override {
    const std::vector<SqlValue> values = {static_cast<std::int64_t>(s.slot),
                                          run_,
                                          Number(s.unit),
                                          Text(s.serial, kName),
                                          Text(s.phase, kShort),
                                          Text(s.state_text, kText),
                                          Number(s.percent),
                                          Text(s.result, kShort),
                                          Text(s.result_text, kText),
                                          static_cast<std::int64_t>(s.repeat ? 1 : 0),
                                          Text(s.firmware, kPath),
                                          Text(s.firmware_sha256, 64),
                                          Number(s.type_code)};
    std::vector<SqlValue> update = values;
    update.push_back(station_);
    update.push_back(Text(s.port, kPort));
    const auto changed = Exec(
        "UPDATE station_slots SET slot = ?, station_run = ?, unit = ?, serial_number = ?, phase = ?, state_text = ?, "
        "\"percent\" = ?, result = ?, result_text = ?, repeat_unit = ?, firmware = ?, firmware_sha256 = ?, "
        "type_code = ?, changed_utc = CURRENT_TIMESTAMP WHERE station = ? AND port = ?",
        update, error);
    if (!changed) return Refusal(*error, error);
    if (*changed > 0) return LiveWrite::Done;
    std::vector<SqlValue> insert = {station_, Text(s.port, kPort)};
    insert.insert(insert.end(), values.begin(), values.end());
    if (!Exec("INSERT INTO station_slots (station, port, slot, station_run, unit, serial_number, phase, state_text, "
              "\"percent\", result, result_text, repeat_unit, firmware, firmware_sha256, type_code, changed_utc) "
              "VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, CURRENT_TIMESTAMP)",
              insert, error)) {
      return Refusal(*error, error);
    }
    return LiveWrite::Done;
  }

  LiveWrite Beat(std::string* error) override {
    return RowTouched(Exec("UPDATE line_stations SET beat_utc = CURRENT_TIMESTAMP WHERE station = ? AND "
                           "station_run = ?",
                           {station_, run_}, error),
                      error);
  }

  LiveWrite End(std::string* error) override {
    return RowTouched(Exec("UPDATE line_stations SET beat_utc = CURRENT_TIMESTAMP, ended_utc = CURRENT_TIMESTAMP "
                           "WHERE station = ? AND station_run = ?",
                           {station_, run_}, error),
                      error);
  }

  void Cancel() override { c_->Cancel(); }

 private:
  // Every time is the server's clock with its zone: PostgreSQL's
  // CURRENT_TIMESTAMP carries it, SQL Server's is its local time without
  // one (its SYSDATETIMEOFFSET() has it). Told apart by what the server
  // answers, so that neither sees a failed statement.
  bool LearnClock(std::string* error) {
    std::vector<SqlRow> rows;
    // As text the zone shows: "2026-12-09 12:21:37.793+00" or "Dec  9 2026 12:21PM".
    if (!c_->Query("SELECT CAST(CURRENT_TIMESTAMP AS varchar(40))", {}, &rows, error)) return false;
    const std::string now = rows.empty() || rows[0].empty() ? std::string() : rows[0][0].value_or("");
    const auto zone = now.find_first_of("+-", 19);  // after "YYYY-MM-DD HH:MM:SS"
    clock_ = now.size() > 19 && zone != std::string::npos ? "CURRENT_TIMESTAMP" : "SYSDATETIMEOFFSET()";
    return true;
  }
  std::optional<std::int64_t> Exec(std::string sql, const std::vector<SqlValue>& values, std::string* error) {
    for (auto at = sql.find("CURRENT_TIMESTAMP"); at != std::string::npos; at = sql.find("CURRENT_TIMESTAMP", at)) {
      sql.replace(at, 17, clock_);
      at += clock_.size();
    }
    return c_->Execute(sql, values, error);
  }
  // The station's row must be there: one removed under the station (or taken
  // by another run of the same name) is written afresh on a new connection.
  static LiveWrite RowTouched(const std::optional<std::int64_t>& changed, std::string* error) {
    if (!changed) return Refusal(*error, error);
    if (*changed == 0) {
      *error = "the station's row in line_stations is gone or another run's";
      return LiveWrite::Failed;
    }
    return LiveWrite::Done;
  }

  std::unique_ptr<OdbcConnection> c_;
  std::string station_;
  std::string run_;
  std::string clock_ = "CURRENT_TIMESTAMP";
};

}  // namespace

std::unique_ptr<LiveStateWriter> OpenLiveStateSql(const std::string& connection, std::string* error) {
  auto c = OdbcConnection::Open(connection, kLiveLimits, error);
  if (!c) return nullptr;
  return std::make_unique<LiveStateSql>(std::move(c));
}

}  // namespace zevuvuri::records
