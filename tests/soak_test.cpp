// 200 upgrades in one process, success alternating with each kind of failure,
// against modules on real pseudo-terminals: afterwards the process holds the
// same file descriptors and threads as before, and no more memory than
// allocator noise. Prints its figures.
#include <gtest/gtest.h>

#include <dirent.h>

#include <filesystem>
#include <fstream>
#include <thread>

#include "engine/upgrade_controller.h"
#include "tests/support/confirming_operator.h"
#include "tests/support/module_on_pty.h"

namespace zevuvuri {
namespace {

using namespace std::chrono_literals;
using sim::FaultPlan;
using testing::FaultPlanWith;
using testing::ModuleConfig;
using testing::ModuleOnPty;
using testing::TempDir;

int OpenDescriptors() {
  int n = 0;
  for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator("/proc/self/fd")) ++n;
  return n;
}

long StatusField(const std::string& field) {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind(field + ":", 0) == 0) return std::stol(line.substr(field.size() + 1));
  }
  return -1;
}

std::wstring Wide(const std::string& s) { return std::wstring(s.begin(), s.end()); }

TEST(Soak, TwoHundredUpgradesLeaveNoDescriptorThreadOrMemoryBehind) {
  TempDir dir;
  const std::string firmware = dir.Path() + "/fw.bin";
  std::ofstream(firmware, std::ios::binary) << std::string(120, 'f');
  testing::ConfirmingOperator station;
  UpgradeController controller(station);

  // Each kind of ending, and the module behaviour that leads to it.
  struct Kind_ {
    const char* name;
    UpgradeOutcome outcome;
    FaultPlan faults;  // of a module over the air
    bool bad_port = false;
    bool missing_file = false;
  };
  const std::vector<Kind_> failures = {
      {"poll refused", UpgradeOutcome::PollRefused, FaultPlanWith(&FaultPlan::refuse_poll, 1u)},
      {"data refused", UpgradeOutcome::FrameRefused, FaultPlanWith(&FaultPlan::refuse_data, 1u)},
      {"reboot refused", UpgradeOutcome::RebootRefused,
       FaultPlanWith(&FaultPlan::end_answer, sim::EndAnswer::RebootAck)},
      {"port failure", UpgradeOutcome::PortFailure, {}, true},
      {"file missing", UpgradeOutcome::FileFailure, {}, false, true},
  };

  auto upgrade = [&](const Kind_& k) {
    ModuleOnPty module(ModuleConfig(true, k.faults));
    const std::string port = k.bad_port ? dir.Path() : module.Port();
    const std::string file = k.missing_file ? dir.Path() + "/missing.bin" : firmware;
    EXPECT_EQ(station.Run(controller, Wide(port), Wide(file)), k.outcome) << k.name;
  };
  const Kind_ success{"success", UpgradeOutcome::Ok, {}};

  upgrade(success);  // warm-up: first-use allocations belong to the baseline
  // A finished worker thread may still be on its way out.
  auto settled = [] {
    for (int i = 0; i < 100 && StatusField("Threads") > 1; ++i) std::this_thread::sleep_for(10ms);
  };
  settled();
  const int fds_before = OpenDescriptors();
  const long threads_before = StatusField("Threads");
  const long rss_before = StatusField("VmRSS");

  int count = 0;
  for (int i = 0; count < 200; ++i) {
    upgrade(success);
    upgrade(failures[static_cast<std::size_t>(i) % failures.size()]);
    count += 2;
  }
  settled();
  const int fds_after = OpenDescriptors();
  const long threads_after = StatusField("Threads");
  const long rss_after = StatusField("VmRSS");

  std::printf("soak: %d upgrades; descriptors %d -> %d; threads %ld -> %ld; resident %ld kB -> %ld kB\n", count,
              fds_before, fds_after, threads_before, threads_after, rss_before, rss_after);
  EXPECT_EQ(fds_after, fds_before);
  EXPECT_EQ(threads_after, threads_before);
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
  // Sanitizers keep freed memory in quarantine; without them, 200 upgrades may
  // move the heap by allocator noise only.
  EXPECT_LT(rss_after - rss_before, 1024) << "kB";
#endif
}

}  // namespace
}  // namespace zevuvuri
