// What a database's refusal means for the records that a statement carried,
// told from the diagnostic's SQLSTATE (and, where a server puts every
// integrity error under one code, its native error number).
#pragma once

#include <cstdint>
#include <string_view>

namespace zevuvuri::records {

enum class SqlFault {
  DuplicateKey,  // a unique key is violated: the record_id, or another unique index
  RowRefused,    // the server refuses a row for itself: a constraint, a
                 // trigger's error, a value that does not fit its column
  Trouble,       // the connection's or the server's trouble (lost link, time
                 // limit, cancel, shutdown, resources, deadlock, rights, a
                 // missing table), or one not known: sending again later may work
};

// `state`: the five characters of a SQLSTATE; `native`: the server's own
// error number. Anything not known as a row's own fault is Trouble, so a
// record is never set aside for what may pass.
SqlFault ClassifySqlState(std::string_view state, std::int64_t native);

}  // namespace zevuvuri::records
