// The line page's rules without a database or a server: the driver's times,
// which station is online and which is flagged, the shift's tallies, and the
// JSON the API builds from them.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "tools/line/line_json.h"
#include "tools/line/line_options.h"
#include "tools/line/line_state.h"

namespace zevuvuri::line {
namespace {

constexpr std::int64_t kNow = 1796811302120;  // 2026-12-09T10:15:02.120Z
constexpr std::int64_t kHour = 3'600'000;

struct TimeCase {
  const char* text;
  std::optional<std::int64_t> ms;
};

TEST(LineTimes, DriverTextsAsUtcMilliseconds) {
  const TimeCase cases[] = {
      {"2026-12-09 10:15:02.12+00", 1796811302120},
      {"2026-12-09 10:15:02.120", 1796811302120},  // a timestamp column: already UTC
      {"2026-12-09 10:15:02+02", 1796804102000},
      {"2026-12-09 10:15:02.5-05:30", 1796831102500},
      {"2024-02-29 23:59:59.999", 1709251199999},
      {"2026-12-09", std::nullopt},
      {"2026-13-09 10:15:02", std::nullopt},
      {"2026-12-09 10:15:02 junk", std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(ParseDatabaseTime(c.text), c.ms) << c.text;
  EXPECT_EQ(IsoUtc(1796811302120), "2026-12-09T10:15:02.120Z");
  EXPECT_EQ(SqlUtc(1709251199999), "2024-02-29 23:59:59.999");
}

StationState Station(const std::string& name, int type, const std::string& sha, std::int64_t beat_ago_ms) {
  StationState s;
  s.station = name;
  s.type_code = type;
  s.firmware_sha256 = sha;
  s.beat_ms = kNow - beat_ago_ms;
  return s;
}

TEST(LineRules, OnlineOfflineAndFlags) {
  const std::string a(64, 'a'), b(64, 'b'), c(64, 'c');
  std::vector<StationState> line = {
      Station("one", 5, a, 0),
      Station("two", 5, a, 30'000),      // beat exactly 30 s ago: still online
      Station("odd", 5, b, 1'000),       // differs from the other two of type 5
      Station("gone", 5, c, 30'001),     // offline: not compared, not flagged
      Station("ended", 5, c, 1'000),     // its run ended cleanly: offline since then
      Station("alone", 7, c, 0),         // the only one of its type
      Station("tie-1", 9, a, 0),         // two of type 9, two images: neither is the line's
      Station("tie-2", 9, b, 0),
      Station("pinned", 7, c, 0),
  };
  line[4].ended_ms = kNow - 5'000;
  line[1].approved_sha256 = std::string(64, 'A');  // pinned, in capitals: the same image
  line[8].approved_sha256 = c;
  SlotState other_image;
  other_image.firmware_sha256 = a;  // one slot flashes another image
  line[8].slot_states.push_back(other_image);
  JudgeStations(&line, kNow);

  const auto flags = [&](std::size_t i) { return line[i].flags; };
  const std::string differs5 = "differs from other stations of type 5";
  EXPECT_TRUE(line[0].online);
  EXPECT_TRUE(line[1].online);
  EXPECT_FALSE(line[3].online);
  EXPECT_EQ(line[3].offline_since_ms, kNow - 30'001);
  EXPECT_FALSE(line[4].online);
  EXPECT_EQ(line[4].offline_since_ms, kNow - 5'000);
  EXPECT_EQ(line[0].offline_since_ms, std::nullopt);
  EXPECT_TRUE(flags(0).empty());
  EXPECT_TRUE(flags(1).empty());
  EXPECT_EQ(flags(2), std::vector<std::string>{differs5});
  EXPECT_TRUE(flags(3).empty());
  EXPECT_TRUE(flags(4).empty());
  EXPECT_TRUE(flags(5).empty()) << "alone: " << (flags(5).empty() ? "" : flags(5)[0]);
  EXPECT_EQ(flags(6), std::vector<std::string>{"differs from other stations of type 9"});
  EXPECT_EQ(flags(7), std::vector<std::string>{"differs from other stations of type 9"});
  // Type 7 has "alone" and "pinned" with the same image; the slot's is not the pin.
  EXPECT_EQ(flags(8), std::vector<std::string>{"not the approved image"});
}

TEST(LineRules, TotalsAndShiftTallies) {
  EXPECT_EQ(YieldPercent(5, 6), 83.3);
  EXPECT_EQ(YieldPercent(2, 3), 66.7);
  EXPECT_EQ(YieldPercent(0, 0), std::nullopt);

  const auto tally = ParseFailureTally(R"([["Write Error",3],["Did not get local ACK",1],["bad"],[2,2]])");
  ASSERT_EQ(tally.size(), 2u);
  EXPECT_EQ(tally[0].reason, "Write Error");
  EXPECT_EQ(tally[0].count, 3);
  EXPECT_EQ(tally[1].count, 1);
  EXPECT_TRUE(ParseFailureTally("not json").empty());
  EXPECT_TRUE(ParseFailureTally("").empty());

  // Past hours and the current one, the same reason in both.
  const std::int64_t hour = kNow - kNow % kHour;
  const ShiftTally past{{{hour - 3 * kHour, 10, 9}, {hour - kHour, 4, 4}}, {{"Write Error", 1}, {"Timeout", 2}}};
  const ShiftTally current{{{hour, 6, 3}}, {{"Write Error", 3}}};
  const ShiftTally shift = AddTallies(past, current);
  const auto hours = FillShiftHours(shift.hours, kNow - 4 * kHour, kNow);
  ASSERT_EQ(hours.size(), 5u);  // the shift's first, partial hour to the current one
  const std::int64_t units[] = {0, 10, 0, 4, 6};
  for (std::size_t i = 0; i < hours.size(); ++i) {
    EXPECT_EQ(hours[i].hour_ms, hour - static_cast<std::int64_t>(4 - i) * kHour);
    EXPECT_EQ(hours[i].units, units[i]) << i;
  }
  EXPECT_EQ(hours[4].ok, 3);
  const auto top = TopFailures(shift.failures, 1);
  ASSERT_EQ(top.size(), 1u);
  EXPECT_EQ(top[0].reason, "Write Error");
  EXPECT_EQ(top[0].count, 4);
}

TEST(LineJsonAnswers, TextsStayTextAndNullsStayNull) {
  LineState state;
  state.now_ms = kNow;
  StationState s = Station("<script>alert(\"x\")</script> \xc3\x84", 5, std::string(64, 'a'), 40'000);
  s.units = 6;
  s.ok = 5;
  s.failed = 1;
  s.failures = {{"bad \xff byte", 1}};  // not UTF-8: replaced, not a failed answer
  SlotState slot;
  slot.port = "/dev/ttyUSB0";
  slot.serial = "<b>x</b>'\"";
  slot.result = "ok";
  s.slot_states.push_back(slot);
  state.stations.push_back(s);
  JudgeStations(&state.stations, kNow);

  const auto j = nlohmann::json::parse(LineJson(state));
  const auto& st = j["stations"][0];
  EXPECT_EQ(j["now_utc"], "2026-12-09T10:15:02.120Z");
  EXPECT_EQ(st["station"], "<script>alert(\"x\")</script> \xc3\x84");
  EXPECT_EQ(st["online"], false);
  EXPECT_EQ(st["offline_since_utc"], "2026-12-09T10:14:22.120Z");
  EXPECT_EQ(st["totals"]["yield_percent"], 83.3);
  EXPECT_EQ(st["totals"]["failures"][0]["reason"], "bad \xef\xbf\xbd byte");
  EXPECT_EQ(st["approved_sha256"], nullptr);
  EXPECT_EQ(st["slots"][0]["serial"], "<b>x</b>'\"");
  EXPECT_EQ(st["slots"][0]["percent"], nullptr);
  EXPECT_EQ(st["slots"][0]["result_text"], nullptr);

  const auto none = nlohmann::json::parse(SerialJson("SN1", {}));
  EXPECT_EQ(none, nlohmann::json::parse(R"({"serial":"SN1","attempts":[]})"));
}

struct OptionsCase {
  std::vector<const char*> args;
  int exit_code;  // 0 with options: it runs
  const char* host;
  int port;
};

TEST(LineOptions, AddressesAndUsageErrors) {
  const OptionsCase cases[] = {
      {{"--records-db", "DSN=line"}, 0, "127.0.0.1", 8088},
      {{"--records-db", "DSN=line", "--listen", "0.0.0.0:80"}, 0, "0.0.0.0", 80},
      {{"--records-db", "DSN=line", "--listen", "[::1]:8090"}, 0, "::1", 8090},
      {{"--records-db", "DSN=line", "--listen", "::1:8090"}, 2, "", 0},
      {{"--records-db", "DSN=line", "--listen", "127.0.0.1"}, 2, "", 0},
      {{"--records-db", "DSN=line", "--listen", "127.0.0.1:65536"}, 2, "", 0},
      {{"--records-db", "DSN=line", "--shift-hours", "0"}, 2, "", 0},
      {{"--records-db", "DSN=line", "--records-db-file", "/nonexistent"}, 2, "", 0},
      {{"--records-db-file", "/nonexistent/connection"}, 2, "", 0},
      {{}, 2, "", 0},
      {{"--records-db", "DSN=line", "--bogus"}, 2, "", 0},
  };
  for (const auto& c : cases) {
    std::vector<const char*> argv = {"zevuvuri-line"};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    const LineParseResult r = ParseLineCommandLine(static_cast<int>(argv.size()), argv.data());
    const std::string what = c.args.empty() ? "(none)" : c.args.back();
    EXPECT_EQ(r.options.has_value(), c.exit_code == 0) << what;
    EXPECT_EQ(r.exit_code, c.exit_code) << what;
    if (r.options) {
      EXPECT_EQ(r.options->listen_host, c.host) << what;
      EXPECT_EQ(r.options->listen_port, c.port) << what;
      EXPECT_EQ(r.options->shift_hours, 8);
    } else {
      EXPECT_TRUE(r.message_is_error) << what;
      EXPECT_EQ(r.message.find("Pwd"), std::string::npos);
    }
  }
}

}  // namespace
}  // namespace zevuvuri::line
