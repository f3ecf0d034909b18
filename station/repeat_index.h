// The boards a journal says were upgraded: a serial number scanned again
// with the same image is a repeat (a rework, a label scanned twice).
#pragma once

#include <optional>
#include <set>
#include <string>
#include <utility>

namespace zevuvuri::station {

class RepeatIndex {
 public:
  // Takes the journal's records already there: false with `*error` when it
  // could not be read.
  bool ReadJournal(const std::string& path, std::string* error);
  // Takes one record: only "Upgrade OK" with both a serial number and the
  // image's SHA-256 counts.
  void Take(const std::optional<std::string>& serial, const std::optional<std::string>& sha256,
            const std::string& result);
  // Whether this serial number had "Upgrade OK" with an image of this SHA-256.
  bool UpgradedBefore(const std::string& serial, const std::string& sha256) const;

 private:
  std::set<std::pair<std::string, std::string>> upgraded_;  // serial number, SHA-256
};

}  // namespace zevuvuri::station
