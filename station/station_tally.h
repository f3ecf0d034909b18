// A station's shift figures: units done, how many ended "Upgrade
// OK", the failures by their result text, the yield, units per hour, and the
// mean and 95th percentile of the upgrade time, in all and per port.
#pragma once

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace zevuvuri::station {

struct StationTotals {
  unsigned units = 0;
  unsigned ok = 0;
  unsigned failed = 0;
  // Result text and count, in the order each text first came.
  std::vector<std::pair<std::string, unsigned>> failures;
  double yield_percent = 0;  // 0 before the first unit
  // Since the first unit began; nothing until a unit has ended.
  std::optional<double> units_per_hour;
  // Of the units that ended "Upgrade OK"; nothing before the first. The 95th
  // percentile is the nearest rank: the value at or below which 95 % lie.
  std::optional<double> mean_s;
  std::optional<double> p95_s;
};

// One thread only: the one that drives the station.
class StationTally {
 public:
  using Clock = std::chrono::steady_clock;

  // A unit began at `when`: the hour's count runs from the first one.
  void Began(Clock::time_point when);
  void Ended(const std::string& port, bool ok, const std::string& result, double seconds);

  StationTotals Totals(Clock::time_point now) const;
  // The units and the OK ones of one port.
  std::pair<unsigned, unsigned> PortCounts(const std::string& port) const;

  // The totals as one line: "6 units, 5 OK, 1 failed (Write Error 1), yield
  // 83.3 %, 245.0 units/h, mean 14.2 s, p95 14.6 s".
  static std::string TotalsLine(const StationTotals& totals);

 private:
  std::optional<Clock::time_point> first_began_;
  std::vector<double> ok_seconds_;
  StationTotals counts_;  // units, ok, failed, failures
  std::map<std::string, std::pair<unsigned, unsigned>> per_port_;
};

}  // namespace zevuvuri::station
