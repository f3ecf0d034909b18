// The live state's writer on the line's database: line_stations and
// station_slots (postgresql.sql, sqlserver.sql) through one OdbcConnection.
// Each write is an UPDATE, then an INSERT when it changed no row, so that
// both servers take it; every time is the server's own clock with its zone
// (CURRENT_TIMESTAMP, SQL Server's SYSDATETIMEOFFSET()), so stations with
// wrong clocks still compare.
#pragma once

#include <memory>
#include <string>

#include "records/live_state_writer.h"

namespace zevuvuri::records {

// Connects with `connection` (an ODBC connection string); nothing and
// `*error` (passwords masked) when it cannot.
std::unique_ptr<LiveStateWriter> OpenLiveStateSql(const std::string& connection, std::string* error);

}  // namespace zevuvuri::records
