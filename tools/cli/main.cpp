// zevuvuri-cli: firmware upgrades from the command line, for scripts and
// factory test stations, one module or several at once. It drives the same
// controller as the window and prints what the window's status line would show.
#include <cstdio>
#include <string>
#include <vector>

#include "records/database_check.h"
#include "tools/cli/cli_options.h"
#include "tools/cli/console.h"
#include "station/exit_codes.h"
#include "tools/cli/forward_records.h"
#include "tools/cli/output_check.h"
#include "tools/cli/port_listing.h"
#include "tools/cli/station_doctor.h"
#include "tools/cli/station_run.h"

namespace {

using namespace zevuvuri::cli;
using zevuvuri::station::ExitCode;

// The station's own checks, or with --records-db the line's database's.
int Doctor(const CliOptions& options) {
  std::vector<Finding> findings;
  if (options.records_db) {
    for (auto& f : zevuvuri::records::CheckRecordsDatabase(*options.records_db)) {
      findings.push_back({f.problem, std::move(f.text), std::move(f.fix)});
    }
  } else {
    // Only the ports given on the command line are checked beside the
    // kernel's devices; the default "1" is not one of them.
    const std::vector<std::string> ports = options.ports_given ? options.ports : std::vector<std::string>{};
    findings = CheckStation(ports);
    if (!DoctorAvailable()) {
      for (const auto& f : findings) std::fprintf(stderr, "zevuvuri-cli: %s\n", f.text.c_str());
      return static_cast<int>(ExitCode::Usage);
    }
  }
  int problems = 0;
  for (const auto& f : findings) {
    std::printf("%-8s %s\n", f.problem ? "PROBLEM" : "ok", f.text.c_str());
    if (!f.fix.empty()) std::printf("         fix: %s\n", f.fix.c_str());
    problems += f.problem ? 1 : 0;
  }
  std::printf("%s\n", problems == 0 ? "no problems found"
                                    : (std::to_string(problems) + (problems == 1 ? " problem" : " problems") +
                                       " found")
                                          .c_str());
  return problems == 0 ? 0 : static_cast<int>(ExitCode::DoctorFound);
}

// Output that could not be written fails a run that would have succeeded.
int Ending(int code) { return code == 0 && OutputFailed() ? static_cast<int>(ExitCode::Output) : code; }

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> args = Utf8Arguments(argc, argv);
  std::vector<const char*> arg_pointers;
  for (const auto& a : args) arg_pointers.push_back(a.c_str());
  const ParseResult parsed = ParseCommandLine(static_cast<int>(arg_pointers.size()), arg_pointers.data());
  if (!parsed.options) {
    std::fputs(parsed.message.c_str(), parsed.message_is_error ? stderr : stdout);
    return Ending(parsed.exit_code);
  }
  const CliOptions& options = *parsed.options;
  if (options.list_ports) {
    for (const auto& line : ListPorts()) std::printf("%s\n", line.c_str());
    return Ending(0);
  }
  if (options.doctor) return Ending(Doctor(options));
  SetUpConsole();
  const int code =
      options.forward_records ? ForwardRecords(*options.report, *options.records_db) : RunStation(options);
  ReleaseConsole();
  return Ending(code);
}
