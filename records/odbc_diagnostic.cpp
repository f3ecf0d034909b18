#include "records/odbc_diagnostic.h"

#include <algorithm>

#include "engine/text_encoding.h"
#include "records/connection_text.h"

namespace zevuvuri::records {

OdbcDiagnostic Diagnose(SQLSMALLINT type, SQLHANDLE handle) {
  SQLWCHAR state[6] = {};
  SQLWCHAR message[1024] = {};
  SQLINTEGER native = 0;
  SQLSMALLINT length = 0;
  OdbcDiagnostic d;
  const SQLRETURN rc = ::SQLGetDiagRecW(type, handle, 1, state, &native, message,
                                        static_cast<SQLSMALLINT>(sizeof message / sizeof message[0]), &length);
  if (!SQL_SUCCEEDED(rc)) {
    d.text = "the ODBC driver gave no reason";
    return d;
  }
  const std::size_t shown = std::min<std::size_t>(static_cast<std::size_t>(std::max<SQLSMALLINT>(length, 0)),
                                                  sizeof message / sizeof message[0] - 1);
  d.sqlstate = Utf16ToUtf8(std::u16string_view(reinterpret_cast<const char16_t*>(state), 5));
  d.native = native;
  const std::u16string_view text(reinterpret_cast<const char16_t*>(message), shown);
  d.text = OneLine(d.sqlstate + ": " + Utf16ToUtf8(text));
  return d;
}

}  // namespace zevuvuri::records
