#include "records/database_check.h"

#include <odbc_api.h>
// After the ODBC headers: Windows' needs their types.
#include <odbcinst.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <initializer_list>
#include <optional>
#include <utility>

#include "engine/text_encoding.h"
#include "records/connection_text.h"
#include "records/odbc_diagnostic.h"
#include "records/report_file.h"
#include "records/unit_record.h"

namespace zevuvuri::records {
namespace {

// A server that does not answer is named as such, not waited for.
constexpr SQLULEN kLoginSeconds = 5;
constexpr SQLULEN kStatementSeconds = 10;

// The columns the loader's insert fills, as postgresql.sql defines them.
constexpr std::array<const char*, 24> kColumns = {
    "record_id", "station", "station_run", "unit", "serial_number", "repeat_unit", "host", "port",
    "device", "type_code", "link_mode", "pacing", "firmware", "firmware_size", "firmware_sha256",
    "approved_sha256", "result", "exit_code", "data_frames_sent", "started_utc", "ended_utc", "duration_s",
    "loader_version", "record"};

constexpr const char* kSchemaFix =
    "load the schema into the line's database as its owner: psql -d DATABASE -f "
    "/usr/share/zevuvuri/postgresql.sql (from a source checkout: records/postgresql.sql)";

SQLWCHAR* Wide(std::u16string& text) { return reinterpret_cast<SQLWCHAR*>(text.data()); }

std::string Lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
  return text;
}

using Diagnostic = OdbcDiagnostic;

// One connection with its statements, each under the statement time limit.
class Session {
 public:
  Session() = default;
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;
  ~Session() {
    if (connected_) {
      ::SQLEndTran(SQL_HANDLE_DBC, dbc_, SQL_ROLLBACK);
      ::SQLDisconnect(dbc_);
    }
    if (dbc_ != SQL_NULL_HDBC) ::SQLFreeHandle(SQL_HANDLE_DBC, dbc_);
    if (env_ != SQL_NULL_HENV) ::SQLFreeHandle(SQL_HANDLE_ENV, env_);
  }

  bool Connect(const std::string& connection, Diagnostic* why) {
    if (!SQL_SUCCEEDED(::SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &env_)) ||
        !SQL_SUCCEEDED(::SQLSetEnvAttr(env_, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0)) ||
        !SQL_SUCCEEDED(::SQLAllocHandle(SQL_HANDLE_DBC, env_, &dbc_))) {
      why->text = "the ODBC driver manager could not be set up";
      return false;
    }
    ::SQLSetConnectAttrW(dbc_, SQL_ATTR_LOGIN_TIMEOUT, reinterpret_cast<SQLPOINTER>(kLoginSeconds), 0);
    std::u16string text = Utf8ToUtf16(connection);
    SQLSMALLINT out_length = 0;
    if (!SQL_SUCCEEDED(::SQLDriverConnectW(dbc_, nullptr, Wide(text), static_cast<SQLSMALLINT>(text.size()), nullptr,
                                           0, &out_length, SQL_DRIVER_NOPROMPT))) {
      *why = Diagnose(SQL_HANDLE_DBC, dbc_);
      return false;
    }
    connected_ = true;
    // The probe insert must be undone: a transaction of our own.
    if (!SQL_SUCCEEDED(::SQLSetConnectAttrW(dbc_, SQL_ATTR_AUTOCOMMIT,
                                            reinterpret_cast<SQLPOINTER>(static_cast<SQLULEN>(SQL_AUTOCOMMIT_OFF)),
                                            0))) {
      *why = Diagnose(SQL_HANDLE_DBC, dbc_);
      return false;
    }
    return true;
  }

  // The first column of every row `sql` gives, as text (NULL: empty).
  std::optional<std::vector<std::string>> Rows(const std::string& sql, Diagnostic* why) {
    SQLHSTMT statement = SQL_NULL_HSTMT;
    if (!SQL_SUCCEEDED(::SQLAllocHandle(SQL_HANDLE_STMT, dbc_, &statement))) {
      *why = Diagnose(SQL_HANDLE_DBC, dbc_);
      return std::nullopt;
    }
    ::SQLSetStmtAttrW(statement, SQL_ATTR_QUERY_TIMEOUT, reinterpret_cast<SQLPOINTER>(kStatementSeconds), 0);
    std::u16string text = Utf8ToUtf16(sql);
    std::optional<std::vector<std::string>> rows;
    const SQLRETURN rc = ::SQLExecDirectW(statement, Wide(text), static_cast<SQLINTEGER>(text.size()));
    if (SQL_SUCCEEDED(rc) || rc == SQL_NO_DATA) {
      rows.emplace();
      SQLSMALLINT columns = 0;
      ::SQLNumResultCols(statement, &columns);
      while (columns > 0 && SQL_SUCCEEDED(::SQLFetch(statement))) {
        SQLWCHAR value[512] = {};
        SQLLEN length = 0;
        if (!SQL_SUCCEEDED(::SQLGetData(statement, 1, SQL_C_WCHAR, value, sizeof value, &length)) ||
            length == SQL_NULL_DATA) {
          rows->emplace_back();
          continue;
        }
        const std::size_t units = std::min<std::size_t>(length < 0 ? 0 : static_cast<std::size_t>(length) / 2,
                                                        sizeof value / sizeof value[0] - 1);
        rows->push_back(Utf16ToUtf8(std::u16string_view(reinterpret_cast<const char16_t*>(value), units)));
      }
    } else {
      *why = Diagnose(SQL_HANDLE_STMT, statement);
    }
    ::SQLFreeHandle(SQL_HANDLE_STMT, statement);
    return rows;
  }

  std::string Info(SQLUSMALLINT what) {
    SQLWCHAR value[256] = {};
    SQLSMALLINT length = 0;
    if (!SQL_SUCCEEDED(::SQLGetInfoW(dbc_, what, value, sizeof value, &length))) return "";
    const std::size_t units = std::min<std::size_t>(length < 0 ? 0 : static_cast<std::size_t>(length) / 2,
                                                    sizeof value / sizeof value[0] - 1);
    return Utf16ToUtf8(std::u16string_view(reinterpret_cast<const char16_t*>(value), units));
  }

  void Rollback() { ::SQLEndTran(SQL_HANDLE_DBC, dbc_, SQL_ROLLBACK); }

 private:
  SQLHENV env_ = SQL_NULL_HENV;
  SQLHDBC dbc_ = SQL_NULL_HDBC;
  bool connected_ = false;
};

std::string ConnectionFix(const Diagnostic& d) {
  const std::string text = Lower(d.text);
  if (d.sqlstate == "IM002") {
    return "no such DSN or driver: check DSN= against odbc.ini (odbcinst -q -s lists the DSNs) or the Driver={...} "
           "name against odbcinst.ini (odbcinst -q -d lists the drivers)";
  }
  if (text.find("password") != std::string::npos || text.find("authentication") != std::string::npos ||
      d.sqlstate == "28P01" || d.sqlstate == "28000") {
    return "the role or its password is wrong: Uid= and Pwd= in the connection string (Username= and Password= in "
           "a psqlODBC DSN); the role is made with CREATE ROLE NAME LOGIN PASSWORD '...'";
  }
  if (text.find("database") != std::string::npos && text.find("does not exist") != std::string::npos) {
    return "the database does not exist: create it on the server (README: the line's database)";
  }
  if (text.find("pg_hba.conf") != std::string::npos) {
    return "the server refuses this station: add a host line for it to pg_hba.conf on the server and reload";
  }
  return "is the server running and reachable from here? Server= and Port= in the connection string (Servername= "
         "and Port= in a psqlODBC DSN); on the server, listen_addresses in postgresql.conf and a host line for this "
         "station in pg_hba.conf";
}

// 'text' as an SQL literal.
std::string Literal(const std::string& text) {
  std::string out = "'";
  for (const char c : text) out += c == '\'' ? std::string("''") : std::string(1, c);
  return out + "'";
}

// A record as the loader sends one, never committed.
std::string ProbeInsert() {
  std::string sql = "INSERT INTO unit_records (";
  for (std::size_t i = 0; i < kColumns.size(); ++i) sql += (i > 0 ? ", " : "") + std::string(kColumns[i]);
  const std::string host = HostName().empty() ? "doctor" : HostName();
  sql += ") VALUES (" + Literal(NewRecordId()) + ", " + Literal(host) + ", NULL, NULL, NULL, NULL, " + Literal(host) +
         ", 'doctor', NULL, 0, NULL, 'classic', 'doctor-probe.bin', 0, NULL, NULL, 'Upgrade OK', 0, 0, "
         "'2000-01-01 00:00:00', '2000-01-01 00:00:00', 0, 'doctor', '{}')";
  return sql;
}

// The connection string's attributes, keys in lower case; braced values
// unwrapped.
std::vector<std::pair<std::string, std::string>> Attributes(const std::string& connection) {
  std::vector<std::pair<std::string, std::string>> found;
  std::size_t i = 0;
  while (i < connection.size()) {
    const std::size_t equals = connection.find('=', i);
    if (equals == std::string::npos) break;
    std::string key = connection.substr(i, equals - i);
    key.erase(0, key.find_first_not_of(" \t"));
    key.erase(key.find_last_not_of(" \t") + 1);
    std::size_t at = equals + 1;
    while (at < connection.size() && (connection[at] == ' ' || connection[at] == '\t')) ++at;
    std::string value;
    if (at < connection.size() && connection[at] == '{') {
      // "}}" is a brace within the value.
      for (++at; at < connection.size(); ++at) {
        if (connection[at] == '}') {
          if (at + 1 < connection.size() && connection[at + 1] == '}') {
            value += '}';
            ++at;
            continue;
          }
          ++at;
          break;
        }
        value += connection[at];
      }
      at = connection.find(';', at);
    } else {
      const std::size_t end = connection.find(';', at);
      value = connection.substr(at, end == std::string::npos ? std::string::npos : end - at);
      value.erase(value.find_last_not_of(" \t") + 1);
      at = end;
    }
    found.emplace_back(Lower(key), value);
    if (at == std::string::npos) break;
    i = at + 1;
  }
  return found;
}

std::string Attribute(const std::vector<std::pair<std::string, std::string>>& attributes,
                      std::initializer_list<const char*> keys) {
  for (const auto& [key, value] : attributes) {
    for (const char* wanted : keys) {
      if (key == wanted) return value;
    }
  }
  return "";
}

// A value from odbc.ini or odbcinst.ini (on Windows, their registry keys), as
// the driver manager and the driver read them.
std::string Profile(const std::string& section, const std::string& key, const char* file) {
  std::u16string s = Utf8ToUtf16(section), k = Utf8ToUtf16(key), f = Utf8ToUtf16(file), none;
  SQLWCHAR value[256] = {};
  const int length = ::SQLGetPrivateProfileStringW(reinterpret_cast<LPCWSTR>(Wide(s)),
                                                   reinterpret_cast<LPCWSTR>(Wide(k)),
                                                   reinterpret_cast<LPCWSTR>(Wide(none)),
                                                   reinterpret_cast<LPWSTR>(value),
                                                   static_cast<int>(sizeof value / sizeof value[0]),
                                                   reinterpret_cast<LPCWSTR>(Wide(f)));
  if (length <= 0) return "";
  return Utf16ToUtf8(std::u16string_view(reinterpret_cast<const char16_t*>(value),
                                         std::min<std::size_t>(static_cast<std::size_t>(length), sizeof value / sizeof value[0] - 1)));
}

bool On(const std::string& value) { return !value.empty() && value != "0" && Lower(value) != "no"; }

// The psqlODBC driver's per-process logs: CommLog writes a log of every
// connection, Debug one of every call, into /tmp on Linux, for every process
// that connects. The connection string wins over the DSN, which wins over
// the driver's own section.
DatabaseFinding DriverLogs(const std::string& connection) {
  const auto attributes = Attributes(connection);
  const std::string dsn = Attribute(attributes, {"dsn"});
  std::string driver = Attribute(attributes, {"driver"});
  if (driver.empty() && !dsn.empty()) driver = Profile(dsn, "Driver", "odbc.ini");
  struct Setting {
    const char* key;
    const char* short_key;  // psqlODBC's abbreviation in a connection string
  };
  std::vector<std::string> on;
  for (const Setting setting : {Setting{"CommLog", "b3"}, Setting{"Debug", "b2"}}) {
    std::string value = Attribute(attributes, {Lower(setting.key).c_str(), setting.short_key});
    std::string where = "in the connection string";
    if (value.empty() && !dsn.empty()) {
      value = Profile(dsn, setting.key, "odbc.ini");
      where = "in the [" + dsn + "] section of odbc.ini";
    }
    if (value.empty() && !driver.empty()) {
      value = Profile(driver, setting.key, "odbcinst.ini");
      where = "in the [" + driver + "] section of odbcinst.ini";
    }
    if (On(value)) on.push_back(std::string(setting.key) + "=" + value + " " + where);
  }
  if (on.empty()) return {false, "the ODBC driver keeps no per-process logs (CommLog and Debug are off)", ""};
  std::string text = "the ODBC driver writes a log file for every process that connects (into /tmp on Linux): ";
  for (std::size_t i = 0; i < on.size(); ++i) text += (i > 0 ? "; " : "") + on[i];
  return {true, text,
          "set CommLog=0 and Debug=0 there (Debian's odbc-postgresql package turns CommLog on in /etc/odbcinst.ini; "
          "odbcinst -j shows which files are read)"};
}

std::optional<DatabaseFinding> Clock(Session& session, const std::string& dbms) {
  std::string sql;
  if (Lower(dbms).find("postgres") != std::string::npos) {
    sql = "SELECT extract(epoch FROM clock_timestamp())";
  } else if (Lower(dbms).find("sql server") != std::string::npos) {
    sql = "SELECT DATEDIFF_BIG(millisecond, '19700101', SYSUTCDATETIME()) / 1000.0";
  } else {
    return DatabaseFinding{false, "the clock was not compared: no query for " + dbms + " is known here", ""};
  }
  const auto seconds = [](std::chrono::system_clock::time_point t) {
    return std::chrono::duration<double>(t.time_since_epoch()).count();
  };
  Diagnostic why;
  const double before = seconds(std::chrono::system_clock::now());
  const auto rows = session.Rows(sql, &why);
  const double after = seconds(std::chrono::system_clock::now());
  session.Rollback();
  if (!rows || rows->empty()) {
    return DatabaseFinding{true, "the server's clock could not be read: " + why.text,
                           "check the connection's rights; the records' times come from this computer's clock"};
  }
  // Against the moment halfway through the round trip.
  const double offset = (before + after) / 2 - std::strtod(rows->front().c_str(), nullptr);
  char figure[64];
  std::snprintf(figure, sizeof figure, "%.1f s", std::fabs(offset));
  if (std::fabs(offset) <= kMostClockOffsetSeconds) {
    return DatabaseFinding{false, std::string("this computer's clock is within ") + figure + " of the server's", ""};
  }
  return DatabaseFinding{true,
                         std::string("this computer's clock is ") + figure + (offset > 0 ? " ahead of" : " behind") +
                             " the server's: the records' times would disagree with the server's and other stations'",
                         "keep every station's clock and the server's synchronised (NTP: timedatectl set-ntp true; "
                         "on Windows, w32tm /resync)"};
}

}  // namespace

std::vector<DatabaseFinding> CheckRecordsDatabase(const std::string& connection) {
  std::vector<DatabaseFinding> findings;
  const std::string shown = MaskPasswords(connection);
  Session session;
  Diagnostic why;
  if (!session.Connect(connection, &why)) {
    findings.push_back({true, "cannot connect with " + shown + ": " + why.text, ConnectionFix(why)});
    findings.push_back(DriverLogs(connection));
    return findings;
  }
  const std::string dbms = session.Info(SQL_DBMS_NAME);
  findings.push_back({false, "connected with " + shown + " to " + dbms + " " + session.Info(SQL_DBMS_VER), ""});

  std::string role = "ROLE";
  if (const auto rows = session.Rows("SELECT CURRENT_USER", &why); rows && !rows->empty()) role = rows->front();
  session.Rollback();

  // The columns this role may use in the table its unqualified name finds.
  std::string schema_filter;
  if (Lower(dbms).find("postgres") != std::string::npos) schema_filter = " AND table_schema = current_schema()";
  if (Lower(dbms).find("sql server") != std::string::npos) schema_filter = " AND table_schema = SCHEMA_NAME()";
  const auto columns = session.Rows(
      "SELECT column_name FROM information_schema.columns WHERE table_name = 'unit_records'" + schema_filter, &why);
  session.Rollback();
  bool table_ok = false;
  if (!columns) {
    findings.push_back({true, "the table's columns could not be read: " + why.text, kSchemaFix});
  } else if (columns->empty()) {
    findings.push_back({true, "there is no table unit_records that the role " + role + " may use",
                        std::string(kSchemaFix) + "; then, as its owner: GRANT INSERT, SELECT (record_id) ON unit_records TO " + role});
  } else {
    std::string missing;
    for (const char* column : kColumns) {
      const bool there = std::any_of(columns->begin(), columns->end(),
                                     [&](const std::string& c) { return Lower(c) == column; });
      if (!there) missing += (missing.empty() ? "" : ", ") + std::string(column);
    }
    if (missing.empty()) {
      table_ok = true;
      findings.push_back({false, "the table unit_records has every column the loader fills", ""});
    } else {
      findings.push_back({true, "the table unit_records lacks the columns " + missing,
                          "add them as records/postgresql.sql defines them (ALTER TABLE unit_records ADD COLUMN "
                          "...), or load the schema into a fresh database"});
    }
  }

  if (table_ok) {
    const auto inserted = session.Rows(ProbeInsert(), &why);
    session.Rollback();
    if (inserted) {
      findings.push_back(
          {false, "the role " + role + " may insert records (a probe record, rolled back at once)", ""});
    } else if (why.sqlstate == "42501") {
      findings.push_back({true, "the role " + role + " may not insert records: " + why.text,
                          "as the table's owner: GRANT INSERT ON unit_records TO " + role});
    } else {
      findings.push_back({true, "a probe record was refused: " + why.text,
                          "the table differs from records/postgresql.sql (a constraint, a trigger or a column "
                          "type of its own): records like this one would be refused too"});
    }
    // After a duplicate key the forwarder looks up which record_ids the
    // table has; without that right such records wait for ever.
    const auto looked = session.Rows("SELECT record_id FROM unit_records WHERE record_id = 'doctor'", &why);
    session.Rollback();
    if (looked) {
      findings.push_back({false, "the role " + role + " may look up record_id (to tell a record sent before)", ""});
    } else {
      findings.push_back({true,
                          "the role " + role + " may not read record_id: " + why.text +
                              " (records sent again after a lost mark or connection would wait for ever)",
                          "as the table's owner: GRANT SELECT (record_id) ON unit_records TO " + role});
    }
  }

  if (const auto clock = Clock(session, dbms)) findings.push_back(*clock);
  findings.push_back(DriverLogs(connection));
  return findings;
}

}  // namespace zevuvuri::records
