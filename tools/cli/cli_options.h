// The command line, parsed into a plain struct before anything runs.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace zevuvuri::cli {

struct CliOptions {
  std::string port = "1";  // the COM port field's text: a number N or a device path
  std::string type = "0";  // the Type field's text
  std::string firmware = "REDIDADU.bin";
  bool yes = false;        // confirm an over-the-air start without waiting for Enter
  std::optional<double> sync_timeout_seconds;
  bool trace = false;
  bool json = false;
  bool list_ports = false;
};

struct ParseResult {
  std::optional<CliOptions> options;  // nothing: exit with `exit_code` after printing `message`
  int exit_code = 0;
  std::string message;  // help or the error, for standard output (help) or error
  bool message_is_error = false;
};

ParseResult ParseCommandLine(int argc, const char* const* argv);

}  // namespace zevuvuri::cli
