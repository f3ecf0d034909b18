#include "station/journal_files.h"

#include "records/journal_file.h"
#include "records/report_file.h"
#include "records/sent_mark.h"

namespace zevuvuri::station {

std::optional<std::string> JournalFileIsFirmware(const std::string& journal, const std::string& firmware) {
  if (records::SameFile(journal, firmware)) return "the journal " + journal;
  // A mark or a lock that does not exist yet is found here too: its name then
  // leads to the firmware itself.
  if (const std::string mark = records::SentMarkPath(journal); records::SameFile(mark, firmware)) {
    return "its mark file " + mark;
  }
  if (const std::string lock = records::JournalLockPath(journal); records::SameFile(lock, firmware)) {
    return "its lock file " + lock;
  }
  return std::nullopt;
}

}  // namespace zevuvuri::station
