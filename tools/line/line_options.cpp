#include "tools/line/line_options.h"

#include <CLI/CLI.hpp>

#include <fstream>

#include "zevuvuri_version.h"

namespace zevuvuri::line {
namespace {

constexpr int kUsageExit = 2;

constexpr const char* kFooter = R"(Exit status:
  0    stopped by SIGTERM or SIGINT (Ctrl-C), or after --help / --version
  1    the database cannot be reached, the address cannot be listened on,
       or the connection's role may write and --allow-write-role was not given
  2    usage error

The API (GET /api/line, GET /api/serial?number=X) is described in
zevuvuri-line(1).)";

LineParseResult UsageError(const std::string& text) {
  LineParseResult r;
  r.exit_code = kUsageExit;
  r.message = "zevuvuri-line: " + text + "\nRun with --help for usage.\n";
  r.message_is_error = true;
  return r;
}

}  // namespace

bool SplitListenAddress(const std::string& text, std::string* host, int* port) {
  const std::size_t colon = text.rfind(':');
  if (colon == std::string::npos || colon == 0) return false;
  std::string h = text.substr(0, colon);
  const std::string p = text.substr(colon + 1);
  if (h.front() == '[') {
    if (h.size() < 3 || h.back() != ']') return false;
    h = h.substr(1, h.size() - 2);
  } else if (h.find(':') != std::string::npos) {
    return false;  // a bare IPv6 address needs its brackets
  }
  if (p.empty() || p.size() > 5 || p.find_first_not_of("0123456789") != std::string::npos) return false;
  const int n = std::stoi(p);
  if (n < 1 || n > 65535) return false;
  *host = h;
  *port = n;
  return true;
}

LineParseResult ParseLineCommandLine(int argc, const char* const* argv) {
  LineOptions o;
  CLI::App app{"ZE Vuvuri line page: serves a live page of every station of the line, and a JSON API for\n"
               "scripts, from the line's database (read only)."};
  app.footer(kFooter);
  app.set_version_flag("--version", "zevuvuri-line " ZEVUVURI_VERSION, "print the version and exit");
  std::optional<std::string> records_db;
  std::optional<std::string> records_db_file;
  app.add_option("--records-db", records_db,
                 "the line's database: an ODBC connection string (Driver={PostgreSQL Unicode};Server=...;"
                 "Database=...;Uid=...;Pwd=..., or DSN=NAME), for a role that may only read")
      ->type_name("CONNECTION");
  app.add_option("--records-db-file", records_db_file,
                 "read the connection string from the first line of FILE instead (keeps a password off the "
                 "command line; the systemd unit uses it)")
      ->type_name("FILE");
  std::string listen = "127.0.0.1:8088";
  app.add_option("--listen", listen, "the address and port to serve on, HOST:PORT or [IPV6]:PORT")
      ->type_name("ADDRESS:PORT")
      ->capture_default_str();
  app.add_option("--shift-hours", o.shift_hours, "the shift the yield chart and top failures cover, in hours")
      ->type_name("N")
      ->check(CLI::Range(1, 168))
      ->capture_default_str();
  app.add_flag("--allow-write-role", o.allow_write_role,
               "start even though the connection's role may change the tables (warned about at every start)");

  LineParseResult result;
  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp&) {
    result.message = app.help();
    return result;
  } catch (const CLI::CallForVersion& e) {
    result.message = std::string(e.what()) + "\n";
    return result;
  } catch (const CLI::ParseError& e) {
    return UsageError(e.what());
  }
  if (records_db.has_value() == records_db_file.has_value()) {
    return UsageError("give the database with either --records-db or --records-db-file");
  }
  if (records_db_file) {
    std::ifstream in(*records_db_file);
    if (!in) return UsageError("cannot read the connection file " + *records_db_file);
    std::getline(in, o.records_db);
    while (!o.records_db.empty() && (o.records_db.back() == '\r' || o.records_db.back() == ' ')) {
      o.records_db.pop_back();
    }
  } else {
    o.records_db = *records_db;
  }
  if (o.records_db.empty()) return UsageError("the connection string is empty");
  if (!SplitListenAddress(listen, &o.listen_host, &o.listen_port)) {
    return UsageError("--listen wants HOST:PORT (for example 127.0.0.1:8088), not " + listen);
  }
  result.options = o;
  return result;
}

}  // namespace zevuvuri::line
