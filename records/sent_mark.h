// How far into a journal the forwarder got: a small file beside the journal
// ("records.jsonl.sent") that says which journal it belongs to (the file's
// identity), where it stands (the offset just past the last line passed
// over) and what ends there (the record_id and a hash of that line), so that
// a mark left by another journal of that name, or damaged, is seen and
// dropped: the journal is then sent again from its start, which the
// database's record_id key makes harmless. It also keeps the records the
// database refused, to be tried again. Reading and writing the file: one
// implementation per platform (sent_mark_posix.cpp, sent_mark_win32.cpp).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "records/journal_file.h"

namespace zevuvuri::records {

// A record the database refused, kept in the journal before the mark's
// offset: where its line lies, and its id to check it is still that record.
struct RefusedRecord {
  std::uint64_t start = 0;
  std::uint64_t end = 0;  // just past its newline
  std::string record_id;
  bool operator==(const RefusedRecord&) const = default;
};

struct SentMark {
  FileIdentity journal;
  std::uint64_t offset = 0;
  std::string last_record_id;        // of the line ending at `offset`; empty when it is no record
  std::uint64_t last_line_hash = 0;  // LineHash of that line; 0 at offset 0
  std::vector<RefusedRecord> refused;
  bool operator==(const SentMark&) const = default;
};

// At most this many refused records are kept in a mark; past them the mark
// stays before the next refused one (it is then tried again at each start).
constexpr std::size_t kMostRefusedKept = 1000;

std::string SentMarkPath(const std::string& journal_utf8_path);

// The mark as text: a header, its fields, and a check sum over them.
std::string EncodeSentMark(const SentMark& mark);
// Nothing when `text` is no mark of this format, or damaged (a bare offset
// written by an earlier loader counts as no mark).
std::optional<SentMark> DecodeSentMark(const std::string& text);

// The mark kept beside a journal; nothing when there is none, or it cannot
// be read or does not decode.
std::optional<SentMark> LoadSentMark(const std::string& mark_utf8_path);

// Replaces the mark and syncs it to the disk before returning. False and
// `*error` when it could not be kept.
bool SaveSentMark(const std::string& mark_utf8_path, const SentMark& mark, std::string* error);

// Platform part: the mark file's bytes.
bool ReadMarkFile(const std::string& mark_utf8_path, std::string* text);
bool WriteMarkFile(const std::string& mark_utf8_path, const std::string& text, std::string* error);

}  // namespace zevuvuri::records
