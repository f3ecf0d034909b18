// Where the forwarder sends records: the line's database behind a small
// interface, so that the forwarder's rules (marks, refusals, duplicates,
// batches, rotation) can be tried without a server. odbc_store.h is the
// real one.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "records/journal.h"

namespace zevuvuri::records {

// What became of one row of a batch.
enum class RowOutcome {
  Stored,        // committed
  AlreadyThere,  // its record_id is in the table: an earlier send got through
  Refused,       // the database refuses this row for itself (a constraint, a
                 // trigger, a value too long): sending it again the same way
                 // will not help, and the other rows still go
};

struct RowResult {
  RowOutcome outcome = RowOutcome::Stored;
  std::string reason;  // why it was refused, password masked; empty otherwise
};

// Store: one thread (the forwarder's). Cancel: any other thread while the
// object lives.
class RecordStore {
 public:
  virtual ~RecordStore() = default;

  // Takes `rows` into the database, in as few round trips as it can, each row
  // exactly once: `*results` gets one entry per row, in order. Only a
  // violation of the record_id key is AlreadyThere; any other refusal of a
  // row is Refused. False and `*error` (password masked) when the connection
  // failed, a time limit passed or the statement was cancelled: then nothing
  // of the batch may be taken as stored, `*results` means nothing, and the
  // store is not used again.
  virtual bool Store(const std::vector<RecordRow>& rows, std::vector<RowResult>* results,
                     std::string* error) = 0;

  // Asks the database to stop what Store runs now.
  virtual void Cancel() = 0;
};

// Opens a store: nothing and `*error` (password masked) when it cannot.
using StoreOpener = std::function<std::unique_ptr<RecordStore>(std::string* error)>;

}  // namespace zevuvuri::records
