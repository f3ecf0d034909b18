#include "records/journal_lines.h"

#include <algorithm>
#include <cstring>

namespace zevuvuri::records {
namespace {

constexpr std::size_t kReadStep = 64 * 1024;

}  // namespace

std::uint64_t LineHash(std::string_view bytes) {
  std::uint64_t h = 0xcbf29ce484222325ull;
  for (const char c : bytes) {
    h ^= static_cast<unsigned char>(c);
    h *= 0x100000001b3ull;
  }
  return h;
}

bool ReadLines(JournalFile& file, std::uint64_t offset, std::size_t max_lines, std::size_t max_bytes,
               std::vector<JournalLine>* lines, std::string* error) {
  lines->clear();
  std::string pending;        // the current line's bytes so far
  bool overlong = false;      // the current line passed kLongestLine: its bytes are dropped
  std::uint64_t at = offset;  // where the next read starts
  std::size_t held = 0;       // bytes in `*lines`
  std::string buffer(kReadStep, '\0');
  while (lines->size() < max_lines) {
    std::size_t got = 0;
    if (!file.ReadAt(at, buffer.data(), buffer.size(), &got, error)) return false;
    if (got == 0) return true;  // the end: a line without its newline waits
    std::size_t from = 0;
    while (from < got) {
      const char* nl = static_cast<const char*>(std::memchr(buffer.data() + from, '\n', got - from));
      const std::size_t upto = nl ? static_cast<std::size_t>(nl - buffer.data()) : got;
      if (!overlong) {
        if (pending.size() + (upto - from) > kLongestLine) {
          overlong = true;
          pending.clear();
          pending.shrink_to_fit();
        } else {
          pending.append(buffer.data() + from, upto - from);
        }
      }
      if (!nl) break;
      const std::uint64_t end = at + upto + 1;
      if (!lines->empty() && held + pending.size() > max_bytes) return true;
      held += pending.size();
      lines->push_back({end, std::move(pending)});
      pending.clear();
      overlong = false;
      from = upto + 1;
      if (lines->size() == max_lines || held >= max_bytes) return true;
    }
    at += got;
  }
  return true;
}

bool LineEndingAt(JournalFile& file, std::uint64_t end, std::string* line) {
  line->clear();
  std::string error;
  std::size_t got = 0;
  char last = 0;
  if (end == 0 || !file.ReadAt(end - 1, &last, 1, &got, &error) || got != 1 || last != '\n') return false;
  // Back from the newline, a step at a time, to the newline before it.
  const std::uint64_t newline = end - 1;
  std::uint64_t start = 0;
  std::string step(4096, '\0');
  for (std::uint64_t upto = newline; upto > 0;) {
    if (newline - upto > kLongestLine) return false;
    const std::uint64_t from = upto > step.size() ? upto - step.size() : 0;
    const auto size = static_cast<std::size_t>(upto - from);
    std::size_t done = 0;
    while (done < size) {
      if (!file.ReadAt(from + done, step.data() + done, size - done, &got, &error) || got == 0) return false;
      done += got;
    }
    const std::size_t at = std::string_view(step.data(), size).rfind('\n');
    if (at != std::string_view::npos) {
      start = from + at + 1;
      break;
    }
    upto = from;
  }
  if (newline - start > kLongestLine) return false;
  line->resize(static_cast<std::size_t>(newline - start));
  std::size_t done = 0;
  while (done < line->size()) {
    if (!file.ReadAt(start + done, line->data() + done, line->size() - done, &got, &error) || got == 0) return false;
    done += got;
  }
  return true;
}

}  // namespace zevuvuri::records
