#include "records/odbc_store.h"

#include <odbc_api.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <optional>
#include <set>
#include <system_error>
#include <thread>
#include <vector>

#include "engine/text_encoding.h"
#include "records/connection_text.h"
#include "records/odbc_connect_lock.h"
#include "records/odbc_diagnostic.h"
#include "records/sql_state.h"

namespace zevuvuri::records {
namespace {

// Rows per INSERT, 24 parameters each: SQL Server takes at most 2100
// parameters in one statement, and libpq (under the PostgreSQL driver) loses
// step with a server whose description of the parameters passes 30000 bytes
// (7500 parameters). The server's own work per row outweighs the round trips
// well before these sizes.
constexpr std::size_t kRowsPerStatement = 80;
constexpr std::size_t kColumns = 24;
// record_ids asked for in one SELECT, within the same limit.
constexpr std::size_t kIdsPerQuery = 1000;
// The watchdog cancels a call still running this long past the statement
// limit: the driver's own limit, when it keeps one, acts first.
constexpr auto kCancelGrace = std::chrono::seconds{2};
// A call that even the cancel has not ended this long after is given up.
constexpr auto kGiveUpGrace = std::chrono::seconds{3};

std::string InsertSql(std::size_t rows) {
  std::string sql =
      "INSERT INTO unit_records (record_id, station, station_run, unit, serial_number, repeat_unit, host, port, "
      "device, type_code, link_mode, pacing, firmware, firmware_size, firmware_sha256, approved_sha256, result, "
      "exit_code, data_frames_sent, started_utc, ended_utc, duration_s, loader_version, record) VALUES ";
  std::string one = "(?";
  for (std::size_t c = 1; c < kColumns; ++c) one += ", ?";
  one += ")";
  for (std::size_t r = 0; r < rows; ++r) sql += (r == 0 ? "" : ", ") + one;
  return sql;
}

std::string PresentSql(std::size_t ids) {
  std::string sql = "SELECT record_id FROM unit_records WHERE record_id IN (?";
  for (std::size_t i = 1; i < ids; ++i) sql += ", ?";
  return sql + ")";
}

// SQLWCHAR is UTF-16 on every platform: unixODBC's unsigned short, Windows' wchar_t.
std::u16string Utf16(const std::string& utf8) { return Utf8ToUtf16(utf8); }

std::string Utf8(const SQLWCHAR* text, std::size_t length) {
  return Utf16ToUtf8(std::u16string_view(reinterpret_cast<const char16_t*>(text), length));
}

SQLWCHAR* Wide(std::u16string& text) { return reinterpret_cast<SQLWCHAR*>(text.data()); }

// A reason short enough for a status line: a refused row's message may
// quote the whole row. Cut at a character's start, never inside one.
std::string Shortened(std::string text) {
  constexpr std::size_t kLongest = 400;
  if (text.size() <= kLongest) return text;
  std::size_t cut = kLongest;
  while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
  text.resize(cut);
  return text + "...";
}

// The store's reason: one line, short enough for a status line.
OdbcDiagnostic StoreDiagnose(SQLSMALLINT type, SQLHANDLE handle) {
  OdbcDiagnostic d = records::Diagnose(type, handle);
  d.text = Shortened(std::move(d.text));
  return d;
}

// "2026-12-08T05:01:02.345Z", and that plus `seconds`, as ODBC timestamps.
bool ParseUtc(const std::string& text, double seconds, SQL_TIMESTAMP_STRUCT* start, SQL_TIMESTAMP_STRUCT* end) {
  int y = 0, mo = 0, d = 0, h = 0, mi = 0, s = 0, ms = 0;
  if (std::sscanf(text.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d.%3dZ", &y, &mo, &d, &h, &mi, &s, &ms) != 7) return false;
  *start = {static_cast<SQLSMALLINT>(y), static_cast<SQLUSMALLINT>(mo), static_cast<SQLUSMALLINT>(d),
            static_cast<SQLUSMALLINT>(h), static_cast<SQLUSMALLINT>(mi), static_cast<SQLUSMALLINT>(s),
            static_cast<SQLUINTEGER>(ms) * 1000000u};
  // The end by the civil calendar: days from 1970-01-01 and back.
  auto days_from_civil = [](long long yy, unsigned m, unsigned dd) {
    yy -= m <= 2;
    const long long era = (yy >= 0 ? yy : yy - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(yy - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + dd - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<long long>(doe) - 719468;
  };
  long long total_ms = (days_from_civil(y, static_cast<unsigned>(mo), static_cast<unsigned>(d)) * 86400LL +
                        h * 3600LL + mi * 60LL + s) * 1000LL + ms + static_cast<long long>(seconds * 1000.0 + 0.5);
  const long long day = total_ms / 86400000LL;
  long long rest = total_ms % 86400000LL;
  const long long z = day + 719468;
  const long long era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  const unsigned dd = doy - (153 * mp + 2) / 5 + 1;
  const unsigned m = mp < 10 ? mp + 3 : mp - 9;
  const long long yy = static_cast<long long>(yoe) + era * 400 + (m <= 2);
  end->year = static_cast<SQLSMALLINT>(yy);
  end->month = static_cast<SQLUSMALLINT>(m);
  end->day = static_cast<SQLUSMALLINT>(dd);
  end->hour = static_cast<SQLUSMALLINT>(rest / 3600000);
  rest %= 3600000;
  end->minute = static_cast<SQLUSMALLINT>(rest / 60000);
  rest %= 60000;
  end->second = static_cast<SQLUSMALLINT>(rest / 1000);
  end->fraction = static_cast<SQLUINTEGER>(rest % 1000) * 1000000u;
  return true;
}

// One statement's parameters, kept alive until it has run.
class Parameters {
 public:
  // Room for `count` parameters is taken up front: the driver keeps the
  // addresses that are bound, so the vectors must never move their elements.
  Parameters(SQLHSTMT statement, std::size_t count) : statement_(statement) {
    texts_.reserve(count);
    numbers_.reserve(count);
    reals_.reserve(count);
    times_.reserve(count);
    lengths_.reserve(count);
  }

  bool Text(const std::optional<std::string>& value) {
    texts_.push_back(value ? Utf16(*value) : std::u16string());
    lengths_.push_back(value ? static_cast<SQLLEN>(texts_.back().size() * sizeof(SQLWCHAR)) : SQL_NULL_DATA);
    const SQLULEN column = std::max<SQLULEN>(texts_.back().size(), 1);
    return Bind(SQL_C_WCHAR, column > 4000 ? SQL_WLONGVARCHAR : SQL_WVARCHAR, column, 0, Wide(texts_.back()),
                static_cast<SQLLEN>(texts_.back().size() * sizeof(SQLWCHAR)));
  }
  bool Number(const std::optional<std::int64_t>& value) {
    numbers_.push_back(value.value_or(0));
    lengths_.push_back(value ? 0 : SQL_NULL_DATA);
    return Bind(SQL_C_SBIGINT, SQL_BIGINT, 0, 0, &numbers_.back(), 0);
  }
  bool Real(double value) {
    reals_.push_back(value);
    lengths_.push_back(0);
    return Bind(SQL_C_DOUBLE, SQL_DOUBLE, 0, 0, &reals_.back(), 0);
  }
  bool Time(const SQL_TIMESTAMP_STRUCT& value) {
    times_.push_back(value);
    lengths_.push_back(0);
    return Bind(SQL_C_TYPE_TIMESTAMP, SQL_TYPE_TIMESTAMP, 23, 3, &times_.back(), 0);
  }

 private:
  bool Bind(SQLSMALLINT c_type, SQLSMALLINT sql_type, SQLULEN column, SQLSMALLINT digits, SQLPOINTER value,
            SQLLEN buffer) {
    const auto number = static_cast<SQLUSMALLINT>(lengths_.size());
    return SQL_SUCCEEDED(::SQLBindParameter(statement_, number, SQL_PARAM_INPUT, c_type, sql_type, column, digits,
                                            value, buffer, &lengths_.back()));
  }

  SQLHSTMT statement_;
  std::vector<std::u16string> texts_;
  std::vector<std::int64_t> numbers_;
  std::vector<double> reals_;
  std::vector<SQL_TIMESTAMP_STRUCT> times_;
  std::vector<SQLLEN> lengths_;
};

// Cancels the call in progress once it runs past its time: one thread per
// connection, asleep while no call runs.
class Watchdog {
 public:
  // The thread starts in the body, once every member it reads exists.
  explicit Watchdog(std::function<void()> cancel) : cancel_(std::move(cancel)) {
    thread_ = std::thread([this] { Run(); });
  }
  ~Watchdog() { Stop(); }
  Watchdog(const Watchdog&) = delete;
  Watchdog& operator=(const Watchdog&) = delete;

  // Ends the thread and joins it: no cancel comes after this returns.
  // Idempotent.
  void Stop() {
    if (!thread_.joinable()) return;
    {
      std::lock_guard lock(mutex_);
      quit_ = true;
    }
    changed_.notify_all();
    thread_.join();
  }

  // A call begins that may take up to `limit`.
  void Arm(std::chrono::steady_clock::duration limit) {
    {
      std::lock_guard lock(mutex_);
      deadline_ = std::chrono::steady_clock::now() + limit;
      fired_ = false;
    }
    changed_.notify_all();
  }
  // The call has ended: true when the watchdog cancelled it. A cancel still
  // being sent is waited for, so that it never hits the next call.
  bool Disarm() {
    std::unique_lock lock(mutex_);
    deadline_.reset();
    changed_.wait(lock, [&] { return !cancelling_; });
    return fired_;
  }

 private:
  void Run() {
    std::unique_lock lock(mutex_);
    while (!quit_) {
      if (!deadline_) {
        changed_.wait(lock);
      } else if (std::chrono::steady_clock::now() < *deadline_) {
        changed_.wait_until(lock, *deadline_);
      } else {
        deadline_.reset();
        fired_ = true;
        cancelling_ = true;
        lock.unlock();
        cancel_();
        lock.lock();
        cancelling_ = false;
        changed_.notify_all();
      }
    }
  }

  const std::function<void()> cancel_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::optional<std::chrono::steady_clock::time_point> deadline_;
  bool fired_ = false;
  bool cancelling_ = false;
  bool quit_ = false;
  std::thread thread_;
};

struct Handles {
  SQLHENV env = SQL_NULL_HENV;
  SQLHDBC dbc = SQL_NULL_HDBC;
  SQLHSTMT full = SQL_NULL_HSTMT;     // INSERT of kRowsPerStatement rows, prepared once
  SQLHSTMT part = SQL_NULL_HSTMT;     // INSERT of fewer rows, prepared for `part_rows`
  SQLHSTMT present = SQL_NULL_HSTMT;  // which record_ids the table has
  std::size_t part_rows = 0;
  bool connected = false;

  Handles() = default;
  Handles(const Handles&) = delete;
  Handles& operator=(const Handles&) = delete;
  ~Handles() {
    for (const SQLHSTMT s : {full, part, present}) {
      if (s != SQL_NULL_HSTMT) ::SQLFreeHandle(SQL_HANDLE_STMT, s);
    }
    if (connected) {
      // A transaction left open would make the driver manager refuse the
      // disconnect: its records are not committed, so they are sent again.
      ::SQLEndTran(SQL_HANDLE_DBC, dbc, SQL_ROLLBACK);
      if (!SQL_SUCCEEDED(::SQLDisconnect(dbc))) {
        ::SQLSetConnectAttrW(dbc, SQL_ATTR_AUTOCOMMIT,
                             reinterpret_cast<SQLPOINTER>(static_cast<SQLULEN>(SQL_AUTOCOMMIT_ON)), 0);
        ::SQLDisconnect(dbc);
      }
    }
    if (dbc != SQL_NULL_HDBC) ::SQLFreeHandle(SQL_HANDLE_DBC, dbc);
    if (env != SQL_NULL_HENV) ::SQLFreeHandle(SQL_HANDLE_ENV, env);
  }
};

// A row ready to bind: its times as the table types them.
struct Prepared {
  const RecordRow* row = nullptr;
  SQL_TIMESTAMP_STRUCT started{};
  SQL_TIMESTAMP_STRUCT ended{};
};

// The connection and what runs on it: a Store call's work, on a worker
// thread of its own (OdbcStore below), and the watchdog that cancels a call
// that runs too long. Shared by the store and its worker, so that a worker
// given up while the driver holds it keeps the handles until it returns.
class Connection {
 public:
  Connection(std::unique_ptr<Handles> handles, const StoreTimeLimits& limits)
      : h_(std::move(handles)), limits_(limits), current_(h_->full), watchdog_([this] { Cancel(); }) {}
  // The watchdog cancels through the handles: its thread is joined before
  // they are freed.
  ~Connection() { watchdog_.Stop(); }
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  // Takes `rows` in: RecordStore::Store's contract, on the worker thread.
  bool Run(const std::vector<RecordRow>& rows, std::vector<RowResult>* results, std::string* error) {
    results->assign(rows.size(), RowResult{});
    prepared_.assign(rows.size(), Prepared{});
    std::vector<std::size_t> picked;
    for (std::size_t i = 0; i < rows.size(); ++i) {
      prepared_[i].row = &rows[i];
      if (!ParseUtc(rows[i].started_utc, rows[i].duration_s, &prepared_[i].started, &prepared_[i].ended)) {
        (*results)[i] = {RowOutcome::Refused, "its start time " + rows[i].started_utc + " cannot be read"};
        continue;
      }
      picked.push_back(i);
    }
    const bool ok = Take(std::move(picked), results, error);
    prepared_.clear();
    return ok;
  }

  // Any thread.
  void Cancel() { ::SQLCancel(current_.load()); }

  // When the ODBC call running now (if any) is to be given up: its limit,
  // the watchdog's cancel and a while for the cancel to work.
  std::optional<std::chrono::steady_clock::time_point> GiveUpAt() const {
    const auto began = call_began_.load();
    if (began == 0) return std::nullopt;
    return std::chrono::steady_clock::time_point(std::chrono::steady_clock::duration(began)) +
           limits_.statement + kCancelGrace + kGiveUpGrace;
  }
  const StoreTimeLimits& Limits() const { return limits_; }

  // A Store call's end, between its worker and its caller.
  std::mutex job_mutex;
  std::condition_variable job_done;

 private:
  // The outcome of one attempt at a set of rows.
  struct Attempt {
    bool stored = false;
    SqlFault fault = SqlFault::Trouble;
    std::string reason;
  };

  // Takes the rows `picked` (indexes into prepared_): all in one
  // transaction; when the database refuses it, the rows it already has are
  // set apart as AlreadyThere and the rest sent again, and a row refused for
  // itself is found by halving. False when the connection failed.
  bool Take(std::vector<std::size_t> picked, std::vector<RowResult>* results, std::string* error) {
    while (!picked.empty()) {
      const Attempt a = InsertAll(picked);
      if (a.stored) {
        for (const std::size_t i : picked) (*results)[i] = {RowOutcome::Stored, ""};
        return true;
      }
      // PostgreSQL takes nothing more in a transaction after an error.
      if (!End(SQL_ROLLBACK, error)) return false;
      if (a.fault == SqlFault::Trouble) {
        *error = a.reason;
        return false;
      }
      if (a.fault == SqlFault::DuplicateKey) {
        std::set<std::string> present;
        if (!Present(picked, &present, error)) return false;
        const auto there = std::stable_partition(picked.begin(), picked.end(), [&](std::size_t i) {
          return present.count(prepared_[i].row->record_id) == 0;
        });
        if (there != picked.end()) {
          for (auto it = there; it != picked.end(); ++it) (*results)[*it] = {RowOutcome::AlreadyThere, ""};
          picked.erase(there, picked.end());
          continue;
        }
        // None of them is in the table: another unique index, or one
        // record_id twice among the rows. Found like any refusal.
      }
      if (picked.size() == 1) {
        (*results)[picked.front()] = {RowOutcome::Refused, a.reason};
        return true;
      }
      const auto middle = picked.begin() + static_cast<std::ptrdiff_t>(picked.size() / 2);
      return Take(std::vector<std::size_t>(picked.begin(), middle), results, error) &&
             Take(std::vector<std::size_t>(middle, picked.end()), results, error);
    }
    return true;
  }

  // Inserts the rows and commits.
  Attempt InsertAll(const std::vector<std::size_t>& picked) {
    for (std::size_t first = 0; first < picked.size(); first += kRowsPerStatement) {
      const std::size_t count = std::min(kRowsPerStatement, picked.size() - first);
      SQLHSTMT statement = h_->full;
      if (count != kRowsPerStatement) {
        statement = h_->part;
        if (h_->part_rows != count) {
          h_->part_rows = 0;
          std::u16string sql = Utf16(InsertSql(count));
          if (!SQL_SUCCEEDED(::SQLPrepareW(statement, Wide(sql), static_cast<SQLINTEGER>(sql.size())))) {
            return Failed(StoreDiagnose(SQL_HANDLE_STMT, statement));
          }
          h_->part_rows = count;
        }
      }
      ::SQLFreeStmt(statement, SQL_RESET_PARAMS);
      Parameters p(statement, count * kColumns);
      for (std::size_t k = first; k < first + count; ++k) {
        const Prepared& r = prepared_[picked[k]];
        if (!Bind(p, r)) return Failed(StoreDiagnose(SQL_HANDLE_STMT, statement));
      }
      if (auto d = Guarded(SQL_HANDLE_STMT, statement, statement, [&] { return ::SQLExecute(statement); })) {
        return Failed(*d);
      }
    }
    if (auto d = Guarded(SQL_HANDLE_DBC, h_->dbc, h_->full,
                         [&] { return ::SQLEndTran(SQL_HANDLE_DBC, h_->dbc, SQL_COMMIT); })) {
      return Failed(*d);
    }
    return Attempt{true, SqlFault::Trouble, ""};
  }

  static Attempt Failed(const OdbcDiagnostic& d) {
    return Attempt{false, ClassifySqlState(d.sqlstate, d.native), d.text};
  }

  static bool Bind(Parameters& p, const Prepared& r) {
    const RecordRow& row = *r.row;
    const std::optional<std::int64_t> repeat =
        row.repeat ? std::optional<std::int64_t>(*row.repeat ? 1 : 0) : std::nullopt;
    return p.Text(row.record_id) && p.Text(row.station) && p.Text(row.station_run) && p.Number(row.unit) &&
           p.Text(row.serial_number) && p.Number(repeat) && p.Text(row.host) && p.Text(row.port) &&
           p.Text(row.device) && p.Number(row.type_code) && p.Text(row.link_mode) && p.Text(row.pacing) &&
           p.Text(row.firmware) && p.Number(row.firmware_size) && p.Text(row.firmware_sha256) &&
           p.Text(row.approved_sha256) && p.Text(row.result) && p.Number(row.exit_code) &&
           p.Number(row.data_frames_sent) && p.Time(r.started) && p.Time(r.ended) && p.Real(row.duration_s) &&
           p.Text(row.loader_version) && p.Text(row.line);
  }

  // The record_ids among `picked` that the table has.
  bool Present(const std::vector<std::size_t>& picked, std::set<std::string>* present, std::string* error) {
    const SQLHSTMT statement = h_->present;
    for (std::size_t first = 0; first < picked.size(); first += kIdsPerQuery) {
      const std::size_t count = std::min(kIdsPerQuery, picked.size() - first);
      ::SQLFreeStmt(statement, SQL_RESET_PARAMS);
      Parameters p(statement, count);
      for (std::size_t k = first; k < first + count; ++k) {
        if (!p.Text(prepared_[picked[k]].row->record_id)) {
          *error = StoreDiagnose(SQL_HANDLE_STMT, statement).text;
          return false;
        }
      }
      std::u16string sql = Utf16(PresentSql(count));
      if (auto d = Guarded(SQL_HANDLE_STMT, statement, statement, [&] {
            return ::SQLExecDirectW(statement, Wide(sql), static_cast<SQLINTEGER>(sql.size()));
          })) {
        *error = d->text;
        return false;
      }
      SQLWCHAR id[80] = {};
      SQLLEN length = 0;
      ::SQLBindCol(statement, 1, SQL_C_WCHAR, id, sizeof id, &length);
      SQLRETURN rc;
      while (SQL_SUCCEEDED(rc = ::SQLFetch(statement))) {
        if (length == SQL_NULL_DATA) continue;
        const std::size_t units = std::min<std::size_t>(static_cast<std::size_t>(std::max<SQLLEN>(length, 0)) /
                                                            sizeof(SQLWCHAR),
                                                        sizeof id / sizeof id[0] - 1);
        std::string text = Utf8(id, units);
        while (!text.empty() && text.back() == ' ') text.pop_back();  // char(32) pads
        present->insert(text);
      }
      const bool complete = rc == SQL_NO_DATA;
      if (!complete) *error = StoreDiagnose(SQL_HANDLE_STMT, statement).text;
      ::SQLFreeStmt(statement, SQL_UNBIND);
      ::SQLFreeStmt(statement, SQL_CLOSE);
      if (!complete) return false;
    }
    return true;
  }

  bool End(SQLSMALLINT how, std::string* error) {
    if (auto d = Guarded(SQL_HANDLE_DBC, h_->dbc, h_->full, [&] { return ::SQLEndTran(SQL_HANDLE_DBC, h_->dbc, how); })) {
      *error = d->text;
      return false;
    }
    return true;
  }

  // Runs `call` (on `statement`, or on the connection) under the watchdog.
  // Nothing when it succeeded; else the diagnostic of `handle`, which is
  // Trouble whenever the watchdog had to cancel.
  std::optional<OdbcDiagnostic> Guarded(SQLSMALLINT type, SQLHANDLE handle, SQLHSTMT statement,
                                    const std::function<SQLRETURN()>& call) {
    current_.store(statement);
    call_began_.store(std::chrono::steady_clock::now().time_since_epoch().count());
    watchdog_.Arm(limits_.statement + kCancelGrace);
    const SQLRETURN rc = call();
    const bool cancelled = watchdog_.Disarm();
    call_began_.store(0);
    if (SQL_SUCCEEDED(rc) || rc == SQL_NO_DATA) return std::nullopt;
    OdbcDiagnostic d = StoreDiagnose(type, handle);
    if (cancelled) {
      d.text = "no answer within " + std::to_string(limits_.statement.count()) + " s, cancelled: " + d.text;
      d.sqlstate = "HYT00";
    }
    return d;
  }

  const std::unique_ptr<Handles> h_;
  const StoreTimeLimits limits_;
  std::atomic<SQLHSTMT> current_;  // the statement a Cancel stops
  std::atomic<std::chrono::steady_clock::rep> call_began_{0};  // 0: no call runs
  std::vector<Prepared> prepared_;
  Watchdog watchdog_;  // stopped by the destructor, before the handles go
};

// A Store call's rows and outcome, shared with the worker that runs it.
struct Job {
  std::vector<RecordRow> rows;
  std::vector<RowResult> results;
  std::string error;
  bool ok = false;
  bool finished = false;  // under Connection::job_mutex
};

// Each Store call runs on a worker thread while the caller waits, so that
// the caller gets its answer in bounded time even from a server that
// answers neither the statement nor its cancel (a frozen backend): that
// worker is then given up, and the connection with it.
class OdbcStore final : public RecordStore {
 public:
  explicit OdbcStore(std::shared_ptr<Connection> connection) : connection_(std::move(connection)) {}

  bool Store(const std::vector<RecordRow>& rows, std::vector<RowResult>* results, std::string* error) override {
    results->assign(rows.size(), RowResult{});
    if (broken_) {
      *error = "the connection to the database was given up after an earlier failure";
      return false;
    }
    broken_ = true;  // until the call has ended well
    auto job = std::make_shared<Job>();
    job->rows = rows;
    std::thread worker;
    try {
      worker = std::thread([connection = connection_, job] {
        std::vector<RowResult> outcome;
        std::string reason;
        const bool ok = connection->Run(job->rows, &outcome, &reason);
        std::lock_guard lock(connection->job_mutex);
        job->results = std::move(outcome);
        job->error = std::move(reason);
        job->ok = ok;
        job->finished = true;
        connection->job_done.notify_all();
      });
    } catch (const std::system_error& e) {
      *error = std::string("the records' database thread could not start: ") + e.what();
      return false;
    }
    std::unique_lock lock(connection_->job_mutex);
    while (!job->finished) {
      const auto give_up_at = connection_->GiveUpAt();
      if (give_up_at && std::chrono::steady_clock::now() >= *give_up_at) break;
      // Between two calls the worker only binds rows: a look now and then.
      connection_->job_done.wait_until(lock, give_up_at.value_or(std::chrono::steady_clock::now() +
                                                                 connection_->Limits().statement));
    }
    if (!job->finished) {
      lock.unlock();
      worker.detach();
      *error = "the database has not answered for " +
               std::to_string((connection_->Limits().statement + kCancelGrace + kGiveUpGrace).count()) +
               " s, not even a cancel: the connection is given up";
      return false;
    }
    lock.unlock();
    worker.join();
    if (!job->ok) {
      *error = job->error;
      return false;
    }
    *results = std::move(job->results);
    broken_ = false;
    return true;
  }

  void Cancel() override { connection_->Cancel(); }

 private:
  const std::shared_ptr<Connection> connection_;
  bool broken_ = false;
};

bool SetQueryTimeout(SQLHSTMT statement, std::chrono::seconds limit) {
  return SQL_SUCCEEDED(::SQLSetStmtAttrW(statement, SQL_ATTR_QUERY_TIMEOUT,
                                        reinterpret_cast<SQLPOINTER>(static_cast<SQLULEN>(limit.count())), 0));
}

}  // namespace

std::unique_ptr<RecordStore> OpenOdbcStore(const std::string& connection, std::string* error) {
  return OpenOdbcStore(connection, StoreTimeLimits{}, error);
}

std::unique_ptr<RecordStore> OpenOdbcStore(const std::string& connection, const StoreTimeLimits& limits,
                                           std::string* error) {
  auto h = std::make_unique<Handles>();
  std::unique_lock connecting(OdbcConnectLock());
  if (!SQL_SUCCEEDED(::SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &h->env)) ||
      !SQL_SUCCEEDED(::SQLSetEnvAttr(h->env, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0)) ||
      !SQL_SUCCEEDED(::SQLAllocHandle(SQL_HANDLE_DBC, h->env, &h->dbc))) {
    *error = "the ODBC driver manager could not be set up";
    return nullptr;
  }
  ::SQLSetConnectAttrW(h->dbc, SQL_ATTR_LOGIN_TIMEOUT,
                       reinterpret_cast<SQLPOINTER>(static_cast<SQLULEN>(limits.login.count())), 0);
  std::u16string text = Utf16(connection);
  SQLSMALLINT out_length = 0;
  const SQLRETURN rc = ::SQLDriverConnectW(h->dbc, nullptr, Wide(text), static_cast<SQLSMALLINT>(text.size()),
                                           nullptr, 0, &out_length, SQL_DRIVER_NOPROMPT);
  if (!SQL_SUCCEEDED(rc)) {
    *error = StoreDiagnose(SQL_HANDLE_DBC, h->dbc).text;
    return nullptr;
  }
  h->connected = true;
  connecting.unlock();
  // The store's transactions: a Store call's rows, one commit.
  if (!SQL_SUCCEEDED(::SQLSetConnectAttrW(h->dbc, SQL_ATTR_AUTOCOMMIT,
                                          reinterpret_cast<SQLPOINTER>(static_cast<SQLULEN>(SQL_AUTOCOMMIT_OFF)), 0))) {
    *error = StoreDiagnose(SQL_HANDLE_DBC, h->dbc).text;
    return nullptr;
  }
  for (SQLHSTMT* s : {&h->full, &h->part, &h->present}) {
    if (!SQL_SUCCEEDED(::SQLAllocHandle(SQL_HANDLE_STMT, h->dbc, s))) {
      *error = StoreDiagnose(SQL_HANDLE_DBC, h->dbc).text;
      return nullptr;
    }
    if (!SetQueryTimeout(*s, limits.statement)) {
      *error = StoreDiagnose(SQL_HANDLE_STMT, *s).text;
      return nullptr;
    }
  }
  std::u16string insert = Utf16(InsertSql(kRowsPerStatement));
  if (!SQL_SUCCEEDED(::SQLPrepareW(h->full, Wide(insert), static_cast<SQLINTEGER>(insert.size())))) {
    *error = StoreDiagnose(SQL_HANDLE_STMT, h->full).text;
    return nullptr;
  }
  try {
    return std::make_unique<OdbcStore>(std::make_shared<Connection>(std::move(h), limits));
  } catch (const std::system_error& e) {
    *error = std::string("the database's watchdog thread could not start: ") + e.what();
    return nullptr;
  }
}

}  // namespace zevuvuri::records
