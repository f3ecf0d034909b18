#include "station/station_tally.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <numeric>

namespace zevuvuri::station {

void StationTally::Began(Clock::time_point when) {
  if (!first_began_) first_began_ = when;
}

void StationTally::Ended(const std::string& port, bool ok, const std::string& result, double seconds) {
  ++counts_.units;
  auto& [units, oks] = per_port_[port];
  ++units;
  if (ok) {
    ++counts_.ok;
    ++oks;
    ok_seconds_.push_back(seconds);
    return;
  }
  ++counts_.failed;
  auto same = std::find_if(counts_.failures.begin(), counts_.failures.end(),
                           [&](const auto& f) { return f.first == result; });
  if (same == counts_.failures.end()) {
    counts_.failures.emplace_back(result, 1);
  } else {
    ++same->second;
  }
}

StationTotals StationTally::Totals(Clock::time_point now) const {
  StationTotals t = counts_;
  if (t.units == 0) return t;
  t.yield_percent = 100.0 * t.ok / t.units;
  if (first_began_) {
    const double hours = std::chrono::duration<double, std::ratio<3600>>(now - *first_began_).count();
    if (hours > 0) t.units_per_hour = t.units / hours;
  }
  if (!ok_seconds_.empty()) {
    std::vector<double> sorted = ok_seconds_;
    std::sort(sorted.begin(), sorted.end());
    t.mean_s = std::accumulate(sorted.begin(), sorted.end(), 0.0) / static_cast<double>(sorted.size());
    const auto rank = static_cast<std::size_t>(std::ceil(0.95 * static_cast<double>(sorted.size())));
    t.p95_s = sorted[std::max<std::size_t>(rank, 1) - 1];
  }
  return t;
}

std::pair<unsigned, unsigned> StationTally::PortCounts(const std::string& port) const {
  const auto it = per_port_.find(port);
  return it == per_port_.end() ? std::pair<unsigned, unsigned>{0, 0} : it->second;
}

std::string StationTally::TotalsLine(const StationTotals& t) {
  std::string line = std::to_string(t.units) + (t.units == 1 ? " unit, " : " units, ") + std::to_string(t.ok) +
                     " OK, " + std::to_string(t.failed) + " failed";
  if (!t.failures.empty()) {
    line += " (";
    for (std::size_t i = 0; i < t.failures.size(); ++i) {
      line += (i > 0 ? ", " : "") + t.failures[i].first + " " + std::to_string(t.failures[i].second);
    }
    line += ")";
  }
  char figures[160];
  std::snprintf(figures, sizeof figures, ", yield %.1f %%", t.yield_percent);
  line += figures;
  if (t.units_per_hour) {
    std::snprintf(figures, sizeof figures, ", %.1f units/h", *t.units_per_hour);
    line += figures;
  }
  if (t.mean_s && t.p95_s) {
    std::snprintf(figures, sizeof figures, ", mean %.1f s, p95 %.1f s", *t.mean_s, *t.p95_s);
    line += figures;
  }
  return line;
}

}  // namespace zevuvuri::station
