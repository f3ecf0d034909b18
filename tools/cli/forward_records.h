// --forward-records, and what the command line says of records left in the
// journal at a run's end.
#pragma once

#include <cstdint>
#include <string>

#include "records/forwarder.h"

namespace zevuvuri::cli {

// Says on standard error what a run's end left in the journal: records
// waiting or refused and where they are kept, or why it cannot be read.
void SayRecordsLeft(const records::WaitingCount& left, const std::string& journal);

// --forward-records: sends the journal's backlog and ends at the first
// failure, once everything is sent, when the database does not answer for
// records::kNotAnswering, or on Ctrl-C. A journal that is missing or cannot
// be read is an error (11). The exit status: 14 while records wait, 15 when
// the database refused some and none waits.
int ForwardRecords(const std::string& journal, const std::string& connection);

}  // namespace zevuvuri::cli
