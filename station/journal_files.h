// The files a journal brings beside it: the forwarder's mark
// ("<journal>.sent") and its lock ("<journal>.lock"). The forwarder writes
// both, so none of them may be the firmware a unit is flashed with.
#pragma once

#include <optional>
#include <string>

namespace zevuvuri::station {

// Which of the journal's files is the firmware (the same file by identity,
// under any name): "the journal FILE", "its mark file FILE" or "its lock
// file FILE"; nothing when none is.
std::optional<std::string> JournalFileIsFirmware(const std::string& journal, const std::string& firmware);

}  // namespace zevuvuri::station
