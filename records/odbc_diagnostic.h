// Why an ODBC call failed, as the loader tells it: the handle's first
// diagnostic record on one line, passwords masked. Inside records only (it
// takes the ODBC handle types).
#pragma once

#include <odbc_api.h>

#include <string>

namespace zevuvuri::records {

struct OdbcDiagnostic {
  std::string sqlstate;  // five characters; empty when the driver gave none
  SQLINTEGER native = 0; // the server's own error number
  std::string text;      // "SQLSTATE: message" on one line, passwords masked
};

// The first diagnostic record of `handle` (SQL_HANDLE_DBC, SQL_HANDLE_STMT...).
OdbcDiagnostic Diagnose(SQLSMALLINT type, SQLHANDLE handle);

}  // namespace zevuvuri::records
