// zevuvuri-line: the line at a glance. Serves one page of every station, its
// slots and the shift's yield, and a JSON API for scripts, read from the
// line's database with a role that may only read.
#include <cstdio>
#include <string>

#include "records/connection_text.h"
#include "records/odbc_connection.h"
#include "tools/line/connection_pool.h"
#include "tools/line/line_options.h"
#include "tools/line/line_reader.h"
#include "tools/line/line_server.h"
#include "tools/line/stop_signals.h"
#include "tools/line/write_role_check.h"

namespace {

using namespace zevuvuri::line;
namespace records = zevuvuri::records;

// Short, so that a database that went away turns into an answer (503) well
// before a browser gives up, and a page that polls does not pile up.
constexpr records::ConnectionLimits kLimits{std::chrono::seconds{5}, std::chrono::seconds{5}};
constexpr std::size_t kConnections = 4;

}  // namespace

int main(int argc, char** argv) {
  const LineParseResult parsed = ParseLineCommandLine(argc, argv);
  if (!parsed.options) {
    std::fputs(parsed.message.c_str(), parsed.message_is_error ? stderr : stdout);
    return parsed.exit_code;
  }
  const LineOptions& o = *parsed.options;
  StopSignals signals;  // before the ODBC driver or the server start threads

  std::string error;
  {
    auto db = records::OdbcConnection::Open(o.records_db, kLimits, &error);
    if (!db) {
      std::fprintf(stderr, "zevuvuri-line: cannot connect to the database: %s\n", records::OneLine(error).c_str());
      return 1;
    }
    const WriteRoleMessage role = DescribeWriteRole(CheckWriteRole(*db), o.allow_write_role);
    if (!role.text.empty()) std::fprintf(stderr, "%s\n", records::OneLine(role.text).c_str());
    if (!role.start) return 1;
  }

  ConnectionPool pool(o.records_db, kLimits, kConnections);
  LineReader reader(&pool, o.shift_hours);
  LineServer server(&reader, ServerLimits{}, true);
  if (!server.Bind(o.listen_host, o.listen_port, &error)) {
    std::fprintf(stderr, "zevuvuri-line: %s\n", error.c_str());
    return 1;
  }
  const bool v6 = o.listen_host.find(':') != std::string::npos;
  std::fprintf(stderr, "zevuvuri-line: serving the line page on http://%s%s%s:%d/\n", v6 ? "[" : "",
               o.listen_host.c_str(), v6 ? "]" : "", server.Port());
  signals.OnStop([&server] { server.Stop(); });
  if (!server.Serve()) {
    std::fprintf(stderr, "zevuvuri-line: the server stopped unexpectedly\n");
    return 1;
  }
  std::fprintf(stderr, "zevuvuri-line: stopped\n");
  return 0;
}
