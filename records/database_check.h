// A look at the line's database from a station, end to end, as the records
// will reach it: the connection, the unit_records table and its columns, the
// right to insert, the clock against the server's, and the ODBC driver's
// per-process logs. For --doctor; every text has its passwords masked.
#pragma once

#include <string>
#include <vector>

namespace zevuvuri::records {

struct DatabaseFinding {
  bool problem = false;
  std::string text;  // what was found
  std::string fix;   // what to do about it, for problems
};

// This computer's clock may be this far from the server's before the
// records' times and the server's disagree enough to mislead.
constexpr double kMostClockOffsetSeconds = 5.0;

// Connects with `connection` (an ODBC connection string) and checks, in this
// order: the connection; the table and the columns the loader fills; an
// insert of a probe record in a transaction that is rolled back, so nothing
// stays; the clock; the driver's CommLog and Debug settings (the connection
// string's, the DSN's in odbc.ini, the driver's in odbcinst.ini). What cannot
// be checked after a problem (no connection, no table) is left out. Every
// login and statement has a time limit.
std::vector<DatabaseFinding> CheckRecordsDatabase(const std::string& connection);

}  // namespace zevuvuri::records
