#include "records/odbc_connection.h"

#include <odbc_api.h>

#include <mutex>
#include <type_traits>

#include "engine/text_encoding.h"
#include "records/odbc_connect_lock.h"
#include "records/odbc_diagnostic.h"

namespace zevuvuri::records {

namespace {

SQLWCHAR* Wide(std::u16string& text) { return reinterpret_cast<SQLWCHAR*>(text.data()); }

std::string Utf8(const SQLWCHAR* text, std::size_t length) {
  return Utf16ToUtf8(std::u16string_view(reinterpret_cast<const char16_t*>(text), length));
}

SQLPOINTER Number(SQLULEN value) { return reinterpret_cast<SQLPOINTER>(value); }

// A statement handle freed on every path.
class Statement {
 public:
  Statement() = default;
  ~Statement() {
    if (handle_ != SQL_NULL_HSTMT) ::SQLFreeHandle(SQL_HANDLE_STMT, handle_);
  }
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;
  SQLHSTMT* Out() { return &handle_; }
  SQLHSTMT get() const { return handle_; }

 private:
  SQLHSTMT handle_ = SQL_NULL_HSTMT;
};

// The parameters of one statement, alive until it has run: the driver keeps
// the addresses bound, so nothing here moves once bound (room is reserved
// up front).
class Bound {
 public:
  explicit Bound(std::size_t count) {
    texts_.reserve(count);
    numbers_.reserve(count);
    reals_.reserve(count);
    lengths_.reserve(count);
  }

  bool Bind(SQLHSTMT statement, const SqlValue& value) {
    const auto number = static_cast<SQLUSMALLINT>(lengths_.size() + 1);
    if (std::holds_alternative<std::string>(value)) {
      texts_.push_back(Utf8ToUtf16(std::get<std::string>(value)));
      std::u16string& text = texts_.back();
      lengths_.push_back(static_cast<SQLLEN>(text.size() * sizeof(SQLWCHAR)));
      const SQLULEN column = std::max<SQLULEN>(text.size(), 1);
      return SQL_SUCCEEDED(::SQLBindParameter(statement, number, SQL_PARAM_INPUT, SQL_C_WCHAR,
                                              column > 4000 ? SQL_WLONGVARCHAR : SQL_WVARCHAR, column, 0,
                                              Wide(text), lengths_.back(), &lengths_.back()));
    }
    if (std::holds_alternative<double>(value)) {
      reals_.push_back(std::get<double>(value));
      lengths_.push_back(0);
      return SQL_SUCCEEDED(::SQLBindParameter(statement, number, SQL_PARAM_INPUT, SQL_C_DOUBLE, SQL_DOUBLE, 0, 0,
                                              &reals_.back(), 0, &lengths_.back()));
    }
    // A whole number, or NULL: bound as one, typed as a number, so that a
    // NULL goes into a column of any type.
    const bool null = std::holds_alternative<std::monostate>(value);
    numbers_.push_back(null ? 0 : std::get<std::int64_t>(value));
    lengths_.push_back(null ? SQL_NULL_DATA : 0);
    return SQL_SUCCEEDED(::SQLBindParameter(statement, number, SQL_PARAM_INPUT, SQL_C_SBIGINT, SQL_BIGINT, 0, 0,
                                            &numbers_.back(), 0, &lengths_.back()));
  }

 private:
  std::vector<std::u16string> texts_;
  std::vector<std::int64_t> numbers_;
  std::vector<double> reals_;
  std::vector<SQLLEN> lengths_;
};

// A column's value as text: read in pieces, since its length is not known
// before. Nothing for NULL; false when the driver fails.
bool ReadColumn(SQLHSTMT statement, SQLUSMALLINT column, std::optional<std::string>* value) {
  std::u16string text;
  SQLWCHAR buffer[1024];
  for (;;) {
    SQLLEN length = 0;
    const SQLRETURN rc = ::SQLGetData(statement, column, SQL_C_WCHAR, buffer, sizeof buffer, &length);
    if (rc == SQL_NO_DATA) break;
    if (!SQL_SUCCEEDED(rc)) return false;
    if (length == SQL_NULL_DATA) {
      value->reset();
      return true;
    }
    // The buffer holds what fitted, less the terminating zero; the length
    // is what was left before this piece (or SQL_NO_TOTAL).
    const std::size_t room = sizeof buffer / sizeof(SQLWCHAR) - 1;
    const std::size_t got = (length == SQL_NO_TOTAL || static_cast<std::size_t>(length) / sizeof(SQLWCHAR) > room)
                                ? room
                                : static_cast<std::size_t>(length) / sizeof(SQLWCHAR);
    text.append(reinterpret_cast<const char16_t*>(buffer), got);
    if (rc == SQL_SUCCESS) break;
  }
  *value = Utf8(reinterpret_cast<const SQLWCHAR*>(text.data()), text.size());
  return true;
}

}  // namespace

struct OdbcConnection::Handles {
  SQLHENV env = SQL_NULL_HENV;
  SQLHDBC dbc = SQL_NULL_HDBC;
  bool connected = false;
  ConnectionLimits limits;
  // The statement running now, for Cancel from another thread: set and
  // cleared under the lock, so a cancel never reaches a freed handle.
  std::mutex running_mutex;
  SQLHSTMT running = SQL_NULL_HSTMT;

  void Running(SQLHSTMT s) {
    std::lock_guard lock(running_mutex);
    running = s;
  }

  Handles() = default;
  Handles(const Handles&) = delete;
  Handles& operator=(const Handles&) = delete;
  ~Handles() {
    if (connected) ::SQLDisconnect(dbc);
    if (dbc != SQL_NULL_HDBC) ::SQLFreeHandle(SQL_HANDLE_DBC, dbc);
    if (env != SQL_NULL_HENV) ::SQLFreeHandle(SQL_HANDLE_ENV, env);
  }

  // A statement with its time limit and parameters, run: the handle, or
  // false and `*error`.
  bool Run(const std::string& sql, const std::vector<SqlValue>& parameters, Statement* statement,
           std::string* error) {
    if (!SQL_SUCCEEDED(::SQLAllocHandle(SQL_HANDLE_STMT, dbc, statement->Out()))) {
      *error = Diagnose(SQL_HANDLE_DBC, dbc).text;
      return false;
    }
    const SQLHSTMT s = statement->get();
    ::SQLSetStmtAttrW(s, SQL_ATTR_QUERY_TIMEOUT, Number(static_cast<SQLULEN>(limits.statement.count())), 0);
    Bound bound(parameters.size());
    for (const SqlValue& value : parameters) {
      if (!bound.Bind(s, value)) {
        *error = Diagnose(SQL_HANDLE_STMT, s).text;
        return false;
      }
    }
    std::u16string text = Utf8ToUtf16(sql);
    Running(s);
    const SQLRETURN rc = ::SQLExecDirectW(s, Wide(text), static_cast<SQLINTEGER>(text.size()));
    Running(SQL_NULL_HSTMT);
    if (!SQL_SUCCEEDED(rc) && rc != SQL_NO_DATA) {
      *error = Diagnose(SQL_HANDLE_STMT, s).text;
      return false;
    }
    return true;
  }
};

OdbcConnection::OdbcConnection(std::unique_ptr<Handles> handles) : h_(std::move(handles)) {}
OdbcConnection::~OdbcConnection() = default;

std::unique_ptr<OdbcConnection> OdbcConnection::Open(const std::string& connection, const ConnectionLimits& limits,
                                                     std::string* error) {
  auto h = std::make_unique<Handles>();
  h->limits = limits;
  std::unique_lock connecting(OdbcConnectLock());
  if (!SQL_SUCCEEDED(::SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &h->env)) ||
      !SQL_SUCCEEDED(::SQLSetEnvAttr(h->env, SQL_ATTR_ODBC_VERSION, Number(SQL_OV_ODBC3), 0)) ||
      !SQL_SUCCEEDED(::SQLAllocHandle(SQL_HANDLE_DBC, h->env, &h->dbc))) {
    *error = "the ODBC driver manager could not be set up";
    return nullptr;
  }
  ::SQLSetConnectAttrW(h->dbc, SQL_ATTR_LOGIN_TIMEOUT, Number(static_cast<SQLULEN>(limits.login.count())), 0);
  std::u16string text = Utf8ToUtf16(connection);
  SQLSMALLINT out_length = 0;
  if (!SQL_SUCCEEDED(::SQLDriverConnectW(h->dbc, nullptr, Wide(text), static_cast<SQLSMALLINT>(text.size()), nullptr,
                                         0, &out_length, SQL_DRIVER_NOPROMPT))) {
    *error = Diagnose(SQL_HANDLE_DBC, h->dbc).text;
    return nullptr;
  }
  h->connected = true;
  connecting.unlock();
  ::SQLSetConnectAttrW(h->dbc, SQL_ATTR_AUTOCOMMIT, Number(SQL_AUTOCOMMIT_ON), 0);
  return std::unique_ptr<OdbcConnection>(new OdbcConnection(std::move(h)));
}

std::optional<std::int64_t> OdbcConnection::Execute(const std::string& sql, const std::vector<SqlValue>& parameters,
                                                    std::string* error) {
  Statement statement;
  if (!h_->Run(sql, parameters, &statement, error)) return std::nullopt;
  SQLLEN changed = 0;
  if (!SQL_SUCCEEDED(::SQLRowCount(statement.get(), &changed)) || changed < 0) changed = 0;
  return static_cast<std::int64_t>(changed);
}

bool OdbcConnection::Query(const std::string& sql, const std::vector<SqlValue>& parameters,
                           std::vector<SqlRow>* rows, std::string* error) {
  rows->clear();
  Statement statement;
  if (!h_->Run(sql, parameters, &statement, error)) return false;
  const SQLHSTMT s = statement.get();
  SQLSMALLINT columns = 0;
  if (!SQL_SUCCEEDED(::SQLNumResultCols(s, &columns))) {
    *error = Diagnose(SQL_HANDLE_STMT, s).text;
    return false;
  }
  for (;;) {
    h_->Running(s);
    const SQLRETURN rc = ::SQLFetch(s);
    h_->Running(SQL_NULL_HSTMT);
    if (rc == SQL_NO_DATA) return true;
    if (!SQL_SUCCEEDED(rc)) {
      *error = Diagnose(SQL_HANDLE_STMT, s).text;
      rows->clear();
      return false;
    }
    SqlRow row(static_cast<std::size_t>(columns));
    for (SQLSMALLINT c = 0; c < columns; ++c) {
      if (!ReadColumn(s, static_cast<SQLUSMALLINT>(c + 1), &row[static_cast<std::size_t>(c)])) {
        *error = Diagnose(SQL_HANDLE_STMT, s).text;
        rows->clear();
        return false;
      }
    }
    rows->push_back(std::move(row));
  }
}

void OdbcConnection::Cancel() {
  std::lock_guard lock(h_->running_mutex);
  if (h_->running != SQL_NULL_HSTMT) ::SQLCancel(h_->running);
}

}  // namespace zevuvuri::records
