#include "station/journal_files.h"

#include "records/report_file.h"
#include "records/sent_mark.h"

namespace zevuvuri::station {

std::string JournalMarkPath(const std::string& journal) { return records::SentMarkPath(journal); }

std::string JournalLockPath(const std::string& journal) { return journal + ".lock"; }

std::optional<std::string> JournalFileIsFirmware(const std::string& journal, const std::string& firmware) {
  if (records::SameFile(journal, firmware)) return "the journal " + journal;
  // A mark or a lock that does not exist yet is found here too: its name then
  // leads to the firmware itself.
  if (const std::string mark = JournalMarkPath(journal); records::SameFile(mark, firmware)) {
    return "its mark file " + mark;
  }
  if (const std::string lock = JournalLockPath(journal); records::SameFile(lock, firmware)) {
    return "its lock file " + lock;
  }
  return std::nullopt;
}

}  // namespace zevuvuri::station
