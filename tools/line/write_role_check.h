// The page only reads. At start it asks PostgreSQL whether the connection's
// role could change the line's tables (INSERT, UPDATE, DELETE, TRUNCATE on
// unit_records, line_stations, station_slots) or is a superuser, so that a
// connection meant for a station is not left serving a web page.
#pragma once

#include <string>
#include <vector>

#include "records/odbc_connection.h"

namespace zevuvuri::line {

struct WriteRoleCheck {
  enum class Verdict { ReadOnly, CanWrite, Unknown, Failed };
  Verdict verdict = Verdict::Unknown;
  // CanWrite: what it may do, e.g. "superuser", "INSERT on unit_records".
  std::vector<std::string> rights;
  // Unknown: why it could not be checked; Failed: the database's error.
  std::string reason;
};

WriteRoleCheck CheckWriteRole(records::OdbcConnection& db);

// What zevuvuri-line says about a check (one or a few lines, no trailing
// newline), and whether it may go on.
struct WriteRoleMessage {
  bool start = false;
  std::string text;  // for standard error; empty when there is nothing to say
};
WriteRoleMessage DescribeWriteRole(const WriteRoleCheck& check, bool allow_write_role);

}  // namespace zevuvuri::line
