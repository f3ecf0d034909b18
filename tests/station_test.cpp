// The station's own pieces without a front end: the shift's tally, and the
// model driven as the window drives it.
#include <gtest/gtest.h>

#include <chrono>
#include <numeric>
#include <string>
#include <utility>
#include <vector>

#include "station/station_tally.h"

namespace zevuvuri::station {
namespace {

// Nearest-rank percentiles and means of the OK units only; the failures by
// text in the order they first came.
TEST(StationTallyTest, YieldRateMeanAndP95) {
  struct Case {
    std::vector<double> ok_seconds;
    double mean;
    double p95;
  };
  std::vector<double> one_to_twenty(20), one_to_hundred(100);
  std::iota(one_to_twenty.begin(), one_to_twenty.end(), 1.0);
  std::iota(one_to_hundred.begin(), one_to_hundred.end(), 1.0);
  const Case cases[] = {
      {{14.0}, 14.0, 14.0},
      {{3.0, 1.0, 2.0}, 2.0, 3.0},
      {one_to_twenty, 10.5, 19.0},
      {one_to_hundred, 50.5, 95.0},
  };
  const auto t0 = StationTally::Clock::time_point{} + std::chrono::hours{1000};
  for (const auto& c : cases) {
    StationTally tally;
    tally.Began(t0);
    tally.Began(t0 + std::chrono::minutes{5});  // the hour runs from the first unit
    for (double s : c.ok_seconds) tally.Ended("1", true, "Upgrade OK", s);
    tally.Ended("2", false, "Write Error", 0.5);
    tally.Ended("1", false, "Did not get local ACK", 30.0);
    tally.Ended("2", false, "Write Error", 0.5);
    const StationTotals t = tally.Totals(t0 + std::chrono::minutes{30});
    const unsigned units = static_cast<unsigned>(c.ok_seconds.size()) + 3;
    EXPECT_EQ(t.units, units);
    EXPECT_EQ(t.ok, c.ok_seconds.size());
    EXPECT_EQ(t.failed, 3u);
    EXPECT_DOUBLE_EQ(t.yield_percent, 100.0 * static_cast<double>(c.ok_seconds.size()) / units);
    ASSERT_TRUE(t.units_per_hour && t.mean_s && t.p95_s);
    EXPECT_DOUBLE_EQ(*t.units_per_hour, units * 2.0);
    EXPECT_DOUBLE_EQ(*t.mean_s, c.mean);
    EXPECT_DOUBLE_EQ(*t.p95_s, c.p95);
    EXPECT_EQ(t.failures, (std::vector<std::pair<std::string, unsigned>>{{"Write Error", 2},
                                                                         {"Did not get local ACK", 1}}));
    EXPECT_EQ(tally.PortCounts("2"), (std::pair<unsigned, unsigned>{2, 0}));
  }
  StationTally tally;
  EXPECT_EQ(StationTally::Line(tally.Totals(StationTally::Clock::now())), "0 units, 0 OK, 0 failed, yield 0.0 %");
  tally.Began(t0);
  tally.Ended("1", true, "Upgrade OK", 14.25);
  tally.Ended("1", false, "Write Error", 3.0);
  EXPECT_EQ(StationTally::Line(tally.Totals(t0 + std::chrono::minutes{1})),
            "2 units, 1 OK, 1 failed (Write Error 1), yield 50.0 %, 120.0 units/h, mean 14.2 s, p95 14.2 s");
}

}  // namespace
}  // namespace zevuvuri::station
