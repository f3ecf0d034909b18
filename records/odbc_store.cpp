#include "records/odbc_store.h"

#include <odbc_api.h>

#include <cstdio>
#include <cstdlib>
#include <vector>

#include "records/connection_text.h"

namespace zevuvuri::records {
namespace {

// The server's limit for a connection that does not come, in seconds. A
// server that never answers is abandoned by the forwarder's Stop anyway.
constexpr SQLULEN kLoginTimeoutSeconds = 5;

constexpr const char* kInsert =
    "INSERT INTO unit_records (record_id, station, station_run, unit, serial_number, repeat_unit, host, port, device, "
    "type_code, link_mode, pacing, firmware, firmware_size, firmware_sha256, approved_sha256, result, exit_code, "
    "data_frames_sent, started_utc, ended_utc, duration_s, loader_version, record) "
    "VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)";

std::u16string Utf16(const std::string& utf8) {
  std::u16string out;
  for (std::size_t i = 0; i < utf8.size();) {
    const auto c = static_cast<unsigned char>(utf8[i]);
    char32_t cp = 0xFFFD;
    std::size_t length = 1;
    if (c < 0x80) {
      cp = c;
    } else if ((c >> 5) == 0x6 || (c >> 4) == 0xE || (c >> 3) == 0x1E) {
      length = (c >> 5) == 0x6 ? 2 : (c >> 4) == 0xE ? 3 : 4;
      cp = c & (0x3F >> (length - 1));
      bool valid = i + length <= utf8.size();
      for (std::size_t k = 1; valid && k < length; ++k) {
        const auto d = static_cast<unsigned char>(utf8[i + k]);
        valid = (d >> 6) == 0x2;
        cp = (cp << 6) | (d & 0x3F);
      }
      if (!valid || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
        cp = 0xFFFD;
        length = 1;
      }
    }
    if (cp >= 0x10000) {
      out += static_cast<char16_t>(0xD800 + ((cp - 0x10000) >> 10));
      out += static_cast<char16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF));
    } else {
      out += static_cast<char16_t>(cp);
    }
    i += length;
  }
  return out;
}

std::string Utf8(const SQLWCHAR* text, std::size_t length) {
  std::string out;
  for (std::size_t i = 0; i < length; ++i) {
    char32_t cp = text[i];
    if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < length && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (text[++i] - 0xDC00);
    } else if (cp >= 0xD800 && cp <= 0xDFFF) {
      cp = 0xFFFD;
    }
    if (cp < 0x80) {
      out += static_cast<char>(cp);
    } else if (cp < 0x800) {
      out += static_cast<char>(0xC0 | (cp >> 6));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
      out += static_cast<char>(0xE0 | (cp >> 12));
      out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (cp >> 18));
      out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    }
  }
  return out;
}

SQLWCHAR* Wide(std::u16string& text) { return reinterpret_cast<SQLWCHAR*>(text.data()); }

struct Diagnostic {
  std::string sqlstate;
  SQLINTEGER native = 0;
  std::string text;  // "SQLSTATE: message", passwords masked
};

// The handle's first diagnostic record.
Diagnostic Diagnose(SQLSMALLINT type, SQLHANDLE handle) {
  SQLWCHAR state[6] = {};
  SQLWCHAR message[1024] = {};
  SQLINTEGER native = 0;
  SQLSMALLINT length = 0;
  Diagnostic d;
  const SQLRETURN rc = ::SQLGetDiagRecW(type, handle, 1, state, &native, message,
                                        static_cast<SQLSMALLINT>(sizeof message / sizeof message[0]), &length);
  if (!SQL_SUCCEEDED(rc)) {
    d.text = "the ODBC driver gave no reason";
    return d;
  }
  const std::size_t shown = std::min<std::size_t>(static_cast<std::size_t>(std::max<SQLSMALLINT>(length, 0)),
                                                  sizeof message / sizeof message[0] - 1);
  d.sqlstate = Utf8(state, 5);
  d.native = native;
  std::string text = Utf8(message, shown);
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) text.pop_back();
  d.text = MaskPasswords(d.sqlstate + ": " + text);
  return d;
}

// A unique-key violation: 23505 is the standard's own code (PostgreSQL and
// others); SQL Server and MySQL say 23000 for every integrity violation and
// tell a duplicate key by their native error.
bool IsDuplicateKey(const Diagnostic& d) {
  if (d.sqlstate == "23505") return true;
  return d.sqlstate == "23000" && (d.native == 2627 || d.native == 2601 || d.native == 1062);
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

}  // namespace

struct OdbcStore::Handles {
  SQLHENV env = SQL_NULL_HENV;
  SQLHDBC dbc = SQL_NULL_HDBC;
  SQLHSTMT statement = SQL_NULL_HSTMT;
  bool connected = false;
  ~Handles() {
    if (statement != SQL_NULL_HSTMT) ::SQLFreeHandle(SQL_HANDLE_STMT, statement);
    if (connected) {
      // A transaction left open would make the driver manager refuse the
      // disconnect: its records are not committed, so they are sent again.
      ::SQLEndTran(SQL_HANDLE_DBC, dbc, SQL_ROLLBACK);
      if (!SQL_SUCCEEDED(::SQLDisconnect(dbc))) {
        ::SQLSetConnectAttrW(dbc, SQL_ATTR_AUTOCOMMIT, reinterpret_cast<SQLPOINTER>(static_cast<SQLULEN>(SQL_AUTOCOMMIT_ON)), 0);
        ::SQLDisconnect(dbc);
      }
    }
    if (dbc != SQL_NULL_HDBC) ::SQLFreeHandle(SQL_HANDLE_DBC, dbc);
    if (env != SQL_NULL_HENV) ::SQLFreeHandle(SQL_HANDLE_ENV, env);
  }
};

OdbcStore::OdbcStore(std::unique_ptr<Handles> handles) : handles_(std::move(handles)) {}
OdbcStore::~OdbcStore() = default;

std::unique_ptr<OdbcStore> OdbcStore::Connect(const std::string& connection, std::string* error) {
  auto h = std::make_unique<Handles>();
  if (!SQL_SUCCEEDED(::SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &h->env)) ||
      !SQL_SUCCEEDED(::SQLSetEnvAttr(h->env, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0)) ||
      !SQL_SUCCEEDED(::SQLAllocHandle(SQL_HANDLE_DBC, h->env, &h->dbc))) {
    *error = "the ODBC driver manager could not be set up";
    return nullptr;
  }
  ::SQLSetConnectAttrW(h->dbc, SQL_ATTR_LOGIN_TIMEOUT, reinterpret_cast<SQLPOINTER>(kLoginTimeoutSeconds), 0);
  std::u16string text = Utf16(connection);
  SQLSMALLINT out_length = 0;
  const SQLRETURN rc = ::SQLDriverConnectW(h->dbc, nullptr, Wide(text), static_cast<SQLSMALLINT>(text.size()),
                                           nullptr, 0, &out_length, SQL_DRIVER_NOPROMPT);
  if (!SQL_SUCCEEDED(rc)) {
    *error = Diagnose(SQL_HANDLE_DBC, h->dbc).text;
    return nullptr;
  }
  h->connected = true;
  // Transactions are the forwarder's: several records, one commit.
  if (!SQL_SUCCEEDED(::SQLSetConnectAttrW(h->dbc, SQL_ATTR_AUTOCOMMIT,
                                          reinterpret_cast<SQLPOINTER>(static_cast<SQLULEN>(SQL_AUTOCOMMIT_OFF)), 0))) {
    *error = Diagnose(SQL_HANDLE_DBC, h->dbc).text;
    return nullptr;
  }
  std::u16string insert = Utf16(kInsert);
  if (!SQL_SUCCEEDED(::SQLAllocHandle(SQL_HANDLE_STMT, h->dbc, &h->statement)) ||
      !SQL_SUCCEEDED(::SQLPrepareW(h->statement, Wide(insert), static_cast<SQLINTEGER>(insert.size())))) {
    *error = h->statement == SQL_NULL_HSTMT ? Diagnose(SQL_HANDLE_DBC, h->dbc).text
                                            : Diagnose(SQL_HANDLE_STMT, h->statement).text;
    return nullptr;
  }
  return std::unique_ptr<OdbcStore>(new OdbcStore(std::move(h)));
}

StoreResult OdbcStore::Insert(const RecordRow& row, std::string* error) {
  SQL_TIMESTAMP_STRUCT started{}, ended{};
  if (!ParseUtc(row.started_utc, row.duration_s, &started, &ended)) {
    *error = "record " + row.record_id + ": start time " + row.started_utc + " cannot be read";
    return StoreResult::Failed;
  }
  const SQLHSTMT statement = handles_->statement;
  ::SQLFreeStmt(statement, SQL_RESET_PARAMS);
  Parameters p(statement, 24);
  const std::optional<std::int64_t> repeat =
      row.repeat ? std::optional<std::int64_t>(*row.repeat ? 1 : 0) : std::nullopt;
  const bool bound = p.Text(row.record_id) && p.Text(row.station) && p.Text(row.station_run) && p.Number(row.unit) &&
                     p.Text(row.serial_number) && p.Number(repeat) && p.Text(row.host) && p.Text(row.port) &&
                     p.Text(row.device) && p.Number(row.type_code) && p.Text(row.link_mode) && p.Text(row.pacing) &&
                     p.Text(row.firmware) && p.Number(row.firmware_size) && p.Text(row.firmware_sha256) &&
                     p.Text(row.approved_sha256) && p.Text(row.result) && p.Number(row.exit_code) &&
                     p.Number(row.data_frames_sent) && p.Time(started) && p.Time(ended) && p.Real(row.duration_s) &&
                     p.Text(row.loader_version) && p.Text(row.line);
  if (!bound) {
    *error = Diagnose(SQL_HANDLE_STMT, statement).text;
    return StoreResult::Failed;
  }
  const SQLRETURN rc = ::SQLExecute(statement);
  if (SQL_SUCCEEDED(rc) || rc == SQL_NO_DATA) return StoreResult::Stored;
  const Diagnostic d = Diagnose(SQL_HANDLE_STMT, statement);
  if (IsDuplicateKey(d)) return StoreResult::AlreadyThere;
  *error = d.text;
  return StoreResult::Failed;
}

bool OdbcStore::Commit(std::string* error) {
  if (SQL_SUCCEEDED(::SQLEndTran(SQL_HANDLE_DBC, handles_->dbc, SQL_COMMIT))) return true;
  *error = Diagnose(SQL_HANDLE_DBC, handles_->dbc).text;
  return false;
}

void OdbcStore::Rollback() { ::SQLEndTran(SQL_HANDLE_DBC, handles_->dbc, SQL_ROLLBACK); }

void OdbcStore::Cancel() { ::SQLCancel(handles_->statement); }

namespace {

// A batch in one transaction; when a row of it fails, row by row, each in
// its own transaction. A row's own fault (SQLSTATE classes 22 data, 23
// integrity, 27 triggered change, P0 a trigger's raise) is a refusal; any
// other failure ends the batch.
class OdbcRecordStore final : public RecordStore {
 public:
  explicit OdbcRecordStore(std::unique_ptr<OdbcStore> store) : store_(std::move(store)) {}

  bool Store(const std::vector<RecordRow>& rows, std::vector<RowResult>* results, std::string* error) override {
    results->assign(rows.size(), RowResult{});
    StoreResult result = StoreResult::Stored;
    for (std::size_t i = 0; i < rows.size() && result == StoreResult::Stored; ++i) {
      result = store_->Insert(rows[i], error);
    }
    if (result == StoreResult::Stored && store_->Commit(error)) return true;
    store_->Rollback();
    for (std::size_t i = 0; i < rows.size(); ++i) {
      std::string why;
      result = store_->Insert(rows[i], &why);
      if (result == StoreResult::Stored && store_->Commit(&why)) continue;
      store_->Rollback();
      if (result == StoreResult::AlreadyThere) {
        (*results)[i].outcome = RowOutcome::AlreadyThere;
      } else if (why.rfind("22", 0) == 0 || why.rfind("23", 0) == 0 || why.rfind("27", 0) == 0 ||
                 why.rfind("P0", 0) == 0) {
        (*results)[i] = {RowOutcome::Refused, why};
      } else {
        *error = why;
        return false;
      }
    }
    return true;
  }

  void Cancel() override { store_->Cancel(); }

 private:
  const std::unique_ptr<OdbcStore> store_;
};

}  // namespace

std::unique_ptr<RecordStore> OpenOdbcStore(const std::string& connection, std::string* error) {
  auto store = OdbcStore::Connect(connection, error);
  if (!store) return nullptr;
  return std::make_unique<OdbcRecordStore>(std::move(store));
}

}  // namespace zevuvuri::records
