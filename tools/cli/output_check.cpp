#include "tools/cli/output_check.h"

#include <atomic>
#include <cerrno>
#include <cstring>

namespace zevuvuri::cli {
namespace {

std::atomic<bool> g_failed{false};

}  // namespace

void FlushChecked(std::FILE* stream) {
  errno = 0;
  const bool flushed = std::fflush(stream) == 0;
  if (stream != stdout || (flushed && !std::ferror(stream))) return;
  const int error = errno;
  if (g_failed.exchange(true)) return;
  std::fprintf(stderr, "zevuvuri-cli: standard output could not be written%s%s\n", error != 0 ? ": " : "",
               error != 0 ? std::strerror(error) : "");
  std::fflush(stderr);
}

bool OutputFailed() {
  FlushChecked(stdout);
  return g_failed.load();
}

}  // namespace zevuvuri::cli
