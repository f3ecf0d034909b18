// zevuvuri-sim: a strict simulated radio module on a pseudo-terminal, for tests, the demo
// and the benchmark. The command line is parsed into SimOptions and handed to the loop.

#include <CLI/CLI.hpp>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

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

Exit status:
  0  the asked-for upgrades completed without a violation
  1  the loader broke the protocol (each violation is a "sim: violation:" line)
  2  bad command line
  3  --timeout passed before the upgrades completed
  4  a --vanish fault closed the port
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
  FaultPlan& faults = options.model.faults;

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
  app.add_option("--wire-baud", options.model.wire_baud,
                 "Emulate the wire time of every byte at this baud rate (10 bits a byte)")
      ->check(CLI::Range(1u, 100000000u));
  unsigned usb_latency = 0;
  app.add_option("--usb-latency-ms", usb_latency,
                 "Play a USB serial adapter's latency timer: what the module sends reaches the loader only at "
                 "the next tick of this period (an FTDI adapter's default is 16)")
      ->check(CLI::Range(1u, 1000u));
  unsigned reply_delay = 0;
  app.add_option("--reply-delay-ms", reply_delay, "Hold back every reply of every session by MS");

  std::vector<std::string> delays;
  app.add_option("--delay", delays, "PHASE[:N]=MS: hold back the reply to those messages by MS more");
  app.add_option("--ignore-sync", faults.ignore_sync_probes, "Leave the first K probes unanswered");
  app.add_flag("--sync-junk-first", faults.sync_junk_first,
               "Send a junk byte before the first synchronisation answer");
  app.add_option("--refuse-poll", faults.refuse_poll, "Answer poll frame N with \"1\"");
  app.add_option("--ignore-poll", faults.ignore_poll, "Do not answer poll frame N");
  app.add_option("--refuse-data", faults.refuse_data, "Answer data frame N with \"1\"");
  app.add_option("--ignore-data", faults.ignore_data, "Do not answer data frame N");
  std::string end_reply = "0";
  app.add_option("--end-reply", end_reply,
                 "Answer to the end: 0, 2 (accepted in serial mode only) or none")
      ->capture_default_str();
  app.add_option("--junk-after-reply", faults.junk_after_reply,
                 "Send K junk bytes after every reply byte");
  app.add_option("--junk-byte", faults.junk_byte,
                 "The value of every junk byte, 0-255 (default 165); 19 is XOFF, which a line with XON/XOFF left "
                 "on would take as flow control")
      ->check(CLI::Range(0, 255));
  std::vector<std::string> bursts;
  app.add_option("--burst", bursts,
                 "PHASE[:N]=K: K junk bytes (any number) before the reply to those messages");
  std::vector<std::string> bursts_after;
  app.add_option("--burst-after", bursts_after, "PHASE[:N]=K: K junk bytes after the reply");
  std::string vanish;
  app.add_option("--vanish", vanish, "PHASE[:N]: close the port and exit instead of answering");
  app.add_flag("--fault-every-session", faults.every_session,
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
  for (const auto& text : delays) {
    auto rule = ParseDelayRule(text, &error);
    if (!rule) return usage("--delay " + error);
    faults.delays.push_back(*rule);
  }
  for (const auto* list : {&bursts, &bursts_after}) {
    for (const auto& text : *list) {
      auto burst = ParseBurst(text, list == &bursts_after, &error);
      if (!burst) return usage("--burst " + error);
      faults.bursts.push_back(*burst);
    }
  }
  if (!vanish.empty()) {
    auto selector = ParseSelector(vanish, &error);
    if (!selector) return usage("--vanish " + error);
    if (selector->number == 0) selector->number = 1;
    faults.vanish = *selector;
  }
  auto end_answer = ParseEndAnswer(end_reply, &error);
  if (!end_answer) return usage("--end-reply " + error);
  faults.end_answer = *end_answer;
  faults.reply_delay = std::chrono::milliseconds{reply_delay};
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
