#include "records/sql_state.h"

namespace zevuvuri::records {

SqlFault ClassifySqlState(std::string_view state, std::int64_t native) {
  if (state.size() != 5) return SqlFault::Trouble;
  if (state == "23505") return SqlFault::DuplicateKey;
  if (state == "23000") {
    // SQL Server (2627 primary or unique constraint, 2601 unique index) and
    // MySQL (1062) say 23000 for every integrity violation.
    if (native == 2627 || native == 2601 || native == 1062) return SqlFault::DuplicateKey;
    return SqlFault::RowRefused;
  }
  const std::string_view cls = state.substr(0, 2);
  // 22: data exceptions (a value too long, out of range, not valid text);
  // 23: integrity (CHECK, NOT NULL, a foreign key).
  if (cls == "22" || cls == "23") return SqlFault::RowRefused;
  // PostgreSQL's RAISE EXCEPTION in a trigger without its own code.
  if (state == "P0001") return SqlFault::RowRefused;
  // SQL Server's RAISERROR or THROW in a trigger: user errors are 50000 and up.
  if (state == "42000" && native >= 50000) return SqlFault::RowRefused;
  return SqlFault::Trouble;
}

}  // namespace zevuvuri::records
