#include "records/sent_mark.h"

#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <sstream>
#include <thread>

#include "records/journal_lines.h"

namespace zevuvuri::records {
namespace {

constexpr const char* kHeader = "zevuvuri sent mark 2";
// A mark's largest size: the header, its fields and kMostRefusedKept lines.
constexpr std::size_t kLongestMark = 128 * 1024;

bool IsRecordIdOrDash(const std::string& id) {
  if (id == "-") return true;
  if (id.size() != 32) return false;
  for (const char c : id) {
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  }
  return true;
}

}  // namespace

std::string SentMarkPath(const std::string& journal_utf8_path) { return journal_utf8_path + ".sent"; }

std::string EncodeSentMark(const SentMark& mark) {
  char line[256];
  std::string body = std::string(kHeader) + "\n";
  std::snprintf(line, sizeof line, "journal %" PRIu64 " %" PRIu64 "\n", mark.journal.volume, mark.journal.index);
  body += line;
  std::snprintf(line, sizeof line, "offset %" PRIu64 " %s %016" PRIx64 "\n", mark.offset,
                mark.last_record_id.empty() ? "-" : mark.last_record_id.c_str(), mark.last_line_hash);
  body += line;
  for (const RefusedRecord& r : mark.refused) {
    std::snprintf(line, sizeof line, "refused %" PRIu64 " %" PRIu64 " %s\n", r.start, r.end, r.record_id.c_str());
    body += line;
  }
  std::snprintf(line, sizeof line, "check %016" PRIx64 "\n", LineHash(body));
  return body + line;
}

std::optional<SentMark> DecodeSentMark(const std::string& text) {
  if (text.size() > kLongestMark) return std::nullopt;
  const std::size_t check_at = text.rfind("check ");
  if (check_at == std::string::npos || (check_at > 0 && text[check_at - 1] != '\n')) return std::nullopt;
  std::uint64_t check = 0;
  char tail = 0;
  if (std::sscanf(text.c_str() + check_at, "check %16" SCNx64 "%c", &check, &tail) != 2 || tail != '\n' ||
      text.size() != check_at + 6 + 16 + 1 || check != LineHash(std::string_view(text).substr(0, check_at))) {
    return std::nullopt;
  }
  std::istringstream in(text.substr(0, check_at));
  std::string line;
  if (!std::getline(in, line) || line != kHeader) return std::nullopt;
  SentMark mark;
  std::string word;
  if (!(in >> word) || word != "journal" || !(in >> mark.journal.volume >> mark.journal.index)) return std::nullopt;
  std::string id;
  std::string hash;
  if (!(in >> word) || word != "offset" || !(in >> mark.offset >> id >> hash) || !IsRecordIdOrDash(id) ||
      hash.size() != 16) {
    return std::nullopt;
  }
  mark.last_record_id = id == "-" ? "" : id;
  if (std::sscanf(hash.c_str(), "%16" SCNx64, &mark.last_line_hash) != 1) return std::nullopt;
  while (in >> word) {
    RefusedRecord r;
    if (word != "refused" || !(in >> r.start >> r.end >> r.record_id) || r.record_id == "-" ||
        !IsRecordIdOrDash(r.record_id) || r.start >= r.end || r.end > mark.offset) {
      return std::nullopt;
    }
    mark.refused.push_back(std::move(r));
  }
  return mark;
}

std::optional<SentMark> LoadSentMark(const std::string& mark_utf8_path) {
  // Where the mark is written in place, a read may meet a write in progress:
  // a mark that does not decode is read again a moment later before it is
  // taken as damaged.
  for (int attempt = 0;; ++attempt) {
    std::string text;
    if (!ReadMarkFile(mark_utf8_path, &text)) return std::nullopt;
    auto mark = DecodeSentMark(text);
    if (mark || attempt == 2) return mark;
    std::this_thread::sleep_for(std::chrono::milliseconds{10});
  }
}

bool SaveSentMark(const std::string& mark_utf8_path, const SentMark& mark, std::string* error) {
  return WriteMarkFile(mark_utf8_path, EncodeSentMark(mark), error);
}

}  // namespace zevuvuri::records
