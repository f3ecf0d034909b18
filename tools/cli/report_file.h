// The --report file: records appended whole, never rewritten. One
// implementation per platform (report_file_posix.cpp, report_file_win32.cpp).
#pragma once

#include <string>

namespace zevuvuri::cli {

// Opens the file for appending (creating it), writes `line` and a newline in
// one write call and flushes it to the disk, so that writers in several
// processes never interleave and a crash leaves no half record. False and
// `*error` when it cannot.
bool AppendLine(const std::string& utf8_path, const std::string& line, std::string* error);

// Whether the file can be opened for appending (it is created if missing),
// checked before any module is touched.
bool CanAppend(const std::string& utf8_path, std::string* error);

// This machine's name, for the record.
std::string HostName();

}  // namespace zevuvuri::cli
