// --forward-records, and what the command line says of records left in the
// journal at a run's end.
#pragma once

#include <cstdint>
#include <string>

namespace zevuvuri::cli {

// Says on standard error where the waiting records are kept.
void SayRecordsWaiting(std::uint64_t waiting, const std::string& journal);

// --forward-records: sends the journal's backlog and ends at the first
// failure, once everything is sent, or on Ctrl-C. The exit status.
int ForwardRecords(const std::string& journal, const std::string& connection);

}  // namespace zevuvuri::cli
