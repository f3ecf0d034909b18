// Standard output that cannot be written (a full disk, a closed pipe) must
// not pass for success with a script that reads it: the first failure is
// said on standard error as it happens, the upgrade goes on, and the run ends
// with ExitCode::Output.
#pragma once

#include <cstdio>

namespace zevuvuri::cli {

// Flushes `stream`; when that, or an earlier write to it, failed and it is
// standard output, says so on standard error the first time. Any thread.
void FlushChecked(std::FILE* stream);

// Whether a write to standard output has failed so far (it is flushed first).
bool OutputFailed();

}  // namespace zevuvuri::cli
