// A journal's lines read through a held file (journal_file.h) in bounded
// pieces: however large the backlog, a read holds at most a batch of lines
// and a bounded number of bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "records/journal.h"
#include "records/journal_file.h"

namespace zevuvuri::records {

// A line longer than this is no record: it is passed over whole, without
// being held.
constexpr std::size_t kLongestLine = 256 * 1024;

// 64-bit FNV-1a: a line's fingerprint in the mark, and the mark's check sum.
std::uint64_t LineHash(std::string_view bytes);

// The complete lines from `offset` on: at most `max_lines`, and no more
// bytes than `max_bytes` (at least one line is given when one is complete,
// however long; one over kLongestLine comes with empty text). A last line
// without its newline is left out. False and `*error` on a read error.
bool ReadLines(JournalFile& file, std::uint64_t offset, std::size_t max_lines, std::size_t max_bytes,
               std::vector<JournalLine>* lines, std::string* error);

// The line that ends (with its newline) at `end`: false when the byte
// before `end` is no newline, or the line is longer than kLongestLine, or
// the file cannot be read.
bool LineEndingAt(JournalFile& file, std::uint64_t end, std::string* line);

}  // namespace zevuvuri::records
