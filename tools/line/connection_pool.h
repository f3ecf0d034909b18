// A few connections to the line's database, shared by the server's worker
// threads: each is used by one call at a time, a connection that failed is
// dropped and a new one opened the next time, and no caller waits much past
// the statement limit, even for a server that has stopped answering
// altogether (a frozen host, a cut network), which neither the driver's
// statement limit nor a cancel can end.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>

#include "records/odbc_connection.h"

namespace zevuvuri::line {

class ConnectionPool {
 public:
  // At most `size` connections open at once, counting those given up on.
  ConnectionPool(std::string connection, records::ConnectionLimits limits, std::size_t size);
  ~ConnectionPool();
  ConnectionPool(const ConnectionPool&) = delete;
  ConnectionPool& operator=(const ConnectionPool&) = delete;

  // Work on one connection: true, or false and *error. It runs on a thread
  // of its own and may outlive the Run that started it (when given up on),
  // so it must own everything it touches (shared pointers, copies).
  using Work = std::function<bool(records::OdbcConnection&, std::string* error)>;
  // Runs `work` on a connection of the pool. A connection kept from before
  // that fails at once (the server restarted since) is replaced and the work
  // tried once more on a new one. A call still running past the statement
  // limit is cancelled, and given up on (its connection with it) when even
  // that does not end it. False and *error (one line, passwords masked) when
  // no connection could be had in time or the work failed. Any thread.
  bool Run(const Work& work, std::string* error);

 private:
  struct State;
  std::shared_ptr<records::OdbcConnection> Take(bool* fresh, std::string* error);

  const std::string connection_;
  const records::ConnectionLimits limits_;
  std::shared_ptr<State> state_;  // shared with calls given up on
};

}  // namespace zevuvuri::line
