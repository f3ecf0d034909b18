// What the page and the API read from the line's database: the stations'
// live rows with their slots, and the shift's yield and failures from the
// records; a board's attempts. Few statements per answer, all reads.
#pragma once

#include <cstddef>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "tools/line/connection_pool.h"
#include "tools/line/line_state.h"

namespace zevuvuri::line {

// Attempts on one serial beyond this many are left out of an answer.
constexpr std::size_t kMaxAttempts = 1000;
// The shift's hours before the current one are counted again at most this
// often (and when the hour turns): a whole shift of records takes tens of
// milliseconds to count, the current hour a fraction of that. Records that
// arrive late for a past hour (a station's backlog) show within this time.
constexpr std::int64_t kPastHoursMaxAgeMs = 60'000;

class LineReader {
 public:
  LineReader(ConnectionPool* pool, int shift_hours);
  LineReader(const LineReader&) = delete;
  LineReader& operator=(const LineReader&) = delete;

  // The line now, judged (JudgeStations). False and *error (one line,
  // passwords masked) when the database does not answer. Any thread.
  bool ReadLine(LineState* state, std::string* error);
  // Every attempt on `serial`, oldest first. Any thread.
  bool ReadSerial(const std::string& serial, std::vector<Attempt>* attempts, std::string* error);

 private:
  // The shift's records before the current hour, [from_ms, to_ms), as last
  // counted. Shared with the pool's calls, which may outlive a request.
  struct PastHours {
    std::int64_t from_ms = 0;
    std::int64_t to_ms = 0;
    std::int64_t read_at_ms = 0;  // the database's clock
    ShiftTally tally;
  };
  struct Shared {
    int shift_hours = 8;
    std::mutex mutex;  // for past; never held during a statement
    std::optional<PastHours> past;
  };
  static bool ReadLineOn(records::OdbcConnection& db, Shared& shared, LineState* state, std::string* error);

  ConnectionPool* pool_;
  std::shared_ptr<Shared> shared_;
};

}  // namespace zevuvuri::line
