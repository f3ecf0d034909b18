// The line's database through ODBC: the RecordStore that takes records into
// the unit_records table (postgresql.sql, sqlserver.sql). Text goes through
// the W calls as UTF-16 on every platform.
#pragma once

#include <chrono>
#include <memory>
#include <string>

#include "records/record_store.h"

namespace zevuvuri::records {

// How long the store waits for the database. The login limit goes to the
// driver (SQL_ATTR_LOGIN_TIMEOUT, which the PostgreSQL driver makes libpq's
// connect_timeout); each statement and commit gets the statement limit
// (SQL_ATTR_QUERY_TIMEOUT, which the PostgreSQL driver turns into the
// server's statement_timeout). A watchdog cancels (SQLCancel) a call still
// running 2 s past it, for a driver that does not keep the limit; a call
// that even the cancel does not end (a frozen server) is given up 3 s later:
// Store then returns false, at most 15 s into a call with the defaults.
struct StoreTimeLimits {
  std::chrono::seconds login{10};
  std::chrono::seconds statement{10};
};

// Connects with `connection` (an ODBC connection string). Nothing, and
// `*error` (the driver's diagnostic on one line, passwords masked), when it
// cannot. The store sends several rows per statement, all of a Store call in
// one transaction; a refused row is found by sending the rows again in
// halves, so the others are still stored, each exactly once.
std::unique_ptr<RecordStore> OpenOdbcStore(const std::string& connection, std::string* error);
std::unique_ptr<RecordStore> OpenOdbcStore(const std::string& connection, const StoreTimeLimits& limits,
                                           std::string* error);

}  // namespace zevuvuri::records
