// The link over real pseudo-terminals: what the module sends and what the
// loader writes must cross unchanged, and every wait must end.
#include "engine/serial_link.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <thread>

#include "tests/support/pseudo_terminal.h"

namespace zevuvuri {
namespace {

using namespace std::chrono_literals;
using testing::PseudoTerminal;
using testing::TempDir;

// Every case runs in both pacings: they differ only in how arrivals are
// waited for, and that is where races hide.
class SerialLinkTest : public ::testing::TestWithParam<Pacing> {
 protected:
  void SetUp() override { link_.SetPacing(GetParam()); }

  std::atomic<LinkMode> mode_{LinkMode::Serial};
  SerialLink link_{mode_};
  PseudoTerminal module_;

  // Waits until the receive thread has appended `count` bytes.
  bool AwaitCount(std::uint16_t count) {
    for (int i = 0; i < 300 && link_.ReplyCount() < count; ++i) std::this_thread::sleep_for(10ms);
    return link_.ReplyCount() >= count;
  }
};

TEST_P(SerialLinkTest, EveryByteValueCrossesUnchangedBothWays) {
  ASSERT_TRUE(link_.OpenLink(module_.SlavePath()));
  // The bytes a terminal would translate or swallow: XON, XOFF, CR, LF, NUL,
  // the interrupt and end-of-file characters, and every other value.
  std::vector<std::uint8_t> all;
  for (int v : {0x11, 0x13, int{'\r'}, int{'\n'}, 0x00, 0x03, 0x04, 0x1A, 0x7F, 0xFF}) all.push_back(static_cast<std::uint8_t>(v));
  for (int v = 0; v < 256; ++v) all.push_back(static_cast<std::uint8_t>(v));

  EXPECT_TRUE(link_.WriteBytes(all));
  EXPECT_EQ(module_.Read(all.size(), 2s), all);

  link_.ClearReply();
  module_.Write(all);
  ASSERT_TRUE(AwaitCount(static_cast<std::uint16_t>(all.size())));
  EXPECT_EQ(link_.ReplyCount(), all.size());
  EXPECT_EQ(link_.FirstByte(), 0x11);
  link_.CloseLink();
}

TEST_P(SerialLinkTest, WaitReplyReturnsTheFirstByteOfAReplyAndEndsAtItsLimit) {
  ASSERT_TRUE(link_.OpenLink(module_.SlavePath()));

  link_.ClearReply();
  auto begin = std::chrono::steady_clock::now();
  EXPECT_FALSE(link_.WaitReply(300ms));
  auto waited = std::chrono::steady_clock::now() - begin;
  EXPECT_GE(waited, 300ms);
  EXPECT_LT(waited, 1500ms);

  // A reply of several bytes: the count is their number, byte 0 the first.
  link_.ClearReply();
  std::thread late([&] {
    std::this_thread::sleep_for(100ms);
    module_.Write({'0', 'x', 'y'});
  });
  begin = std::chrono::steady_clock::now();
  EXPECT_EQ(link_.WaitReply(2000ms), '0');
  EXPECT_LT(std::chrono::steady_clock::now() - begin, 1000ms) << "returned at the next look, not at the limit";
  late.join();
  ASSERT_TRUE(AwaitCount(3));
  EXPECT_EQ(link_.ReplyCount(), 3);

  // A clear while bytes keep arriving: the next ones land at index 0.
  link_.ClearReply();
  module_.Write({'1'});
  EXPECT_EQ(link_.WaitReply(2000ms), '1');
  link_.CloseLink();
}

TEST_P(SerialLinkTest, OverTheAirPassesAreSlowerButStillDeliver) {
  mode_ = LinkMode::OverTheAir;
  ASSERT_TRUE(link_.OpenLink(module_.SlavePath()));
  link_.ClearReplyAndFirstByte();
  EXPECT_EQ(link_.FirstByte(), 0);
  module_.Write({'0'});
  EXPECT_EQ(link_.WaitReply(2000ms), '0');
  link_.CloseLink();
}

TEST_P(SerialLinkTest, APortHeldByAnotherLinkDoesNotOpenUntilReleased) {
  ASSERT_TRUE(link_.OpenLink(module_.SlavePath()));
  std::atomic<LinkMode> other_mode{LinkMode::Serial};
  SerialLink other(other_mode);
  EXPECT_FALSE(other.OpenLink(module_.SlavePath()));
  EXPECT_EQ(other.LastOpenError().kind, PortFailure::Busy);
  EXPECT_FALSE(other.IsOpen());

  link_.CloseLink();
  EXPECT_TRUE(other.OpenLink(module_.SlavePath())) << "closing releases the port";
  other.CloseLink();
}

// Opens `path` as a terminal program would, in a child process that is not
// root (root passes the exclusive flag): 0 when it opened, else its errno.
int OpenAsAnotherProgram(const std::string& path) {
  const pid_t pid = ::fork();
  if (pid == 0) {
    if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0)) ::_exit(255);
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ::_exit(fd >= 0 ? 0 : errno);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// What an earlier session left on the line is no reply to this one, and no
// other program gets in while the link holds the port.
TEST_P(SerialLinkTest, OpensWithoutWhatWasQueuedAndHoldsThePortAlone) {
  module_.Write({'0', '1'});  // a module that went on talking after the last loader closed the port
  ASSERT_EQ(::chmod(module_.SlavePath().c_str(), 0666), 0);
  ASSERT_TRUE(link_.OpenLink(module_.SlavePath()));
  std::this_thread::sleep_for(100ms);  // several passes of the receive thread
  EXPECT_EQ(link_.ReplyCount(), 0);
  EXPECT_EQ(OpenAsAnotherProgram(module_.SlavePath()), EBUSY);
  link_.CloseLink();
  EXPECT_EQ(OpenAsAnotherProgram(module_.SlavePath()), 0) << "released at close";
}

TEST_P(SerialLinkTest, CloseEndsAQuietReceiveThreadPromptlyAndTheLinkOpensAgain) {
  for (int round = 0; round < 3; ++round) {
    ASSERT_TRUE(link_.OpenLink(module_.SlavePath())) << "round " << round;
    std::this_thread::sleep_for(30ms);  // the receive thread now blocks for a byte
    const auto begin = std::chrono::steady_clock::now();
    link_.CloseLink();
    // A receive thread left blocked would hold the close for ever; the margin
    // is for a busy machine that is slow to run the thread's last steps.
    EXPECT_LT(std::chrono::steady_clock::now() - begin, 1000ms);
    EXPECT_FALSE(link_.IsOpen());
  }
}

std::chrono::nanoseconds ProcessCpuTime() {
  timespec t{};
  ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return std::chrono::seconds{t.tv_sec} + std::chrono::nanoseconds{t.tv_nsec};
}

TEST_P(SerialLinkTest, AbortEndsAWaitAtOnce) {
  ASSERT_TRUE(link_.OpenLink(module_.SlavePath()));
  link_.ClearReply();
  std::thread aborter([&] {
    std::this_thread::sleep_for(50ms);
    link_.Abort();
  });
  const auto begin = std::chrono::steady_clock::now();
  EXPECT_FALSE(link_.WaitReply(2000ms));
  EXPECT_LT(std::chrono::steady_clock::now() - begin, 1000ms) << "half the limit: not waited out";
  aborter.join();
  // Until the link is closed the receive thread waits: an interrupted port
  // reads nothing, and spinning on it would take a whole core.
  const auto cpu_before = ProcessCpuTime();
  std::this_thread::sleep_for(300ms);
  EXPECT_LT(ProcessCpuTime() - cpu_before, 100ms) << "the receive thread spins after the abort";
  EXPECT_FALSE(link_.WriteBytes(std::vector<std::uint8_t>{'X'}));
  link_.CloseLink();
  EXPECT_TRUE(link_.OpenLink(module_.SlavePath())) << "a new open starts without the abort";
  EXPECT_TRUE(link_.WriteBytes(std::vector<std::uint8_t>{'X'}));
  link_.CloseLink();
}

TEST_P(SerialLinkTest, AVanishedModuleIsSeenGoneEndsTheWaitsAndLeavesTheLinkClosable) {
  ASSERT_TRUE(link_.OpenLink(module_.SlavePath()));
  module_.Close();
  link_.ClearReply();
  auto begin = std::chrono::steady_clock::now();
  EXPECT_FALSE(link_.WaitReply(2000ms));
  EXPECT_LT(std::chrono::steady_clock::now() - begin, 1000ms) << "a hang-up is no quiet line";
  EXPECT_TRUE(link_.DeviceGone());
  EXPECT_FALSE(link_.Pause(2000ms)) << "pauses end at once too";
  EXPECT_FALSE(link_.WriteBytes(std::vector<std::uint8_t>{'X'}));
  begin = std::chrono::steady_clock::now();
  link_.CloseLink();
  EXPECT_LT(std::chrono::steady_clock::now() - begin, 1000ms);
  EXPECT_FALSE(link_.OpenLink(module_.SlavePath())) << "the device is gone for good";
}

TEST_P(SerialLinkTest, RepliesThatRaceTheWaitOrCrossSeveralReadsKeepByteZero) {
  ASSERT_TRUE(link_.OpenLink(module_.SlavePath()));
  // Already there before the worker starts waiting.
  link_.ClearReply();
  module_.Write({'0'});
  ASSERT_TRUE(AwaitCount(1));
  auto begin = std::chrono::steady_clock::now();
  EXPECT_EQ(link_.WaitReply(2000ms), '0');
  EXPECT_LT(std::chrono::steady_clock::now() - begin, 1000ms) << "seen at the first look, not at the limit";

  // Two replies in one write: one arrival, byte 0 decides, and nothing of it
  // is left over to pose as the answer to the next request.
  link_.ClearReply();
  module_.Write({'1', '0', '\r', '\n'});
  EXPECT_EQ(link_.WaitReply(2000ms), '1');
  ASSERT_TRUE(AwaitCount(4));
  EXPECT_EQ(link_.ReplyCount(), 4);
  link_.ClearReply();
  std::this_thread::sleep_for(60ms);
  EXPECT_EQ(link_.ReplyCount(), 0) << "the tail of the last reply arrived late";

  // A reply split across reads: the count grows, byte 0 stays.
  std::thread split([&] {
    module_.Write({'0'});
    std::this_thread::sleep_for(30ms);
    module_.Write({'x', 'y'});
  });
  EXPECT_EQ(link_.WaitReply(2000ms), '0');
  split.join();
  ASSERT_TRUE(AwaitCount(3));
  EXPECT_EQ(link_.FirstByte(), '0');
  link_.CloseLink();
}

INSTANTIATE_TEST_SUITE_P(BothPacings, SerialLinkTest, ::testing::Values(Pacing::Classic, Pacing::Fast),
                         [](const ::testing::TestParamInfo<Pacing>& pacing_case) {
                           return std::string(PacingName(pacing_case.param));
                         });

class PortTextTest : public ::testing::Test {
 protected:
  void SetUp() override { ::setenv("ZEVUVURI_PORT_DIR", ports_.Path().c_str(), 1); }
  void TearDown() override { ::unsetenv("ZEVUVURI_PORT_DIR"); }

  PortFailure FailureFor(const std::string& text) {
    std::atomic<LinkMode> mode{LinkMode::Serial};
    SerialLink link(mode);
    EXPECT_FALSE(link.OpenLink(text)) << text;
    return link.LastOpenError().kind;
  }

  TempDir ports_;
};

TEST_F(PortTextTest, ANumberOpensItsComLink) {
  PseudoTerminal module;
  std::filesystem::create_symlink(module.SlavePath(), ports_.Path() + "/com7");
  std::atomic<LinkMode> mode{LinkMode::Serial};
  SerialLink link(mode);
  ASSERT_TRUE(link.OpenLink("7"));
  EXPECT_EQ(link.LastOpenError().device, ports_.Path() + "/com7");
  link.WriteBytes(std::vector<std::uint8_t>{'A'});
  EXPECT_EQ(module.Read(1, 2s), std::vector<std::uint8_t>{'A'});
  link.CloseLink();
}

TEST_F(PortTextTest, TextsThatNameNoSerialPortFailWithTheirReason) {
  EXPECT_EQ(FailureFor(""), PortFailure::BadPortText);
  EXPECT_EQ(FailureFor("0"), PortFailure::BadPortText);
  EXPECT_EQ(FailureFor("01"), PortFailure::BadPortText);
  EXPECT_EQ(FailureFor("COM1"), PortFailure::BadPortText);
  EXPECT_EQ(FailureFor(" 1"), PortFailure::BadPortText);
  EXPECT_EQ(FailureFor("/dev/null"), PortFailure::NotASerialDevice);
  const std::string regular = ports_.Path() + "/not-a-port";
  std::ofstream(regular) << "data";
  EXPECT_EQ(FailureFor(regular), PortFailure::NotASerialDevice);
  EXPECT_EQ(FailureFor(ports_.Path() + "/missing"), PortFailure::NoSuchDevice);
  // A COM link whose device is gone is reported as missing, not skipped.
  std::filesystem::create_symlink(ports_.Path() + "/gone", ports_.Path() + "/com3");
  EXPECT_EQ(FailureFor("3"), PortFailure::NoSuchDevice);
}

}  // namespace
}  // namespace zevuvuri
