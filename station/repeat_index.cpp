#include "station/repeat_index.h"

#include <cstdint>
#include <vector>

#include "records/journal.h"

namespace zevuvuri::station {

bool RepeatIndex::ReadJournal(const std::string& path, std::string* error) {
  constexpr std::size_t kLinesPerRead = 4096;
  std::uint64_t offset = 0;
  for (;;) {
    std::vector<records::JournalLine> lines;
    if (!records::ReadJournal(path, offset, kLinesPerRead, &lines, error)) return false;
    for (const auto& line : lines) {
      if (const auto row = records::ParseRecord(line.text)) Take(row->serial_number, row->firmware_sha256, row->result);
    }
    if (lines.size() < kLinesPerRead) return true;
    offset = lines.back().end;
  }
}

void RepeatIndex::Take(const std::optional<std::string>& serial, const std::optional<std::string>& sha256,
                       const std::string& result) {
  if (result == "Upgrade OK" && serial && sha256) upgraded_.emplace(*serial, *sha256);
}

bool RepeatIndex::UpgradedBefore(const std::string& serial, const std::string& sha256) const {
  return upgraded_.count({serial, sha256}) > 0;
}

}  // namespace zevuvuri::station
