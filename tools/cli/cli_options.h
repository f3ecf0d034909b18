// The command line, parsed into a plain struct before anything runs.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "engine/pacing.h"
#include "station/next_unit.h"

namespace zevuvuri::cli {

using station::NextUnit;

struct CliOptions {
  // The COM port field's texts: numbers N or device paths. One upgrade runs
  // per port, all at once, with the same firmware.
  std::vector<std::string> ports = {"1"};
  bool ports_given = false;  // --port was on the command line
  std::string type = "0";  // the Type field's text
  std::string firmware = "REDIDADU.bin";
  bool yes = false;        // confirm an over-the-air start without waiting for Enter
  std::optional<double> sync_timeout_seconds;
  Pacing pacing = Pacing::Classic;
  bool trace = false;
  bool json = false;
  bool list_ports = false;
  bool doctor = false;
  std::optional<std::string> report;  // append one JSON record per upgrade to this file (the journal)
  // The line's database (an ODBC connection string): the journal's records
  // are forwarded to it. Given alone, the journal is the default one.
  std::optional<std::string> records_db;
  std::string station_name;  // for the records; the host name when not given
  // The approved image's SHA-256 (64 lowercase hex digits): any other image
  // ends with "couldn't open file" before the module is woken.
  std::optional<std::string> firmware_sha256;
  bool forward_records = false;  // send the journal's backlog and exit
  // Station mode: each port a slot that upgrades unit after unit.
  bool station = false;
  NextUnit next = NextUnit::Plug;
  std::optional<unsigned> units;  // end after this many units in all; nothing: until Ctrl-C
};

struct ParseResult {
  std::optional<CliOptions> options;  // nothing: exit with `exit_code` after printing `message`
  int exit_code = 0;
  std::string message;  // help or the error, for standard output (help) or error
  bool message_is_error = false;
};

ParseResult ParseCommandLine(int argc, const char* const* argv);

}  // namespace zevuvuri::cli
