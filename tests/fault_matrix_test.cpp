// Faults end to end: the controller in this process against the simulator on
// a real pseudo-terminal. Each case checks the status text the fault ends
// with, that the port is released, and that the next upgrade in the same
// process succeeds.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "engine/status_texts.h"
#include "engine/upgrade_controller.h"
#include "tests/support/child_process.h"
#include "tests/support/confirming_operator.h"
#include "tests/support/pseudo_terminal.h"

namespace zevuvuri {
namespace {

using namespace std::chrono_literals;
using testing::ChildProcess;
using testing::TempDir;

struct FaultCase {
  const char* name;
  std::vector<std::string> module;  // simulator options, the fault among them
  std::string status;               // what the faulty upgrade ends with
  bool module_survives = true;      // false: the module vanishes; a new one takes the next upgrade
  const char* mode = "air";
};

// Test names say what the case is; the parameter's bytes would say nothing.
void PrintTo(const FaultCase& c, std::ostream* out) { *out << c.name; }

class ModuleFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    firmware_ = dir_.Path() + "/fw.bin";
    std::ofstream out(firmware_, std::ios::binary);
    for (int i = 0; i < 400; ++i) out.put(static_cast<char>(i * 37));
  }
  std::string StartModule(const std::vector<std::string>& options, const char* mode = "air") {
    std::vector<std::string> argv = {ZEVUVURI_SIM_PATH, "--mode", mode, "--timeout", "60", "--linger-ms", "300"};
    argv.insert(argv.end(), options.begin(), options.end());
    module_ = std::make_unique<ChildProcess>(argv);
    const auto device = module_->ReadLine(10s);
    EXPECT_TRUE(device) << "the simulator did not start";
    return device.value_or("");
  }
  std::string Upgrade(const std::string& device) {
    const std::wstring port(device.begin(), device.end());
    const std::wstring file(firmware_.begin(), firmware_.end());
    EXPECT_TRUE(operator_.Run(controller_, port, file)) << "the upgrade did not end";
    return operator_.LastStatus();
  }
  static bool PortIsFree(const std::string& device) {
    std::atomic<LinkMode> mode{LinkMode::Serial};
    SerialLink probe(mode);
    const bool opened = probe.OpenLink(device);
    probe.CloseLink();
    return opened;
  }

  TempDir dir_;
  std::string firmware_;
  testing::ConfirmingOperator operator_;
  UpgradeController controller_{operator_};
  std::unique_ptr<ChildProcess> module_;
};

// Each case in both pacings: the same bytes and limits, waited for differently.
class FaultMatrix : public ModuleFixture, public ::testing::WithParamInterface<std::tuple<FaultCase, Pacing>> {};

TEST_P(FaultMatrix, EndsWithItsTextReleasesThePortAndTheNextUpgradeWorks) {
  const FaultCase& c = std::get<0>(GetParam());
  controller_.SetPacing(std::get<1>(GetParam()));
  controller_.SetSyncLimit(1500ms);  // a module that vanished while synchronising never answers
  std::vector<std::string> options = c.module;
  if (c.status == "Upgrade OK") options.insert(options.end(), {"--upgrades", "2"});
  std::string device = StartModule(options, c.mode);
  EXPECT_EQ(Upgrade(device), c.status);
  EXPECT_FALSE(controller_.Link().IsOpen());
  if (!c.module_survives) {
    // A device that goes away ends the upgrade at once, not at a time limit:
    // the worker's last wait before the end is far shorter than the shortest
    // limit (1000 ms for the end's answer). Timed from the worker's last
    // report, so a busy machine stretching the steps before does not count.
    EXPECT_LT(operator_.QuietBeforeEnd(), 900ms);
    EXPECT_EQ(module_->Wait(10s), 4) << "the simulator vanished as asked";
    device = StartModule({}, c.mode);
  }
  EXPECT_TRUE(PortIsFree(device)) << "the port is released after the failure";
  EXPECT_EQ(Upgrade(device), "Upgrade OK");
  EXPECT_EQ(module_->Wait(10s), 0) << module_->Stderr();
}

INSTANTIATE_TEST_SUITE_P(
    Faults, FaultMatrix,
    ::testing::Combine(::testing::Values(
        // The module vanishes (its pseudo-terminal closes) in each phase.
        FaultCase{"VanishWhileSynchronising", {"--vanish", "sync"}, "Failure : COM port lost", false},
        FaultCase{"VanishWhilePolling", {"--vanish", "poll"}, "Did not get local ACK", false},
        FaultCase{"VanishInTheData", {"--vanish", "data:3"}, "Write Error", false},
        FaultCase{"VanishAtTheEnd", {"--vanish", "end"}, "Did not get local ACK for reboot", false},
        // A module that resets into its new firmware as soon as it has
        // acknowledged the end has it: the loader does not wait for it.
        FaultCase{"HangUpOnceTheEndIsAcknowledged", {"--hang-up-after", "end"}, "Upgrade OK", false},
        // Bytes behind every reply, in the reply's own write: only byte 0 counts.
        FaultCase{"JunkAfterEveryReplyOverTheAir", {"--junk-after-reply", "2"}, "Upgrade OK"},
        FaultCase{"JunkAfterEveryReplyOnASerialLink", {"--junk-after-reply", "3"}, "Upgrade OK", true, "serial"},
        // Replies inside and outside the 2000 ms and 1000 ms limits. A busy
        // machine moves both sides: classic pacing counts its limits in 10 ms
        // sleeps, which load stretches, and either pacing can be late to read
        // the simulator's answer, which can be late to send it. So an answer
        // in time comes at three quarters of the limit at most, and a late
        // one at four times the limit, which no stretched count reaches; the
        // loader lets go of the port long before, and the simulator drops the
        // answer then. The exact boundaries are on a virtual clock in
        // upgrade_timing_test.
        FaultCase{"PollAnsweredInTime", {"--delay", "poll:1=1500"}, "Upgrade OK"},
        FaultCase{"PollAnsweredTooLate", {"--delay", "poll:1=8000"}, "Did not get local ACK"},
        FaultCase{"DataAnsweredInTime", {"--delay", "data:2=1500"}, "Upgrade OK"},
        FaultCase{"DataAnsweredTooLate", {"--delay", "data:2=8000"}, "Write Error"},
        FaultCase{"EndAnsweredInTime", {"--delay", "end=750"}, "Upgrade OK"},
        FaultCase{"EndAnsweredTooLate", {"--delay", "end=4000"}, "Did not get local ACK for reboot"},
        // Garbage bursts larger than the 64 KiB buffer, before the answer.
        FaultCase{"BurstBeforeTheSyncAnswer", {"--burst", "sync:1=70000"}, "Upgrade OK"},
        FaultCase{"BurstBeforeThePollAnswer", {"--burst", "poll:1=70000"}, "Did not get local ACK"},
        FaultCase{"BurstBeforeADataAnswer", {"--burst", "data:2=70000"}, "Write Error"},
        FaultCase{"BurstBeforeTheEndAnswer", {"--burst", "end=70000"}, "Did not get local ACK for reboot"},
        FaultCase{"BurstAfterTheEndAnswer", {"--burst-after", "end=70000"}, "Upgrade OK"},
        // Refusals.
        FaultCase{"PollRefused", {"--refuse-poll", "1"}, "Did not get local ACK"},
        FaultCase{"DataRefused", {"--refuse-data", "4"}, "Write Error"},
        FaultCase{"EndRefusedOverTheAir", {"--end-reply", "2"}, "Did not get local ACK for reboot"}),
                       ::testing::Values(Pacing::Classic, Pacing::Fast)),
    [](const ::testing::TestParamInfo<std::tuple<FaultCase, Pacing>>& param) {
      return std::string(std::get<0>(param.param).name) + "_" + std::string(PacingName(std::get<1>(param.param)));
    });

class PortAndFileFaults : public ModuleFixture {};

TEST_F(PortAndFileFaults, APortHeldElsewhereOrNamingNoTerminalFailsToOpenAndLeavesNothingBehind) {
  const std::string device = StartModule({});
  std::atomic<LinkMode> mode{LinkMode::Serial};
  SerialLink holder(mode);
  ASSERT_TRUE(holder.OpenLink(device));
  EXPECT_EQ(Upgrade(device), "Failure : couldn't initialize COM port");
  holder.CloseLink();

  const std::string regular = dir_.Path() + "/regular";
  std::ofstream(regular) << "not a port";
  EXPECT_EQ(Upgrade(regular), "Failure : couldn't initialize COM port");
  EXPECT_EQ(Upgrade("/dev/null"), "Failure : couldn't initialize COM port");
  EXPECT_EQ(Upgrade(device), "Upgrade OK");
  EXPECT_EQ(module_->Wait(10s), 0) << module_->Stderr();
}

TEST_F(PortAndFileFaults, AFileThatShrinksOrGrowsWhileStreamedChangesNothingOnTheWire) {
  const std::string original = dir_.Path() + "/original.bin";
  const std::string received = dir_.Path() + "/received.bin";
  for (const bool grow : {false, true}) {
    SCOPED_TRACE(grow ? "growing" : "shrinking");
    SetUp();  // 400 bytes
    std::filesystem::copy_file(firmware_, original, std::filesystem::copy_options::overwrite_existing);
    // The third data frame's answer is held back long enough to change the file.
    const std::string device = StartModule({"--delay", "data:3=1500", "--expect", original, "--save", received});
    std::thread editor([&] {
      std::this_thread::sleep_for(900ms);  // synchronisation and the first frames are over by then
      if (grow) {
        std::ofstream(firmware_, std::ios::binary | std::ios::app) << std::string(500, 'g');
      } else {
        std::filesystem::resize_file(firmware_, 150);
      }
    });
    // The image was taken whole before the wake-up: the module gets the 400
    // bytes the upgrade began with, neither a cut nor a grown file.
    EXPECT_EQ(Upgrade(device), "Upgrade OK");
    editor.join();
    EXPECT_EQ(module_->Wait(10s), 0) << module_->Stderr();
    std::ifstream a(original, std::ios::binary), b(received, std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(a), {}), std::string(std::istreambuf_iterator<char>(b), {}));
  }
}

}  // namespace
}  // namespace zevuvuri
