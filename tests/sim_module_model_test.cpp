// The simulated module's state machine, driven with hand-made byte sequences: whole
// upgrades in both link modes, each kind of violation, sessions, and the faults.

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "fault_plan.h"
#include "module_model.h"

namespace zevuvuri::sim {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes Text(std::string_view text) { return Bytes(text.begin(), text.end()); }
Bytes Repeat(std::uint8_t byte, std::size_t count) { return Bytes(count, byte); }

Bytes Header(std::uint32_t offset, std::uint8_t marker, std::uint8_t type) {
  const auto high =
      static_cast<std::uint8_t>(marker == 0 ? 0 : marker | ((offset >> 16) & 0x0F));
  return {static_cast<std::uint8_t>(offset), static_cast<std::uint8_t>(offset >> 8), high, type};
}

// Everything a well-behaved loader sends for one upgrade, piece by piece so that a test can
// spoil one piece. The payload area is never cleared between reads and starts as zeros.
struct Upgrade {
  Bytes wakeup = Text("ATZ\r\nATZ\r\n");
  Bytes probes = Text("X");
  std::vector<Bytes> polls;
  std::vector<Bytes> data;
  Bytes end;
  Bytes filler = Repeat('X', 56);
  Bytes trailer;

  Upgrade(const Bytes& file, LinkMode mode, std::uint8_t type = 0x18, int polls_count = 1) {
    Bytes area(56, 0);
    for (int i = 0; i < polls_count; ++i) {
      Bytes poll = Header(0, 0x00, type);
      poll.insert(poll.end(), area.begin(), area.end());
      polls.push_back(poll);
    }
    std::uint32_t offset = 0;
    std::size_t position = 0;
    for (;;) {
      const std::size_t n = std::min<std::size_t>(56, file.size() - position);
      std::copy_n(file.begin() + static_cast<std::ptrdiff_t>(position), n, area.begin());
      position += n;
      Bytes frame = Header(offset, 0x50, type);
      frame.insert(frame.end(), area.begin(), area.end());
      data.push_back(frame);
      offset += 56;
      if (n == 0) break;
    }
    end = Header(offset, 0x70, type);
    if (mode == LinkMode::OverTheAir) trailer = Repeat('p', 60);
  }

  Bytes All() const {
    Bytes all = wakeup;
    auto add = [&all](const Bytes& b) { all.insert(all.end(), b.begin(), b.end()); };
    add(probes);
    for (const auto& p : polls) add(p);
    for (const auto& d : data) add(d);
    add(end);
    add(filler);
    add(trailer);
    return all;
  }
};

Bytes Firmware(std::size_t size) {
  Bytes file(size);
  for (std::size_t i = 0; i < size; ++i) file[i] = static_cast<std::uint8_t>(i * 7 + 1);
  return file;
}

// Feeds a model and keeps everything it returned.
struct Harness {
  explicit Harness(ModelConfig config) : model(std::move(config)) {}

  Bytes Send(const Bytes& bytes, Micros now = Micros{0}, bool busy = false) {
    return Take(model.Feed(bytes, now, busy));
  }
  void Close() { Take(model.PortClosed()); }

  Bytes Take(Events ev) {
    Bytes replies;
    for (const auto& out : ev.outputs) {
      replies.insert(replies.end(), out.bytes.begin(), out.bytes.end());
      outputs.push_back(out);
    }
    violations.insert(violations.end(), ev.violations.begin(), ev.violations.end());
    for (auto& c : ev.completed) completed.push_back(std::move(c));
    vanished = vanished || ev.vanish;
    return replies;
  }

  bool Reported(std::string_view fragment) const {
    return std::any_of(violations.begin(), violations.end(), [&](const std::string& v) {
      return v.find(fragment) != std::string::npos;
    });
  }

  ModuleModel model;
  std::vector<Output> outputs;
  std::vector<std::string> violations;
  std::vector<CompletedUpgrade> completed;
  bool vanished = false;
};

ModelConfig Config(LinkMode mode, FaultPlan faults = {}) {
  ModelConfig config;
  config.mode = mode;
  config.faults = std::move(faults);
  return config;
}

// ---------------------------------------------------------------------------------------
// Complete upgrades.

struct ValidCase {
  std::size_t size;
  LinkMode mode;
  bool expect;
};

class ValidUpgrade : public ::testing::TestWithParam<ValidCase> {};

TEST_P(ValidUpgrade, IsAcknowledgedCompletedAndSaved) {
  const auto [size, mode, expect] = GetParam();
  const Bytes file = Firmware(size);
  ModelConfig config = Config(mode);
  if (expect) config.expected = file;
  Harness h(config);
  const int polls = mode == LinkMode::Serial ? 1 : 3;
  const Upgrade upgrade(file, mode, 0x18, polls);

  const Bytes replies = h.Send(upgrade.All());

  const std::size_t frames = (size + 55) / 56 + 1;
  ASSERT_EQ(upgrade.data.size(), frames);
  Bytes wanted{static_cast<std::uint8_t>(mode == LinkMode::Serial ? '1' : '0')};
  wanted.insert(wanted.end(), polls + frames + 1, '0');
  EXPECT_EQ(replies, wanted);
  EXPECT_TRUE(h.violations.empty()) << h.violations.front();
  ASSERT_EQ(h.completed.size(), 1u);
  const auto& done = h.completed.front();
  EXPECT_EQ(done.data_frames, frames);
  EXPECT_EQ(done.type, 0x18);
  EXPECT_EQ(done.mode, mode);
  // The repeated last frame is not firmware; without a file to trim to, whole payloads stay.
  Bytes saved = file;
  if (!expect) saved.resize((frames - 1) * 56, 0);
  if (!expect && size % 56 != 0) {
    // The stale tail of the last read is what the loader really sent.
    std::copy_n(upgrade.data[frames - 2].begin() + 4 + static_cast<std::ptrdiff_t>(size % 56),
                56 - size % 56, saved.begin() + static_cast<std::ptrdiff_t>(size));
  }
  EXPECT_EQ(done.firmware, saved);
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, ValidUpgrade,
    ::testing::Values(ValidCase{0, LinkMode::Serial, true}, ValidCase{56, LinkMode::Serial, true},
                      ValidCase{60, LinkMode::Serial, true}, ValidCase{100, LinkMode::Serial, true},
                      ValidCase{0, LinkMode::OverTheAir, true},
                      ValidCase{56, LinkMode::OverTheAir, true},
                      ValidCase{60, LinkMode::OverTheAir, true},
                      ValidCase{100, LinkMode::OverTheAir, true},
                      ValidCase{60, LinkMode::Serial, false},
                      ValidCase{100, LinkMode::OverTheAir, false},
                      ValidCase{70000, LinkMode::Serial, true}));

TEST(ModuleModel, StaleTailOfA60ByteFileIsExpected) {
  // Frame 2 carries bytes 56-59 of the file, then bytes 4-55 of frame 1's payload.
  const Bytes file = Firmware(60);
  ModelConfig config = Config(LinkMode::Serial);
  config.expected = file;
  Harness h(config);
  Upgrade upgrade(file, LinkMode::Serial);
  Bytes second = Header(56, 0x50, 0x18);
  second.insert(second.end(), file.begin() + 56, file.end());
  second.insert(second.end(), file.begin() + 4, file.begin() + 56);
  upgrade.data[1] = second;
  upgrade.data[2] = Header(112, 0x50, 0x18);
  upgrade.data[2].insert(upgrade.data[2].end(), second.begin() + 4, second.end());

  h.Send(upgrade.All());

  EXPECT_TRUE(h.violations.empty());
  EXPECT_EQ(h.completed.size(), 1u);
}

TEST(ModuleModel, ExtraProbesBeforeTheFirstFrameAreAllowed) {
  Harness h(Config(LinkMode::Serial));
  Upgrade upgrade(Firmware(10), LinkMode::Serial);
  upgrade.probes = Text("XXXX");
  h.Send(upgrade.All());
  EXPECT_TRUE(h.violations.empty());
  EXPECT_EQ(h.completed.size(), 1u);
}

TEST(ModuleModel, EndAnsweredTwoCompletesInSerialModeOnly) {
  FaultPlan faults;
  faults.end_answer = EndAnswer::RebootAck;
  Harness serial(Config(LinkMode::Serial, faults));
  const Bytes replies = serial.Send(Upgrade(Firmware(30), LinkMode::Serial).All());
  EXPECT_EQ(replies.back(), '2');
  EXPECT_EQ(serial.completed.size(), 1u);

  Harness air(Config(LinkMode::OverTheAir, faults));
  Upgrade upgrade(Firmware(30), LinkMode::OverTheAir);
  upgrade.trailer.clear();  // the loader gives up instead
  air.Send(upgrade.All());
  air.Close();
  EXPECT_TRUE(air.completed.empty());
  EXPECT_TRUE(air.violations.empty());
}

// ---------------------------------------------------------------------------------------
// Violations: one spoilt piece of a good upgrade each.

struct ViolationCase {
  const char* name;
  LinkMode mode;
  void (*spoil)(Upgrade&);
  const char* reported;
};

class Violation : public ::testing::TestWithParam<ViolationCase> {};

TEST_P(Violation, IsReported) {
  const auto& c = GetParam();
  Harness h(Config(c.mode));
  Upgrade upgrade(Firmware(150), c.mode, 0x18, c.mode == LinkMode::Serial ? 1 : 2);
  c.spoil(upgrade);
  h.Send(upgrade.All());
  h.Close();
  EXPECT_TRUE(h.Reported(c.reported)) << "violations: " << h.violations.size()
                                      << (h.violations.empty() ? "" : ", first: " + h.violations[0]);
}

const ViolationCase kViolations[] = {
    {"WakeupByte", LinkMode::Serial, [](Upgrade& u) { u.wakeup[3] = '\n'; },
     "wake-up byte 4 is 0x0a, expected 0x0d"},
    {"FrameBeforeSync", LinkMode::Serial, [](Upgrade& u) { u.probes.clear(); },
     "byte 0x00 before the module answered a probe"},
    {"DataOffset", LinkMode::Serial,
     [](Upgrade& u) { u.data[1][0] = 200; }, "data frame 2: offset 200, expected 56"},
    {"DataOffsetHighBits", LinkMode::Serial,
     [](Upgrade& u) { u.data[2][2] = 0x51; }, "data frame 3: offset 65648, expected 112"},
    {"TypeChanges", LinkMode::Serial, [](Upgrade& u) { u.data[2][3] = 0x09; },
     "data frame 3: type 0x09, the first frame had 0x18"},
    {"PollAfterData", LinkMode::OverTheAir,
     [](Upgrade& u) { u.data.insert(u.data.begin() + 1, u.polls[0]); },
     "poll frame 3 after data frames began"},
    {"SecondPollInSerialMode", LinkMode::Serial,
     [](Upgrade& u) { u.polls.push_back(u.polls[0]); }, "poll frame 2 in serial mode"},
    {"DataWithoutPollInSerialMode", LinkMode::Serial, [](Upgrade& u) { u.polls.clear(); },
     "data frame 1 before any acknowledged poll frame"},
    {"PollOffset", LinkMode::OverTheAir, [](Upgrade& u) { u.polls[1][1] = 1; },
     "poll frame 2: offset 256, expected 0"},
    {"UnknownMarker", LinkMode::Serial, [](Upgrade& u) { u.data[1][2] = 0x33; },
     "unknown marker 0x33"},
    {"EndOffset", LinkMode::Serial, [](Upgrade& u) { u.end[0] = 0; },
     "end header: offset 0, expected 224 (4 data frames)"},
    {"EndBeforeData", LinkMode::Serial, [](Upgrade& u) { u.data.clear(); },
     "end header before any data frame"},
    {"LastFrameDoesNotRepeat", LinkMode::Serial, [](Upgrade& u) { u.data[3][40] ^= 0xFF; },
     "last data frame 4 does not repeat the previous payload: byte 36"},
    {"RepeatedFrameMissing", LinkMode::Serial,
     [](Upgrade& u) {
       u.data.pop_back();
       u.end = Header(168, 0x70, 0x18);
     },
     "last data frame 3 does not repeat"},
    {"FillerByte", LinkMode::Serial, [](Upgrade& u) { u.filler[9] = 'Y'; },
     "filler byte 10 is 0x59 'Y', expected 'X'"},
    {"FillerShort", LinkMode::Serial, [](Upgrade& u) { u.filler.resize(55); },
     "filler cut short: 55 of 56 bytes"},
    {"TrailerInSerialMode", LinkMode::Serial, [](Upgrade& u) { u.trailer = Bytes(60, 'p'); },
     "(no reboot trailer in serial mode)"},
    {"TrailerByte", LinkMode::OverTheAir, [](Upgrade& u) { u.trailer[59] = 'P'; },
     "reboot trailer byte 60 is 0x50 'P', expected 'p'"},
    {"TrailerShort", LinkMode::OverTheAir, [](Upgrade& u) { u.trailer.resize(20); },
     "reboot trailer cut short: 20 of 60 bytes"},
    {"BytesAfterTheEnd", LinkMode::OverTheAir, [](Upgrade& u) { u.trailer.push_back('p'); },
     "byte 0x70 'p' after the upgrade ended"},
    {"FrameCutShort", LinkMode::Serial,
     [](Upgrade& u) {
       u.data[2].resize(30);
       u.data.resize(3);
       u.end.clear();
       u.filler.clear();
     },
     "frame cut short: 30 of 60 bytes after data frame 2"},
};

INSTANTIATE_TEST_SUITE_P(Kinds, Violation, ::testing::ValuesIn(kViolations),
                         [](const auto& test) { return std::string(test.param.name); });

TEST(ModuleModel, TypeMustMatchTheOneAskedFor) {
  ModelConfig config = Config(LinkMode::Serial);
  config.type = 0x0A;
  Harness h(config);
  h.Send(Upgrade(Firmware(10), LinkMode::Serial, 0x18).All());
  EXPECT_TRUE(h.Reported("poll frame 1: type 0x18, expected 0x0a"));
  EXPECT_TRUE(h.Reported("end header: type 0x18, expected 0x0a"));
}

TEST(ModuleModel, ExpectedFileChecksPayloadsAndFrameCount) {
  const Bytes file = Firmware(100);
  ModelConfig config = Config(LinkMode::Serial);
  config.expected = file;

  Harness wrong_byte(config);
  Upgrade spoilt(file, LinkMode::Serial);
  spoilt.data[1][4 + 43] ^= 1;  // the file's last byte
  wrong_byte.Send(spoilt.All());
  EXPECT_TRUE(wrong_byte.Reported("data frame 2: payload byte 43"));

  Harness zero_tail(config);  // a loader that clears its payload area between reads
  Upgrade cleared(file, LinkMode::Serial);
  std::fill(cleared.data[1].begin() + 4 + 44, cleared.data[1].end(), 0);
  zero_tail.Send(cleared.All());
  EXPECT_TRUE(zero_tail.Reported("data frame 2: payload byte 44"));

  Harness longer(config);  // a file of 100 bytes sent as if it had 113
  longer.Send(Upgrade(Firmware(113), LinkMode::Serial).All());
  EXPECT_TRUE(longer.Reported("data frame 4 is beyond the 3 data frames the file gives"));
  EXPECT_TRUE(longer.Reported("4 data frames, the file gives 3"));
}

// ---------------------------------------------------------------------------------------
// Sessions.

TEST(ModuleModel, AbandonedSessionIsNotAViolationAndTheNextOneCompletes) {
  Harness h(Config(LinkMode::Serial));
  const Upgrade upgrade(Firmware(120), LinkMode::Serial);
  Bytes half = upgrade.wakeup;
  half.insert(half.end(), upgrade.probes.begin(), upgrade.probes.end());
  half.insert(half.end(), upgrade.polls[0].begin(), upgrade.polls[0].end());
  half.insert(half.end(), upgrade.data[0].begin(), upgrade.data[0].end());
  h.Send(half);
  h.Close();
  EXPECT_TRUE(h.violations.empty());
  EXPECT_EQ(h.Send(upgrade.All()).size(), 1u + 1u + 4u + 1u);
  EXPECT_TRUE(h.violations.empty());
  EXPECT_EQ(h.completed.size(), 1u);
  EXPECT_EQ(h.completed.front().session, 2u);
}

TEST(ModuleModel, WakeupWhereAFrameWouldBeginStartsANewSession) {
  Harness h(Config(LinkMode::OverTheAir));
  const Upgrade upgrade(Firmware(80), LinkMode::OverTheAir, 0x18, 2);
  Bytes stream = upgrade.wakeup;
  stream.insert(stream.end(), upgrade.probes.begin(), upgrade.probes.end());
  stream.insert(stream.end(), upgrade.polls[0].begin(), upgrade.polls[0].end());
  const Bytes all = upgrade.All();
  stream.insert(stream.end(), all.begin(), all.end());
  h.Send(stream);
  EXPECT_TRUE(h.violations.empty());
  EXPECT_EQ(h.model.Sessions(), 2u);
  EXPECT_EQ(h.completed.size(), 1u);
}

TEST(ModuleModel, LostFramingIsReportedOnceAndTheNextWakeupRecovers) {
  Harness h(Config(LinkMode::Serial));
  Bytes stream = Text("garbage that is not a wake-up");
  const Bytes all = Upgrade(Firmware(10), LinkMode::Serial).All();
  stream.insert(stream.end(), all.begin(), all.end());
  h.Send(stream);
  EXPECT_EQ(h.violations.size(), 1u);
  EXPECT_EQ(h.completed.size(), 1u);
}

TEST(ModuleModel, BytesAfterARefusalAreAViolation) {
  FaultPlan faults;
  faults.refuse_data = 2;
  Harness h(Config(LinkMode::Serial, faults));
  const Bytes replies = h.Send(Upgrade(Firmware(200), LinkMode::Serial).All());
  EXPECT_EQ(replies, Text("1001"));
  EXPECT_TRUE(h.Reported("after data frame 2 was not acknowledged: the loader should have given up"));
  EXPECT_TRUE(h.completed.empty());
}

// ---------------------------------------------------------------------------------------
// Faults.

// Replies over whole sessions in which the loader stops at the first refusal, as it must.
Bytes RepliesUntilRefusal(FaultPlan faults, LinkMode mode, unsigned sessions = 1) {
  Harness h(Config(mode, std::move(faults)));
  Bytes replies;
  for (unsigned i = 0; i < sessions; ++i) {
    const Upgrade upgrade(Firmware(200), mode, 0x18, mode == LinkMode::Serial ? 1 : 2);
    Bytes start = upgrade.wakeup;
    start.insert(start.end(), upgrade.probes.begin(), upgrade.probes.end());
    std::vector<Bytes> messages = {start};
    messages.insert(messages.end(), upgrade.polls.begin(), upgrade.polls.end());
    messages.insert(messages.end(), upgrade.data.begin(), upgrade.data.end());
    Bytes end = upgrade.end;
    end.insert(end.end(), upgrade.filler.begin(), upgrade.filler.end());
    end.insert(end.end(), upgrade.trailer.begin(), upgrade.trailer.end());
    messages.push_back(end);
    for (std::size_t m = 0; m < messages.size(); ++m) {
      const Bytes r = h.Send(messages[m]);
      replies.insert(replies.end(), r.begin(), r.end());
      if (m > 0 && r != Text("0")) break;
    }
    h.Close();
  }
  EXPECT_TRUE(h.violations.empty()) << h.violations.front();
  return replies;
}

TEST(ModuleModelFaults, RefuseOrIgnoreTheNthFrame) {
  FaultPlan refuse_poll;
  refuse_poll.refuse_poll = 2;
  EXPECT_EQ(RepliesUntilRefusal(refuse_poll, LinkMode::OverTheAir), Text("001"));
  FaultPlan ignore_poll;
  ignore_poll.ignore_poll = 1;
  EXPECT_EQ(RepliesUntilRefusal(ignore_poll, LinkMode::Serial), Text("1"));
  FaultPlan refuse_data;
  refuse_data.refuse_data = 3;
  EXPECT_EQ(RepliesUntilRefusal(refuse_data, LinkMode::OverTheAir), Text("000001"));
  FaultPlan ignore_data;
  ignore_data.ignore_data = 1;
  EXPECT_EQ(RepliesUntilRefusal(ignore_data, LinkMode::OverTheAir), Text("000"));
}

TEST(ModuleModelFaults, ApplyToTheFirstSessionUnlessAskedForEverySession) {
  FaultPlan faults;
  faults.refuse_data = 1;
  // Session 1: sync, two polls, refused data frame; session 2: 5 data frames and the end.
  EXPECT_EQ(RepliesUntilRefusal(faults, LinkMode::OverTheAir, 2), Text("0001" "000000000"));
  faults.every_session = true;
  EXPECT_EQ(RepliesUntilRefusal(faults, LinkMode::OverTheAir, 2), Text("0001" "0001"));
}

TEST(ModuleModelFaults, EndWithoutAnswerLeavesTheUpgradeIncomplete) {
  FaultPlan faults;
  faults.end_answer = EndAnswer::Silent;
  Harness h(Config(LinkMode::Serial, faults));
  const Bytes replies = h.Send(Upgrade(Firmware(60), LinkMode::Serial).All());
  EXPECT_EQ(replies, Text("10000"));  // sync, poll, three data frames, nothing for the end
  h.Close();
  EXPECT_TRUE(h.completed.empty());
  EXPECT_TRUE(h.violations.empty());
}

TEST(ModuleModelFaults, JunkAfterEveryReplyByte) {
  FaultPlan faults;
  faults.junk_after_reply = 3;
  Harness h(Config(LinkMode::Serial, faults));
  const Bytes replies = h.Send(Upgrade(Firmware(0), LinkMode::Serial).All());
  const Bytes junk(3, kJunk);
  Bytes wanted;
  for (const char reply : std::string("1000")) {
    wanted.push_back(static_cast<std::uint8_t>(reply));
    wanted.insert(wanted.end(), junk.begin(), junk.end());
  }
  EXPECT_EQ(replies, wanted);
  EXPECT_EQ(h.completed.size(), 1u);
}

TEST(ModuleModelFaults, SynchronisationFaults) {
  FaultPlan ignore;
  ignore.ignore_sync_probes = 2;
  Harness ignored(Config(LinkMode::Serial, ignore));
  EXPECT_EQ(ignored.Send(Text("ATZ\r\nATZ\r\nXX")), Bytes{});
  EXPECT_EQ(ignored.Send(Text("X")), Text("1"));

  FaultPlan junk;
  junk.sync_junk_first = true;
  Harness junk_first(Config(LinkMode::OverTheAir, junk));
  EXPECT_EQ(junk_first.Send(Text("ATZ\r\nATZ\r\nX")), (Bytes{kJunk, '0'}));
  EXPECT_EQ(junk_first.Send(Text("X")), Text("0"));  // the loader saw junk and probes again
}

TEST(ModuleModel, ProbeWhileAnAnswerIsOnItsWayIsNotAnsweredAgain) {
  Harness h(Config(LinkMode::Serial));
  EXPECT_EQ(h.Send(Text("ATZ\r\nATZ\r\nX")), Text("1"));
  EXPECT_EQ(h.Send(Text("X"), Micros{0}, /*busy=*/true), Bytes{});
  EXPECT_EQ(h.Send(Text("X"), Micros{0}, /*busy=*/false), Text("1"));
}

TEST(ModuleModelFaults, BurstBeforeTheReplyHidesTheAcknowledgement) {
  FaultPlan faults;
  faults.bursts.push_back({{Phase::Data, 2}, 70000, false});
  Harness h(Config(LinkMode::Serial, faults));
  const Upgrade upgrade(Firmware(60), LinkMode::Serial);
  Bytes head = upgrade.wakeup;
  head.insert(head.end(), upgrade.probes.begin(), upgrade.probes.end());
  head.insert(head.end(), upgrade.polls[0].begin(), upgrade.polls[0].end());
  head.insert(head.end(), upgrade.data[0].begin(), upgrade.data[0].end());
  h.Send(head);

  const Bytes second = h.Send(upgrade.data[1]);
  ASSERT_EQ(second.size(), 70001u);
  EXPECT_EQ(std::count(second.begin(), second.end(), kJunk), 70000);
  EXPECT_EQ(second.back(), '0');
  // The loader reads junk where the reply belongs, so it must not go on.
  EXPECT_EQ(h.Send(upgrade.data[2]), Bytes{});
  EXPECT_TRUE(h.Reported("after data frame 2 was not acknowledged"));
}

TEST(ModuleModelFaults, BurstAfterTheReplyKeepsTheUpgradeGoing) {
  FaultPlan faults;
  faults.bursts.push_back({{Phase::End, 0}, 66000, true});
  Harness h(Config(LinkMode::Serial, faults));
  const Bytes replies = h.Send(Upgrade(Firmware(60), LinkMode::Serial).All());
  ASSERT_EQ(replies.size(), 6u + 66000u);
  EXPECT_EQ(replies[5], '0');
  EXPECT_EQ(std::count(replies.begin(), replies.end(), kJunk), 66000);
  ASSERT_EQ(h.outputs.size(), 7u);  // the burst is its own output, behind the reply
  EXPECT_EQ(h.outputs.back().bytes.size(), 66000u);
  EXPECT_EQ(h.completed.size(), 1u);
  EXPECT_TRUE(h.violations.empty());
}

TEST(ModuleModelFaults, VanishInsteadOfAnswering) {
  FaultPlan faults;
  faults.vanish = MessageSelector{Phase::Data, 3};
  Harness h(Config(LinkMode::Serial, faults));
  const Bytes replies = h.Send(Upgrade(Firmware(200), LinkMode::Serial).All());
  EXPECT_TRUE(h.vanished);
  EXPECT_EQ(replies, Text("1000"));
}

// A module that resets into its new firmware: the end is acknowledged, and
// the line is left once that reply is out. With nothing to send first it
// leaves at once, as a vanish.
TEST(ModuleModelFaults, HangUpAfterTheReply) {
  FaultPlan faults;
  faults.hang_up_after_reply = MessageSelector{Phase::End, 1};
  Harness h(Config(LinkMode::Serial, faults));
  EXPECT_EQ(h.Send(Upgrade(Firmware(100), LinkMode::Serial).All()), Text("100000"));
  EXPECT_FALSE(h.vanished) << "not before the reply is out";
  ASSERT_EQ(h.outputs.size(), 6u);
  EXPECT_EQ(std::count_if(h.outputs.begin(), h.outputs.end(), [](const Output& o) { return o.hang_up_after; }), 1);
  EXPECT_TRUE(h.outputs.back().hang_up_after);
  EXPECT_EQ(h.completed.size(), 1u);

  faults.hang_up_after_reply = MessageSelector{Phase::Data, 2};
  faults.ignore_data = 2;
  Harness silent(Config(LinkMode::Serial, faults));
  EXPECT_EQ(silent.Send(Upgrade(Firmware(200), LinkMode::Serial).All()), Text("100"));
  EXPECT_TRUE(silent.vanished);
}

TEST(ModuleModelFaults, DelaysAndWireTimeSetWhenRepliesMayGoOut) {
  FaultPlan faults;
  faults.reply_delay = std::chrono::milliseconds{5};
  faults.delays.push_back({{Phase::Data, 2}, std::chrono::milliseconds{300}});
  ModelConfig config = Config(LinkMode::Serial, faults);
  config.wire_baud = 100000;  // 100 us a byte
  Harness h(config);
  const Upgrade upgrade(Firmware(100), LinkMode::Serial);
  h.Send(upgrade.wakeup, Micros{0});
  h.Send(upgrade.probes, Micros{1000});
  h.Send(upgrade.polls[0], Micros{200'000});
  h.Send(upgrade.data[0], Micros{400'000});
  h.Send(upgrade.data[1], Micros{600'000});
  ASSERT_EQ(h.outputs.size(), 4u);
  // Each reply: arrival + message wire time + delays + one reply byte's wire time.
  EXPECT_EQ(h.outputs[0].not_before, Micros{1000 + 100 + 5000 + 100});
  EXPECT_EQ(h.outputs[1].not_before, Micros{200'000 + 6000 + 5000 + 100});
  EXPECT_EQ(h.outputs[2].not_before, Micros{400'000 + 6000 + 5000 + 100});
  EXPECT_EQ(h.outputs[3].not_before, Micros{600'000 + 6000 + 305'000 + 100});
}

TEST(ModuleModelFaults, ReplyLaterThanTheLoaderWaitsCountsAsMissing) {
  FaultPlan faults;
  faults.delays.push_back({{Phase::Poll, 1}, std::chrono::milliseconds{2500}});
  Harness h(Config(LinkMode::Serial, faults));
  const Upgrade upgrade(Firmware(10), LinkMode::Serial);
  h.Send(upgrade.All());
  EXPECT_TRUE(h.Reported("after poll frame 1 was not acknowledged"));
}

// ---------------------------------------------------------------------------------------
// Command-line forms of the faults.

TEST(FaultPlanParsing, AcceptsWellFormedSelectorsDelaysAndBursts) {
  std::string error;
  const auto all_data = ParseSelector("data", &error);
  ASSERT_TRUE(all_data);
  EXPECT_TRUE(all_data->Matches(Phase::Data, 7));
  EXPECT_FALSE(all_data->Matches(Phase::Poll, 7));
  const auto third_poll = ParseSelector("poll:3", &error);
  ASSERT_TRUE(third_poll);
  EXPECT_TRUE(third_poll->Matches(Phase::Poll, 3));
  EXPECT_FALSE(third_poll->Matches(Phase::Poll, 2));

  const auto delay = ParseDelayRule("end=1500", &error);
  ASSERT_TRUE(delay);
  EXPECT_EQ(delay->at.phase, Phase::End);
  EXPECT_EQ(delay->delay, std::chrono::milliseconds{1500});
  const auto burst = ParseBurst("sync:2=70000", true, &error);
  ASSERT_TRUE(burst);
  EXPECT_EQ(burst->bytes, 70000u);
  EXPECT_TRUE(burst->after_reply);
  EXPECT_EQ(ParseEndAnswer("none", &error), EndAnswer::Silent);
  EXPECT_EQ(ParseEndAnswer("2", &error), EndAnswer::RebootAck);
}

TEST(FaultPlanParsing, RejectsMalformedForms) {
  for (const char* text : {"", "data:", "data:0", "frame:2", "end:2", "poll:x", "data:-1"}) {
    std::string error;
    EXPECT_FALSE(ParseSelector(text, &error)) << text;
    EXPECT_FALSE(error.empty()) << text;
  }
  for (const char* text : {"data:2", "data:2=", "data:2=ms", "data:2=-5", "=5"}) {
    std::string error;
    EXPECT_FALSE(ParseDelayRule(text, &error)) << text;
    EXPECT_FALSE(ParseBurst(text, false, &error)) << text;
  }
  std::string error;
  EXPECT_FALSE(ParseEndAnswer("1", &error));
}

}  // namespace
}  // namespace zevuvuri::sim
