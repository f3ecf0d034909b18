// The journal: the local file of JSON lines that a run appends its records
// to (the --report file), read back by the forwarder.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace zevuvuri::records {

struct JournalLine {
  std::uint64_t end = 0;  // the offset just past its newline
  std::string text;       // without the newline
};

// The complete lines from byte `offset` on, at most `limit` of them. A last
// line without its newline is left out: it is being written, or a power loss
// cut it (the next record then starts on a line of its own, and the torn
// text becomes a line that is no record). False and `*error` when the file
// cannot be read; a missing file has no lines.
bool ReadJournal(const std::string& utf8_path, std::uint64_t offset, std::size_t limit,
                 std::vector<JournalLine>* lines, std::string* error);

// One record as the database takes it.
struct RecordRow {
  std::string record_id;  // 32 hex digits
  std::string station;
  std::optional<std::string> station_run;
  std::optional<std::int64_t> unit;
  std::optional<std::string> serial_number;
  std::optional<bool> repeat;
  std::string host;
  std::string port;
  std::optional<std::string> device;
  std::int64_t type_code = 0;
  std::optional<std::string> link_mode;
  std::string pacing;
  std::string firmware;
  std::optional<std::int64_t> firmware_size;
  std::optional<std::string> firmware_sha256;
  std::optional<std::string> approved_sha256;
  std::string result;
  std::int64_t exit_code = 0;
  std::int64_t data_frames_sent = 0;
  std::string started_utc;  // "2026-12-08T05:01:02.345Z"
  double duration_s = 0;
  std::string loader_version;
  std::string line;  // the whole record as written
};

// The row of a journal line; nothing for a line that is no record (torn
// text, or a record written before records carried their id).
std::optional<RecordRow> ParseRecord(const std::string& line);

}  // namespace zevuvuri::records
