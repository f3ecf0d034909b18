// A few connections to the line's database, shared by the server's worker
// threads: each is used by one thread at a time, a connection that failed is
// dropped and a new one opened the next time, and no caller waits longer
// than the statement limit for its turn.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "records/odbc_connection.h"

namespace zevuvuri::line {

class ConnectionPool {
 public:
  // At most `size` connections open at once.
  ConnectionPool(std::string connection, records::ConnectionLimits limits, std::size_t size);
  ~ConnectionPool();
  ConnectionPool(const ConnectionPool&) = delete;
  ConnectionPool& operator=(const ConnectionPool&) = delete;

  // Work on one connection: true, or false and *error.
  using Work = std::function<bool(records::OdbcConnection&, std::string* error)>;
  // Runs `work` on a connection of the pool. A connection kept from before
  // that fails at once (the server restarted since) is replaced and the work
  // tried once more on a new one. False and *error (one line, passwords
  // masked) when no connection could be had in time or the work failed.
  // Any thread.
  bool Run(const Work& work, std::string* error);

 private:
  std::unique_ptr<records::OdbcConnection> Take(bool* fresh, std::string* error);
  void Give(std::unique_ptr<records::OdbcConnection> connection);  // nullptr: it failed

  const std::string connection_;
  const records::ConnectionLimits limits_;
  const std::size_t size_;
  std::mutex mutex_;
  std::condition_variable returned_;
  std::vector<std::unique_ptr<records::OdbcConnection>> idle_;
  std::size_t open_ = 0;  // idle or lent out
};

}  // namespace zevuvuri::line
