#include "tools/line/write_role_check.h"

#include "records/connection_text.h"

namespace zevuvuri::line {
namespace {

constexpr const char* kTables[] = {"unit_records", "line_stations", "station_slots"};
constexpr const char* kRights[] = {"INSERT", "UPDATE", "DELETE", "TRUNCATE"};

bool True(const std::optional<std::string>& v) { return v && (*v == "1" || *v == "t" || *v == "true"); }

}  // namespace

WriteRoleCheck CheckWriteRole(records::OdbcConnection& db) {
  WriteRoleCheck check;
  std::vector<records::SqlRow> rows;
  std::string error;
  // pg_roles answers only on PostgreSQL: elsewhere the rights are not known.
  if (!db.Query("SELECT rolsuper FROM pg_roles WHERE rolname = current_user", {}, &rows, &error)) {
    check.verdict = WriteRoleCheck::Verdict::Unknown;
    check.reason = "the database is not PostgreSQL (" + records::OneLine(error) + ")";
    return check;
  }
  if (!rows.empty() && !rows[0].empty() && True(rows[0][0])) check.rights.push_back("superuser");
  for (const char* table : kTables) {
    std::string sql = "SELECT ";
    for (const char* right : kRights) {
      sql += std::string(right == kRights[0] ? "" : ", ") + "has_table_privilege(?, '" + right + "')";
    }
    if (!db.Query(sql, {std::string(table), std::string(table), std::string(table), std::string(table)}, &rows,
                  &error)) {
      check.verdict = WriteRoleCheck::Verdict::Failed;
      check.reason = "cannot read the rights on " + std::string(table) + ": " + records::OneLine(error);
      return check;
    }
    for (std::size_t i = 0; i < std::size(kRights); ++i) {
      if (!rows.empty() && i < rows[0].size() && True(rows[0][i])) {
        check.rights.push_back(std::string(kRights[i]) + " on " + table);
      }
    }
  }
  check.verdict = check.rights.empty() ? WriteRoleCheck::Verdict::ReadOnly : WriteRoleCheck::Verdict::CanWrite;
  return check;
}

WriteRoleMessage DescribeWriteRole(const WriteRoleCheck& check, bool allow_write_role) {
  WriteRoleMessage m;
  switch (check.verdict) {
    case WriteRoleCheck::Verdict::ReadOnly:
      m.start = true;
      return m;
    case WriteRoleCheck::Verdict::Unknown:
      m.start = true;
      m.text = "zevuvuri-line: warning: cannot check that the connection's role only reads: " + check.reason +
               "; give it SELECT on unit_records, line_stations and station_slots and nothing more";
      return m;
    case WriteRoleCheck::Verdict::Failed:
      m.text = "zevuvuri-line: " + check.reason;
      return m;
    case WriteRoleCheck::Verdict::CanWrite:
      break;
  }
  std::string rights;
  for (const auto& r : check.rights) rights += (rights.empty() ? "" : ", ") + r;
  const std::string fix =
      "use a role that may only read, e.g. CREATE ROLE line_page LOGIN PASSWORD '...'; "
      "GRANT SELECT ON unit_records, line_stations, station_slots TO line_page; (see the README's \"The line page\")";
  if (allow_write_role) {
    m.start = true;
    m.text = "zevuvuri-line: WARNING: the connection's role can write to the line's database (" + rights +
             "); serving anyway because of --allow-write-role. " + fix;
  } else {
    m.text = "zevuvuri-line: refusing to start: the connection's role can write to the line's database (" + rights +
             "). A page needs only to read: " + fix + ", or start with --allow-write-role";
  }
  return m;
}

}  // namespace zevuvuri::line
