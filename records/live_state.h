// A station's live state as the line's database keeps it (line_stations and
// station_slots in postgresql.sql): what the station is and runs, the totals
// of its run, and what each slot shows now. Plain values, copied between the
// station's thread and the publisher's.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace zevuvuri::records {

// The station's row as its run opens.
struct LiveStation {
  std::string station;
  std::string host;
  std::string station_run;
  int type_code = 0;
  std::string pacing;    // "classic", "fast"
  std::string firmware;  // the image's path as given
  std::optional<std::string> approved_sha256;
  std::string loader_version;
  // One slot each, in the station's order: rows of the station's other ports
  // (a station restarted with fewer) are removed.
  std::vector<std::string> ports;
};

// What changes in the station's row while it runs: its totals, and the image
// it flashes (known once a unit has taken it; a single run on request may
// change it).
struct LiveRun {
  unsigned units = 0;
  unsigned ok = 0;
  unsigned failed = 0;
  std::vector<std::pair<std::string, unsigned>> failures;  // result text, count, first seen first
  std::string firmware;
  std::optional<std::string> firmware_sha256;

  bool operator==(const LiveRun&) const = default;
};

// One slot's row.
struct LiveSlot {
  std::string port;
  int slot = 0;
  std::optional<unsigned> unit;
  std::optional<std::string> serial;
  std::string phase;       // "waiting", "upgrading", "leaving"
  std::string state_text;  // as the station view shows it
  std::optional<int> percent;             // nothing before the unit's first data frame
  std::optional<std::string> result;      // "ok", "failed"; nothing while a unit runs
  std::optional<std::string> result_text;
  bool repeat = false;
  std::optional<std::string> firmware;         // of the unit on the slot, or the last one
  std::optional<std::string> firmware_sha256;
  std::optional<int> type_code;

  bool operator==(const LiveSlot&) const = default;
};

// The failures as line_stations.failures keeps them: [["text",count],...].
std::string FailuresJson(const std::vector<std::pair<std::string, unsigned>>& failures);

}  // namespace zevuvuri::records
