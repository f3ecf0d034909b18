#include "tools/cli/cli_options.h"

#include <CLI/CLI.hpp>

#include "records/state_folder.h"
#include "station/exit_codes.h"
#include "station/settings_completion.h"
#include "zevuvuri_version.h"

namespace zevuvuri::cli {

using station::ExitCode;

namespace {

constexpr double kMaxSyncTimeoutSeconds = 1e6;  // eleven and a half days

constexpr const char* kExitCodesHelp = R"(Exit status:
  0    Upgrade OK
  2    usage error
  3    Failure : couldn't initialize COM port
  4    Failure : couldn't open file (or couldn't read file)
  5    Did not get local ACK (poll frame refused)
  6    Write Error (data frame refused)
  7    Did not get local ACK for reboot
  8    synchronisation time-out (--sync-timeout)
  9    Failure : file too large
  10   Failure : couldn't start thread
  11   the --report file could not be written, or read back for the
       database (the upgrades went on)
  12   standard output could not be written (the upgrades went on)
  13   Failure : COM port lost (the device went away before the module
       answered; later the upgrade ends with that step's own text)
  14   every unit ended with "Upgrade OK" but records still wait for the
       database (--records-db); they are kept in the journal and sent at the
       next start with it, or by --forward-records
  15   every unit ended with "Upgrade OK" and no record waits, but the
       database refused records; they are kept in the journal and tried
       again at the next start with it, or by --forward-records
  130  interrupted (Ctrl-C, SIGTERM, SIGHUP); the port is closed

Several ports: 0 only when every port ended with "Upgrade OK"; otherwise the
code of the first port, in the order given, that did not (130 on Ctrl-C);
11, 14, 15 and 12 (in that order) only when every port ended with "Upgrade OK".
--station: 0 only when every unit ended with "Upgrade OK"; otherwise the code
of the first unit, by number, that did not; 130 after Ctrl-C.
--doctor (also with --records-db): 0 when it finds nothing wrong, 1 when it
finds a problem.
--forward-records: 0 when every record of the journal is in the database,
14 when some still wait (also when the database does not answer), 15 when
the database refused some, 11 when the journal is missing or cannot be read,
130 after Ctrl-C.)";

std::string ParseError(const std::string& text) {
  return "zevuvuri-cli: " + text + "\nRun with --help for usage.\n";
}

}  // namespace

ParseResult ParseCommandLine(int argc, const char* const* argv) {
  CliOptions o;
  CLI::App app{"ZE Vuvuri command-line loader: streams FIRMWARE to the module on PORT, frame by frame,\n"
               "and has it reboot into it. Prints each status text on its own line. Given several\n"
               "ports, upgrades them all at once, each line prefixed with its port, and ends with a\n"
               "summary table. With --station, each port is a slot that upgrades unit after unit."};
  app.footer(kExitCodesHelp);
  app.set_version_flag("--version", "zevuvuri-cli " ZEVUVURI_VERSION, "print the version and exit");
  std::vector<std::string> ports;
  app.add_option("--port", ports,
                 "COM port number N, or a device path such as /dev/ttyUSB0 or /dev/serial/by-id/...; "
                 "give it several times to upgrade several modules at once (default: 1)")
      ->type_name("PORT")
      ->take_all()
      ->allow_extra_args(false);
  app.add_option("--type", o.type, "module type code as decimal text")->capture_default_str();
  app.add_flag("--yes", o.yes, "over the air: start streaming once the module answers a poll, without Enter");
  app.add_option("--sync-timeout", o.sync_timeout_seconds,
                 "give up synchronising after SECONDS, more than 0 and at most 1000000 (default: keep probing)")
      ->type_name("SECONDS");
  std::string pacing = "classic";
  app.add_option("--pacing", pacing,
                 "classic: the pacing modules in the field are tuned to (replies looked for every 10 ms); fast: "
                 "the same bytes, pauses and time limits, each reply taken the moment it arrives (and USB "
                 "serial adapters set to low latency)")
      ->check(CLI::IsMember({"classic", "fast"}))
      ->capture_default_str();
  app.add_flag("--trace", o.trace, "write every frame sent and reply byte received to standard error");
  app.add_flag("--json", o.json,
               "one JSON object per line on standard output instead of plain lines (bytes that are not UTF-8 "
               "become U+FFFD)");
  app.add_flag("--list-ports", o.list_ports,
               "list serial devices with their /dev/serial/by-id names, USB ids and serial numbers, and the "
               "COM numbers that map to them");
  app.add_flag("--doctor", o.doctor,
               "check the station: device permissions, ports held by other programs, ModemManager, USB "
               "latency timers (and any --port given); with --records-db, check the line's database instead: "
               "the connection, the unit_records table and its columns, the right to insert (a probe rolled "
               "back), the clock against the server's, the ODBC driver's per-process logs");
  app.add_option("--report", o.report,
                 "append one JSON line per upgrade to FILE: time, host, port, device, USB adapter, firmware "
                 "size and SHA-256, type, link mode, frames, result, exit code, duration (neither FILE nor the "
                 "forwarder's FILE.sent and FILE.lock beside it may be the firmware file)")
      ->type_name("FILE");
  const std::string default_journal = records::DefaultJournalPath();
  app.add_option("--records-db", o.records_db,
                 "send every record to the line's database through ODBC: CONNECTION is an ODBC connection string "
                 "(Driver={PostgreSQL Unicode};Server=...;Database=...;Uid=...;Pwd=..., or DSN=NAME). Records are "
                 "written to the journal (the --report FILE, by default " +
                     (default_journal.empty() ? std::string("none known here") : default_journal) +
                     ") first; a thread sends them, and the upgrades never wait for the database")
      ->type_name("CONNECTION");
  app.add_option("--station-name", o.station_name, "the station's name in the records (default: the host name)")
      ->type_name("NAME");
  app.add_option("--firmware-sha256", o.firmware_sha256,
                 "flash only the approved image: the firmware read before the wake-up must have this SHA-256 "
                 "(64 hex digits); any other ends with \"Failure : couldn't open file\" and nothing sent (exit 4)")
      ->type_name("HEX");
  app.add_flag("--forward-records", o.forward_records,
               "send the journal's records that the database lacks (--records-db, --report) and exit");
  app.add_flag("--station", o.station,
               "station mode: each --port is a slot that waits for a unit, upgrades it, records it, waits for it "
               "to leave, and again, until --units or Ctrl-C; shows each slot and the shift's yield");
  std::string next = "plug";
  app.add_option("--next", next,
                 "station: plug: a unit is there when the port's device appears (and the last one's has gone); "
                 "enter: when the operator presses Enter (fixed fixtures; one Enter starts every waiting slot); "
                 "scan: when the operator scans the board's serial number (or types it and Enter), which the "
                 "slot that has waited longest takes and its record carries")
      ->check(CLI::IsMember({"plug", "enter", "scan"}))
      ->capture_default_str();
  app.add_option("--units", o.units, "station: end after N units in all (default: run until Ctrl-C)")
      ->type_name("N")
      ->check(CLI::Range(1u, 100000000u));
  app.add_option("FIRMWARE", o.firmware, "firmware file, sent byte for byte")->capture_default_str();

  ParseResult result;
  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp&) {
    result.message = app.help();
    return result;
  } catch (const CLI::CallForVersion& e) {
    result.message = std::string(e.what()) + "\n";
    return result;
  } catch (const CLI::ParseError& e) {
    result.exit_code = static_cast<int>(ExitCode::Usage);
    result.message = std::string("zevuvuri-cli: ") + e.what() + "\nRun with --help for usage.\n";
    result.message_is_error = true;
    return result;
  }
  o.pacing = *ParsePacing(pacing);
  o.next = next == "enter" ? NextUnit::Enter : next == "scan" ? NextUnit::Scan : NextUnit::Plug;
  if (!o.station && (app.count("--next") > 0 || o.units)) {
    result.exit_code = static_cast<int>(ExitCode::Usage);
    result.message = "zevuvuri-cli: --next and --units belong to --station\nRun with --help for usage.\n";
    result.message_is_error = true;
    return result;
  }
  if (o.forward_records && !o.records_db) {
    result.exit_code = static_cast<int>(ExitCode::Usage);
    result.message = ParseError("--forward-records needs --records-db");
    result.message_is_error = true;
    return result;
  }
  // The journal, the pin and the station's name are completed as every front
  // end completes them; --doctor sends nothing and needs no journal.
  station::StationSettings completed;
  completed.report = o.report;
  completed.records_db = o.records_db;
  completed.station_name = o.station_name;
  if (app.count("--firmware-sha256") > 0) completed.firmware_sha256 = o.firmware_sha256.value_or("");
  station::Completion how;
  how.default_journal = !o.doctor;
  if (const auto problem = station::CompleteSettings(completed, how)) {
    result.exit_code = static_cast<int>(ExitCode::Usage);
    result.message = ParseError(*problem);
    result.message_is_error = true;
    return result;
  }
  o.report = completed.report;
  o.firmware_sha256 = completed.firmware_sha256;
  o.station_name = completed.station_name;
  if (!ports.empty()) {
    o.ports = ports;
    o.ports_given = true;
  }
  // The seconds become a count of milliseconds: what is no number or would
  // not fit one is refused rather than turned into a single probe.
  // An empty value (an unset variable in a script) leaves the option unset
  // in the parser: it must not become "keep probing".
  const bool sync_timeout_given = app.count("--sync-timeout") > 0;
  if (sync_timeout_given &&
      !(o.sync_timeout_seconds && *o.sync_timeout_seconds > 0 && *o.sync_timeout_seconds <= kMaxSyncTimeoutSeconds)) {
    result.exit_code = static_cast<int>(ExitCode::Usage);
    result.message = "zevuvuri-cli: --sync-timeout: SECONDS must be more than 0 and at most 1000000\n"
                     "Run with --help for usage.\n";
    result.message_is_error = true;
    return result;
  }
  result.options = o;
  return result;
}

}  // namespace zevuvuri::cli
