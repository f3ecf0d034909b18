// One ODBC connection for small statements: the line's live state that the
// stations keep, and what the line's page reads. Text goes through the W
// calls as UTF-16 on every platform, parameters are bound (never pasted into
// the SQL), and every login and statement has a time limit. The records
// themselves go through odbc_store.h, whose batches and refusals need more.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace zevuvuri::records {

// A parameter: NULL, a text, a whole number or a real.
using SqlValue = std::variant<std::monostate, std::string, std::int64_t, double>;
// A row as read: each column as its text, nothing for NULL.
using SqlRow = std::vector<std::optional<std::string>>;

struct ConnectionLimits {
  std::chrono::seconds login{10};
  std::chrono::seconds statement{10};
};

// Every statement commits by itself (autocommit). Calls: one thread at a
// time; Cancel: any thread while the object lives.
class OdbcConnection {
 public:
  // Nothing, and `*error` (the driver's diagnostic on one line, passwords
  // masked), when it cannot connect.
  static std::unique_ptr<OdbcConnection> Open(const std::string& connection, const ConnectionLimits& limits,
                                              std::string* error);
  ~OdbcConnection();
  OdbcConnection(const OdbcConnection&) = delete;
  OdbcConnection& operator=(const OdbcConnection&) = delete;

  // Runs `sql` with its `?` bound to `parameters` in order: the rows it
  // changed (0 when the driver does not say), or nothing and `*error`.
  std::optional<std::int64_t> Execute(const std::string& sql, const std::vector<SqlValue>& parameters,
                                      std::string* error);
  // Runs a query: its rows, each column as text (numbers as the driver
  // writes them, times as "YYYY-MM-DD HH:MM:SS[.fff][+zz]"), or false and
  // `*error`. `*rows` is replaced.
  bool Query(const std::string& sql, const std::vector<SqlValue>& parameters, std::vector<SqlRow>* rows,
             std::string* error);

  // Asks the server to stop the statement running now; it then fails.
  void Cancel();

 private:
  struct Handles;
  explicit OdbcConnection(std::unique_ptr<Handles> handles);
  std::unique_ptr<Handles> h_;
};

}  // namespace zevuvuri::records
