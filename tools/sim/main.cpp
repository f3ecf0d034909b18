// zevuvuri-sim: a strict simulated radio module on a pseudo-terminal, for tests, the demo
// and the benchmark. The command line is parsed into SimOptions and handed to the loop.

#include <CLI/CLI.hpp>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "fault_options.h"
#include "pty_endpoint.h"
#include "simulator.h"
#include "zevuvuri_version.h"

namespace {

using namespace zevuvuri::sim;

constexpr const char* kDescription =
    "Simulated radio module for the ZE Vuvuri loader. Prints the slave device of a new\n"
    "pseudo-terminal on the first line of standard output, answers the loader as a module\n"
    "would, and reports on standard error every byte that breaks the upgrade protocol.";

constexpr const char* kFooter = R"(Faults name a message by PHASE[:N], N counted from 1 within the session:
  sync      the N-th synchronisation probe "X"
  poll      the N-th poll frame
  data      the N-th data frame
  end       the end header with its 56 fillers
Without :N a delay or burst applies to every message of the phase, and --vanish to
the first. Faults and --delay apply to the first session only unless
--fault-every-session is given; a session begins when the loader opens the port or
sends a new wake-up.

With --units K, K boards take turns on the --com port, each on a new pseudo-terminal
whose device is printed on a line of its own when it is plugged. Each board has one
session: a second one (the loader flashing a board again before it was unplugged) is
a violation. The fault options apply to every board; --board N:FAULTS gives board N
its own, each replacing the same option of the command line, e.g.
  --units 3 --board '2:--refuse-data 3' --board '3:--vanish data:20'
where --vanish pulls the board while the loader holds its port. At the end a line per
board says whether it was upgraded and how long after its plug the wake-up came.

Exit status:
  0  the asked-for upgrades completed without a violation (with --units: every board
     plugged, opened by the loader once, and unplugged)
  1  the loader broke the protocol (each violation is a "sim: violation:" line)
  2  bad command line
  3  --timeout passed before the upgrades completed
  4  a --vanish fault closed the port (not with --units, where it pulls a board)
  5  stopped by SIGINT or SIGTERM
  6  system error (pseudo-terminal, port link, reading --expect, writing --save)
)";

bool ReadFile(const std::string& path, std::vector<std::uint8_t>* bytes) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  bytes->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return !in.bad();
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{kDescription, "zevuvuri-sim"};
  app.footer(kFooter);
  app.get_formatter()->column_width(34);
  app.set_version_flag("--version", "zevuvuri-sim " ZEVUVURI_VERSION, "Print the version and exit");

  SimOptions options;

  std::string mode = "serial";
  app.add_option("--mode", mode, "Link mode the module announces: serial (\"1\") or air (\"0\")")
      ->check(CLI::IsMember({"serial", "air"}))
      ->capture_default_str();
  std::optional<unsigned> type;
  app.add_option("--type", type, "Module type code every frame must carry (default: the first frame's)")
      ->check(CLI::Range(0u, 255u));
  app.add_option("--com", options.com,
                 "Also create the link comN to the slave in $ZEVUVURI_PORT_DIR "
                 "(default ~/.config/zevuvuri/ports)");
  std::string expect;
  app.add_option("--expect", expect, "Check every payload and the frame count against FILE")
      ->check(CLI::ExistingFile);
  std::string save;
  app.add_option("--save", save, "Write the received firmware to FILE when an upgrade completes");
  app.add_option("--upgrades", options.upgrades, "Number of complete upgrades to wait for")
      ->check(CLI::Range(1u, 1000000u))
      ->capture_default_str();
  std::optional<double> timeout;
  app.add_option("--timeout", timeout, "Give up after SECONDS without the upgrades (default: never)")
      ->check(CLI::Range(0.001, 1e6));
  unsigned linger_ms = 2000;
  app.add_option("--linger-ms", linger_ms,
                 "After the last upgrade, wait this long for the loader to close the port")
      ->capture_default_str();
  app.add_option("--units", options.units,
                 "Play K boards in turn on the --com port: plug one, let the loader upgrade it, unplug it once "
                 "the loader has closed the port, plug the next")
      ->check(CLI::Range(1u, 1000000u));
  unsigned plug_gap_ms = 300;
  app.add_option("--plug-gap-ms", plug_gap_ms,
                 "With --units: how long a board stays plugged after the loader closed its port, and how long "
                 "the port stays empty before the next board")
      ->capture_default_str();
  std::vector<std::string> boards;
  app.add_option("--board", boards,
                 "N:FAULTS, with --units: fault options for board N alone, e.g. '2:--refuse-data 3'")
      ->type_name("N:FAULTS");
  app.add_option("--wire-baud", options.model.wire_baud,
                 "Emulate the wire time of every byte at this baud rate (10 bits a byte)")
      ->check(CLI::Range(1u, 100000000u));
  unsigned usb_latency = 0;
  app.add_option("--usb-latency-ms", usb_latency,
                 "Play a USB serial adapter's latency timer: what the module sends reaches the loader only at "
                 "the next tick of this period (an FTDI adapter's default is 16)")
      ->check(CLI::Range(1u, 1000u));
  FaultOptions fault_options;
  AddFaultOptions(app, fault_options);
  app.add_flag("--fault-every-session", fault_options.plan.every_session,
               "Apply faults and --delay in every session, not only the first");
  app.add_flag("-v,--verbose", options.verbose, "Log every message and reply with a time stamp");

  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForVersion& e) {
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    app.exit(e);
    return kExitUsage;
  }

  std::string error;
  auto usage = [&](const std::string& message) {
    std::fprintf(stderr, "zevuvuri-sim: %s\n", message.c_str());
    return kExitUsage;
  };
  options.model.mode = mode == "air" ? LinkMode::OverTheAir : LinkMode::Serial;
  if (type) options.model.type = static_cast<std::uint8_t>(*type);
  auto faults = BuildFaultPlan(fault_options, &error);
  if (!faults) return usage(error);
  options.model.faults = *faults;
  if (options.units) {
    if (!options.com) return usage("--units needs --com: each board is plugged as that COM port");
    options.board_faults.assign(*options.units, *faults);
    for (const auto& text : boards) {
      auto board = ParseBoardFaults(text, fault_options, &error);
      if (!board) return usage(error);
      if (board->board > *options.units) {
        return usage("--board '" + text + "': there are only " + std::to_string(*options.units) + " boards");
      }
      options.board_faults[board->board - 1] = board->plan;
    }
    options.plug_gap = std::chrono::milliseconds{plug_gap_ms};
  } else if (!boards.empty()) {
    return usage("--board needs --units");
  }
  options.model.usb_latency = std::chrono::milliseconds{usb_latency};
  if (timeout) {
    options.timeout = std::chrono::milliseconds{static_cast<long long>(*timeout * 1000.0)};
  }
  options.linger = std::chrono::milliseconds{linger_ms};
  if (!expect.empty()) {
    std::vector<std::uint8_t> bytes;
    if (!ReadFile(expect, &bytes)) {
      std::fprintf(stderr, "zevuvuri-sim: cannot read %s\n", expect.c_str());
      return kExitSystemError;
    }
    options.model.expected = std::move(bytes);
  }
  if (!save.empty()) options.save = save;
  options.port_dir = PortLink::DefaultDirectory();
  return RunSimulator(options);
}
