// zevuvuri-line's HTTP side: the page's files and the JSON API over a
// LineReader, with the limits a server on a factory network needs (request
// sizes, read and write time limits, a small fixed set of worker threads, so
// that a client that sends half a request and stops ties up one worker for
// the read limit at most).
#pragma once

#include <atomic>
#include <memory>
#include <string>

#include "tools/line/line_reader.h"

namespace httplib {
class Server;
}

namespace zevuvuri::line {

struct ServerLimits {
  int workers = 8;             // requests served at once
  int read_timeout_s = 5;      // a request must arrive within this
  int write_timeout_s = 5;
  // One request per connection: a page that polls every second over a kept
  // connection would hold a worker for as long as it stays open, and a few
  // open pages would then take them all.
  int requests_per_connection = 1;
  int keep_alive_timeout_s = 3;
  std::size_t max_body = 16 * 1024;  // the API takes GETs only
};

// The answers without HTTP: the status and the JSON body.
struct ApiAnswer {
  int status = 200;
  std::string body;
};
ApiAnswer AnswerLine(LineReader& reader);
// `number` as given, or nothing when the query had none.
ApiAnswer AnswerSerial(LineReader& reader, const std::optional<std::string>& number);

// Bind, then Serve on one thread; Stop from any thread.
class LineServer {
 public:
  LineServer(LineReader* reader, const ServerLimits& limits, bool access_log);
  ~LineServer();
  LineServer(const LineServer&) = delete;
  LineServer& operator=(const LineServer&) = delete;

  // False and *error when the address cannot be listened on.
  bool Bind(const std::string& host, int port, std::string* error);
  int Port() const { return port_; }
  // Serves until Stop(). False when it ended for another reason.
  bool Serve();
  // Also before Serve has begun (a signal at start-up): Serve then returns
  // at once. Waits for the requests being served (each bounded by the read
  // and write limits).
  void Stop();

 private:
  std::unique_ptr<httplib::Server> http_;
  int port_ = 0;
  std::atomic<bool> stopping_{false};
  std::atomic<bool> served_{false};  // Serve has returned
};

}  // namespace zevuvuri::line
