// Where a run keeps its journal when only --records-db is given. One
// implementation per platform (state_folder_posix.cpp, state_folder_win32.cpp).
#pragma once

#include <string>

namespace zevuvuri::records {

// POSIX: $XDG_STATE_HOME/zevuvuri/records.jsonl, or
// ~/.local/state/zevuvuri/records.jsonl; Windows:
// %LOCALAPPDATA%\ZE Vuvuri\records.jsonl. Empty when neither is known.
std::string DefaultJournalPath();

// Creates the folders above `utf8_path`. False and `*error` when it cannot.
bool MakeJournalFolder(const std::string& utf8_path, std::string* error);

}  // namespace zevuvuri::records
