#include "tools/cli/cli_options.h"

#include <CLI/CLI.hpp>

#include "tools/cli/exit_codes.h"

namespace zevuvuri::cli {

namespace {

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
  130  interrupted (Ctrl-C); the port is closed)";

}  // namespace

ParseResult ParseCommandLine(int argc, const char* const* argv) {
  CliOptions o;
  CLI::App app{"ZE Vuvuri command-line loader: streams FIRMWARE to the module on PORT, frame by frame,\n"
               "and has it reboot into it. Prints each status text on its own line."};
  app.footer(kExitCodesHelp);
  app.add_option("--port", o.port, "COM port number N, or a device path such as /dev/ttyUSB0")
      ->capture_default_str();
  app.add_option("--type", o.type, "module type code as decimal text")->capture_default_str();
  app.add_flag("--yes", o.yes, "over the air: start streaming once the module answers a poll, without Enter");
  app.add_option("--sync-timeout", o.sync_timeout_seconds,
                 "give up synchronising after SECONDS (default: keep probing)")
      ->check(CLI::PositiveNumber);
  app.add_flag("--trace", o.trace, "write every frame sent and reply byte received to standard error");
  app.add_flag("--json", o.json, "one JSON object per line on standard output instead of plain lines");
  app.add_flag("--list-ports", o.list_ports, "list serial devices and the COM numbers that map to them");
  app.add_option("FIRMWARE", o.firmware, "firmware file, sent byte for byte")->capture_default_str();

  ParseResult result;
  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp&) {
    result.message = app.help();
    return result;
  } catch (const CLI::ParseError& e) {
    result.exit_code = static_cast<int>(ExitCode::Usage);
    result.message = std::string("zevuvuri-cli: ") + e.what() + "\nRun with --help for usage.\n";
    result.message_is_error = true;
    return result;
  }
  result.options = o;
  return result;
}

}  // namespace zevuvuri::cli
