// One connection to the line's database through ODBC, taking records into
// the unit_records table (postgresql.sql, sqlserver.sql). Text goes through
// the W calls as UTF-16 on every platform.
#pragma once

#include <memory>
#include <string>

#include "records/journal.h"
#include "records/record_store.h"

namespace zevuvuri::records {

enum class StoreResult {
  Stored,
  AlreadyThere,  // the record_id is in the table: an earlier send got through
  Failed,
};

// Connect and Insert: one thread (the forwarder's). Cancel: any other thread,
// while the object lives (the forwarder holds a lock around both).
class OdbcStore {
 public:
  // Connects with `connection` (an ODBC connection string). Nothing, and
  // `*error` (the driver's diagnostic, passwords masked), when it cannot.
  static std::unique_ptr<OdbcStore> Connect(const std::string& connection, std::string* error);
  ~OdbcStore();
  OdbcStore(const OdbcStore&) = delete;
  OdbcStore& operator=(const OdbcStore&) = delete;

  // Inserts the row into the open transaction (one begins with the first
  // insert after a commit or a rollback). A unique-key violation is
  // AlreadyThere, and the transaction must then be rolled back (PostgreSQL
  // refuses anything more in it): the SQLSTATE check serves every server,
  // where an upsert dialect would not.
  StoreResult Insert(const RecordRow& row, std::string* error);
  // Commits the transaction: false and `*error` when the server did not.
  bool Commit(std::string* error);
  void Rollback();

  // Asks the driver to stop the statement that Insert runs now (SQLCancel).
  void Cancel();

 private:
  struct Handles;
  explicit OdbcStore(std::unique_ptr<Handles> handles);
  const std::unique_ptr<Handles> handles_;
};

// The line's database as the forwarder's store (record_store.h). Nothing and
// `*error` (password masked) when it cannot be reached.
std::unique_ptr<RecordStore> OpenOdbcStore(const std::string& connection, std::string* error);

}  // namespace zevuvuri::records
