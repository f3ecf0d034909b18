// zevuvuri-line's command line, parsed into a plain struct before anything
// runs.
#pragma once

#include <optional>
#include <string>

namespace zevuvuri::line {

struct LineOptions {
  // The line's database as an ODBC connection string, given directly or read
  // from the first line of a file (so that a service keeps the password off
  // its command line). Never printed: it may hold a password.
  std::string records_db;
  std::string listen_host = "127.0.0.1";
  int listen_port = 8088;
  int shift_hours = 8;  // the shift the yield chart and top failures cover
  bool allow_write_role = false;
};

struct LineParseResult {
  std::optional<LineOptions> options;  // set when the program should run
  int exit_code = 0;                   // otherwise: 0 after --help/--version, 2 on a usage error
  std::string message;                 // to print (stdout for help/version, stderr for errors)
  bool message_is_error = false;
};

LineParseResult ParseLineCommandLine(int argc, const char* const* argv);

// "HOST:PORT" or "[V6]:PORT" into its parts; false when it is not one.
bool SplitListenAddress(const std::string& text, std::string* host, int* port);

}  // namespace zevuvuri::line
