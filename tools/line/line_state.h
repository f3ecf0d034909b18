// The line as the page shows it: the stations' rows and their slots as the
// database holds them, the shift's yield, and the rules that judge them
// (online or offline, which station's image is flagged). Plain data, no
// database and no HTTP, so that each rule is proven on its own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zevuvuri::line {

// A station that has not beaten for this long is offline. Stations beat
// every 5 s, so a few beats may be lost before it shows.
constexpr std::int64_t kOfflineAfterMs = 30'000;

struct FailureCount {
  std::string reason;
  std::int64_t count = 0;
};

struct SlotState {
  std::string port;
  int slot = 0;
  std::optional<std::int64_t> unit;
  std::optional<std::string> serial;
  std::string phase;
  std::string state;
  std::optional<int> percent;
  std::optional<std::string> result;  // "ok", "failed", or none while a unit runs
  std::optional<std::string> result_text;
  bool repeat = false;
  std::optional<std::string> firmware;
  std::optional<std::string> firmware_sha256;
  std::int64_t changed_ms = 0;  // UTC, milliseconds since 1970
};

struct StationState {
  std::string station;
  std::string host;
  std::string station_run;
  std::int64_t started_ms = 0;
  std::int64_t beat_ms = 0;
  std::optional<std::int64_t> ended_ms;  // a clean end
  int slots = 0;
  int type_code = 0;
  std::string pacing;
  std::string firmware;
  std::optional<std::string> firmware_sha256;
  std::optional<std::string> approved_sha256;
  std::int64_t units = 0;
  std::int64_t ok = 0;
  std::int64_t failed = 0;
  std::vector<FailureCount> failures;
  std::vector<SlotState> slot_states;
  // Judged by JudgeStations:
  bool online = false;
  std::optional<std::int64_t> offline_since_ms;
  std::vector<std::string> flags;
};

struct HourYield {
  std::int64_t hour_ms = 0;  // the hour's start, UTC
  std::int64_t units = 0;
  std::int64_t ok = 0;
};

struct LineState {
  std::int64_t now_ms = 0;  // the database's clock
  int shift_hours = 8;
  std::vector<StationState> stations;
  std::vector<HourYield> yield_by_hour;  // one per hour of the shift, oldest first
  std::vector<FailureCount> top_failures;
};

struct Attempt {
  std::int64_t started_ms = 0;
  std::int64_t ended_ms = 0;
  std::string station;
  std::string port;
  std::optional<std::int64_t> unit;
  std::string firmware;
  std::optional<std::string> firmware_sha256;
  std::string result;
  std::int64_t exit_code = 0;
  double duration_s = 0;
};

// Units by hour and failures by reason over a span of the shift's records.
struct ShiftTally {
  std::vector<HourYield> hours;        // as the database grouped them
  std::vector<FailureCount> failures;  // by reason
};
// `a` and `b` together: counts of the same hour or reason added.
ShiftTally AddTallies(const ShiftTally& a, const ShiftTally& b);
// The `count` most frequent reasons, most first (ties by reason).
std::vector<FailureCount> TopFailures(std::vector<FailureCount> failures, std::size_t count);

// A time as the database driver writes it, "YYYY-MM-DD HH:MM:SS[.fff][+zz[:mm]]"
// (no offset: UTC), as milliseconds since 1970 UTC; nothing when it is not one.
std::optional<std::int64_t> ParseDatabaseTime(std::string_view text);
// "YYYY-MM-DDTHH:MM:SS.mmmZ"
std::string IsoUtc(std::int64_t ms);
// "YYYY-MM-DD HH:MM:SS.mmm", for a parameter compared with a UTC column.
std::string SqlUtc(std::int64_t ms);

// A station's failure tally as it keeps it, JSON [["text", count], ...];
// anything else (an older station, a damaged text) counts as none.
std::vector<FailureCount> ParseFailureTally(std::string_view text);

// Percent of `ok` in `units`, to one decimal; nothing for no units.
std::optional<double> YieldPercent(std::int64_t ok, std::int64_t units);

// Sets each station's online state and flags:
//  - online while its run has not ended and it beat within kOfflineAfterMs
//    of `now_ms`; otherwise offline since its end, or else its last beat;
//  - "differs from other stations of type N" when its image is not the one
//    most online stations of its module type flash (a tie flags each of the
//    tied ones: none of them is the line's image); offline stations flash
//    nothing and are not compared;
//  - "not the approved image" when it is pinned and its image, or the image
//    any of its slots flashes, is another (SHA-256 compared in any case).
void JudgeStations(std::vector<StationState>* stations, std::int64_t now_ms);

// The start of the hour `ms` is in.
std::int64_t HourStart(std::int64_t ms);

// One entry per hour from the hour of `from_ms` to that of `now_ms`, with
// the counts of `counted` (hours as the database grouped them) where there
// are any, zero elsewhere.
std::vector<HourYield> FillShiftHours(const std::vector<HourYield>& counted, std::int64_t from_ms,
                                      std::int64_t now_ms);

}  // namespace zevuvuri::line
