// How far into a journal the forwarder got: a small file beside the journal
// ("records.jsonl.sent"), holding the offset just past the last record that
// the database has. One implementation per platform (sent_mark_posix.cpp,
// sent_mark_win32.cpp). A lost or damaged mark only makes the forwarder send
// again what the database already has, which it takes as sent.
#pragma once

#include <cstdint>
#include <string>

namespace zevuvuri::records {

std::string SentMarkPath(const std::string& journal_utf8_path);

// The offset kept, 0 when there is none or it cannot be read.
std::uint64_t LoadSentMark(const std::string& mark_utf8_path);

// Replaces the offset and syncs it to the disk before returning. False and
// `*error` when it could not be kept.
bool SaveSentMark(const std::string& mark_utf8_path, std::uint64_t offset, std::string* error);

}  // namespace zevuvuri::records
