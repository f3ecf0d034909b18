// Who holds a port: real processes holding real pseudo-terminals, found by
// the device they hold rather than by the name their fd link shows.
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <thread>

#include "engine/port_diagnosis.h"
#include "tests/support/child_process.h"
#include "tests/support/pseudo_terminal.h"

namespace zevuvuri {
namespace {

using namespace std::chrono_literals;
using testing::ChildProcess;
using testing::PseudoTerminal;
using testing::TempDir;

bool Lists(const std::vector<std::string>& holders, int pid, const std::string& name) {
  const std::string entry = std::to_string(pid) + " (" + name + ")";
  return std::find(holders.begin(), holders.end(), entry) != holders.end();
}

// Polls ProcessesHolding until `pid` shows up under `name` or `limit`
// passes: a child opens the device some time after it has been started, and
// a shell that opens it for the program it runs holds it under its own name
// until that program has taken its place.
std::vector<std::string> HoldersOnceListed(const std::string& device, int pid, const std::string& name,
                                           std::chrono::milliseconds limit) {
  const auto until = std::chrono::steady_clock::now() + limit;
  for (;;) {
    auto holders = ProcessesHolding(device);
    if (Lists(holders, pid, name)) return holders;
    if (std::chrono::steady_clock::now() > until) return holders;
    std::this_thread::sleep_for(20ms);
  }
}

// A process in a mount namespace of its own, on a devpts instance of its own,
// holding that instance's terminal numbered as `slave` is in ours: its fd
// link reads exactly `slave`, and the device has the same device number.
class TerminalOfAnotherInstance {
 public:
  explicit TerminalOfAnotherInstance(const std::string& slave) {
    const unsigned index = static_cast<unsigned>(std::stoul(slave.substr(slave.rfind('/') + 1)));
    int ready[2];
    if (::pipe(ready) != 0) return;
    pid_ = ::fork();
    if (pid_ == 0) {
      ::close(ready[0]);
      ::prctl(PR_SET_PDEATHSIG, SIGKILL);
      char answer = Hold(index) ? 'y' : 'n';
      (void)!::write(ready[1], &answer, 1);
      if (answer == 'y') ::pause();
      ::_exit(0);
    }
    ::close(ready[1]);
    pollfd p{ready[0], POLLIN, 0};
    char answer = 'n';
    if (pid_ > 0 && ::poll(&p, 1, 10000) == 1 && ::read(ready[0], &answer, 1) == 1) holding_ = answer == 'y';
    ::close(ready[0]);
  }
  ~TerminalOfAnotherInstance() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
  bool Holding() const { return holding_; }
  int Pid() const { return pid_; }

 private:
  // In the child: only system calls from here on.
  static bool Hold(unsigned index) {
    if (::unshare(CLONE_NEWNS) != 0) return false;
    if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return false;
    if (::mount("devpts", "/dev/pts", "devpts", 0, "newinstance,ptmxmode=0666") != 0) return false;
    // Masters are taken (and kept) until the instance hands out our number.
    for (unsigned taken = 0; taken <= index; ++taken) {
      const int master = ::open("/dev/pts/ptmx", O_RDWR | O_NOCTTY);
      unsigned number = 0;
      int unlock = 0;
      if (master < 0 || ::ioctl(master, TIOCGPTN, &number) != 0 || ::ioctl(master, TIOCSPTLCK, &unlock) != 0) {
        return false;
      }
      if (number != index) continue;
      char path[32];
      const int n = ::snprintf(path, sizeof path, "/dev/pts/%u", number);
      return n > 0 && ::open(path, O_RDWR | O_NOCTTY) >= 0;
    }
    return false;
  }

  int pid_ = -1;
  bool holding_ = false;
};

TEST(ProcessesHolding, NamesWhoHoldsTheDeviceByAnyNameAndNotATerminalOfAnotherInstanceNamedAlike) {
  PseudoTerminal port;
  const std::string device = port.SlavePath();
  EXPECT_TRUE(ProcessesHolding(device).empty()) << "nobody holds a terminal just made";

  TerminalOfAnotherInstance other(device);
  if (!other.Holding()) GTEST_SKIP() << "no mount namespace or devpts instance of its own here (needs root)";
  // The other process's fd link reads as our device's path...
  bool named_alike = false;
  std::error_code ec;
  for (const auto& fd : std::filesystem::directory_iterator("/proc/" + std::to_string(other.Pid()) + "/fd", ec)) {
    std::error_code link_ec;
    named_alike = named_alike || std::filesystem::read_symlink(fd.path(), link_ec).string() == device;
  }
  ASSERT_TRUE(named_alike) << "the scenario needs a link text equal to " << device;
  // ...but it holds another device: not a holder.
  const auto alike = ProcessesHolding(device);
  EXPECT_TRUE(alike.empty()) << "listed: " << (alike.empty() ? "" : alike.front());

  // A real holder is named, whether the port is given by its device or by a
  // link to it (as a COM port's name is).
  ChildProcess holder({"/bin/sh", "-c", "exec sleep 30 <>" + device});
  auto holders = HoldersOnceListed(device, holder.Pid(), "sleep", 10s);
  EXPECT_TRUE(Lists(holders, holder.Pid(), "sleep"));
  EXPECT_EQ(holders.size(), 1u);
  TempDir dir;
  const std::string link = dir.Path() + "/com1";
  std::filesystem::create_symlink(device, link);
  EXPECT_TRUE(Lists(ProcessesHolding(link), holder.Pid(), "sleep"));
}

}  // namespace
}  // namespace zevuvuri
