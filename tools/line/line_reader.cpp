#include "tools/line/line_reader.h"

#include <map>

namespace zevuvuri::line {
namespace {

using records::SqlRow;

// The stations' rows, the database's clock in each (so that an empty line
// still has a time). Times are compared with that clock, never this
// machine's.
constexpr const char* kStationsSql =
    "SELECT station, host, station_run, started_utc, beat_utc, ended_utc, slots, type_code, pacing, firmware, "
    "firmware_sha256, approved_sha256, units, ok, failed, failures FROM line_stations ORDER BY station";
constexpr const char* kNowSql = "SELECT CURRENT_TIMESTAMP";
// A station's slots of its current run only: one restarted with fewer ports
// leaves the old rows behind.
constexpr const char* kSlotsSql =
    "SELECT s.station, s.port, s.slot, s.unit, s.serial_number, s.phase, s.state_text, s.percent, s.result, "
    "s.result_text, s.repeat_unit, s.firmware, s.firmware_sha256, s.changed_utc FROM station_slots s "
    "JOIN line_stations l ON l.station = s.station AND l.station_run = s.station_run ORDER BY s.station, s.slot, "
    "s.port";
// A span's units by hour and its failures by reason, in one statement
// (unit_records_started_result covers both halves).
constexpr const char* kShiftSql =
    "SELECT date_trunc('hour', started_utc) AS hour_utc, NULL AS reason, count(*) AS units, "
    "count(*) FILTER (WHERE result = 'Upgrade OK') AS ok FROM unit_records "
    "WHERE started_utc >= CAST(? AS timestamp) AND started_utc < CAST(? AS timestamp) "
    "GROUP BY date_trunc('hour', started_utc) "
    "UNION ALL "
    "SELECT NULL, result, count(*), 0 FROM unit_records "
    "WHERE started_utc >= CAST(? AS timestamp) AND started_utc < CAST(? AS timestamp) AND result <> 'Upgrade OK' "
    "GROUP BY result";
constexpr std::size_t kTopFailures = 10;
// Records stamped ahead of the database's clock (a station's clock that is
// ahead) still count in the current hour, up to this far.
constexpr std::int64_t kAheadMs = 24 * 3'600'000LL;
constexpr const char* kSerialSql =
    "SELECT started_utc, ended_utc, station, port, unit, firmware, firmware_sha256, result, exit_code, duration_s "
    "FROM unit_records WHERE serial_number = ? ORDER BY started_utc, record_id LIMIT 1001";

std::string Text(const SqlRow& row, std::size_t i) { return i < row.size() && row[i] ? *row[i] : std::string(); }
std::optional<std::string> MaybeText(const SqlRow& row, std::size_t i) {
  return i < row.size() ? row[i] : std::nullopt;
}
std::optional<std::int64_t> MaybeNumber(const SqlRow& row, std::size_t i) {
  if (i >= row.size() || !row[i]) return std::nullopt;
  try {
    return std::stoll(*row[i]);
  } catch (const std::exception&) {
    return std::nullopt;
  }
}
std::int64_t Number(const SqlRow& row, std::size_t i) { return MaybeNumber(row, i).value_or(0); }
std::optional<std::int64_t> MaybeTime(const SqlRow& row, std::size_t i) {
  return i < row.size() && row[i] ? ParseDatabaseTime(*row[i]) : std::nullopt;
}
std::int64_t Time(const SqlRow& row, std::size_t i) { return MaybeTime(row, i).value_or(0); }

StationState StationFrom(const SqlRow& r) {
  StationState s;
  s.station = Text(r, 0);
  s.host = Text(r, 1);
  s.station_run = Text(r, 2);
  s.started_ms = Time(r, 3);
  s.beat_ms = Time(r, 4);
  s.ended_ms = MaybeTime(r, 5);
  s.slots = static_cast<int>(Number(r, 6));
  s.type_code = static_cast<int>(Number(r, 7));
  s.pacing = Text(r, 8);
  s.firmware = Text(r, 9);
  s.firmware_sha256 = MaybeText(r, 10);
  s.approved_sha256 = MaybeText(r, 11);
  s.units = Number(r, 12);
  s.ok = Number(r, 13);
  s.failed = Number(r, 14);
  s.failures = ParseFailureTally(Text(r, 15));
  return s;
}

SlotState SlotFrom(const SqlRow& r) {
  SlotState s;
  s.port = Text(r, 1);
  s.slot = static_cast<int>(Number(r, 2));
  s.unit = MaybeNumber(r, 3);
  s.serial = MaybeText(r, 4);
  s.phase = Text(r, 5);
  s.state = Text(r, 6);
  if (const auto p = MaybeNumber(r, 7)) s.percent = static_cast<int>(*p);
  s.result = MaybeText(r, 8);
  s.result_text = MaybeText(r, 9);
  s.repeat = Number(r, 10) == 1;
  s.firmware = MaybeText(r, 11);
  s.firmware_sha256 = MaybeText(r, 12);
  s.changed_ms = Time(r, 13);
  return s;
}

// A span's units by hour and failures by reason.
bool Tally(records::OdbcConnection& db, std::int64_t from_ms, std::int64_t to_ms, ShiftTally* tally,
           std::string* error) {
  const std::string from = SqlUtc(from_ms), to = SqlUtc(to_ms);
  std::vector<SqlRow> rows;
  if (!db.Query(kShiftSql, {from, to, from, to}, &rows, error)) return false;
  *tally = {};
  for (const auto& row : rows) {
    if (const auto hour = MaybeTime(row, 0)) {
      tally->hours.push_back({*hour, Number(row, 2), Number(row, 3)});
    } else {
      tally->failures.push_back({Text(row, 1), Number(row, 2)});
    }
  }
  return true;
}

}  // namespace

LineReader::LineReader(ConnectionPool* pool, int shift_hours) : pool_(pool), shared_(std::make_shared<Shared>()) {
  shared_->shift_hours = shift_hours;
}

bool LineReader::ReadLineOn(records::OdbcConnection& db, Shared& shared, LineState* state, std::string* error) {
  std::vector<SqlRow> now, stations, slots;
  if (!db.Query(kNowSql, {}, &now, error) || !db.Query(kStationsSql, {}, &stations, error) ||
      !db.Query(kSlotsSql, {}, &slots, error)) {
    return false;
  }
  LineState s;
  s.shift_hours = shared.shift_hours;
  s.now_ms = now.empty() ? 0 : Time(now[0], 0);
  const std::int64_t hour = HourStart(s.now_ms);
  const std::int64_t from_ms = s.now_ms - static_cast<std::int64_t>(s.shift_hours) * 3'600'000;

  // The hours before this one: as last counted, unless the hour has turned
  // or the count is old. Two requests at such a moment may both count.
  std::optional<PastHours> past;
  {
    std::lock_guard<std::mutex> lock(shared.mutex);
    if (shared.past && shared.past->to_ms == hour && s.now_ms >= shared.past->read_at_ms &&
        s.now_ms - shared.past->read_at_ms <= kPastHoursMaxAgeMs) {
      past = shared.past;
    }
  }
  if (!past) {
    PastHours counted{from_ms, hour, s.now_ms, {}};
    if (!Tally(db, counted.from_ms, counted.to_ms, &counted.tally, error)) return false;
    std::lock_guard<std::mutex> lock(shared.mutex);
    shared.past = counted;
    past = std::move(counted);
  }
  ShiftTally current;
  if (!Tally(db, hour, s.now_ms + kAheadMs, &current, error)) return false;

  std::map<std::string, std::size_t> index;
  for (const auto& row : stations) {
    index[Text(row, 0)] = s.stations.size();
    s.stations.push_back(StationFrom(row));
  }
  for (const auto& row : slots) {
    const auto found = index.find(Text(row, 0));
    if (found != index.end()) s.stations[found->second].slot_states.push_back(SlotFrom(row));
  }
  JudgeStations(&s.stations, s.now_ms);

  const ShiftTally shift = AddTallies(past->tally, current);
  s.yield_by_hour = FillShiftHours(shift.hours, from_ms, s.now_ms);
  s.top_failures = TopFailures(shift.failures, kTopFailures);
  *state = std::move(s);
  return true;
}

bool LineReader::ReadLine(LineState* state, std::string* error) {
  auto out = std::make_shared<LineState>();
  const bool ok = pool_->Run(
      [out, shared = shared_](records::OdbcConnection& db, std::string* why) {
        return ReadLineOn(db, *shared, out.get(), why);
      },
      error);
  if (ok) *state = std::move(*out);
  return ok;
}

bool LineReader::ReadSerial(const std::string& serial, std::vector<Attempt>* attempts, std::string* error) {
  auto out = std::make_shared<std::vector<Attempt>>();
  const bool ok = pool_->Run(
      [out, serial](records::OdbcConnection& db, std::string* why) {
        std::vector<SqlRow> rows;
        if (!db.Query(kSerialSql, {serial}, &rows, why)) return false;
        for (const auto& r : rows) {
          if (out->size() == kMaxAttempts) break;
          Attempt a;
          a.started_ms = Time(r, 0);
          a.ended_ms = Time(r, 1);
          a.station = Text(r, 2);
          a.port = Text(r, 3);
          a.unit = MaybeNumber(r, 4);
          a.firmware = Text(r, 5);
          a.firmware_sha256 = MaybeText(r, 6);
          a.result = Text(r, 7);
          a.exit_code = Number(r, 8);
          try {
            a.duration_s = std::stod(Text(r, 9));
          } catch (const std::exception&) {
            a.duration_s = 0;
          }
          out->push_back(std::move(a));
        }
        return true;
      },
      error);
  if (ok) *attempts = std::move(*out);
  return ok;
}

}  // namespace zevuvuri::line
