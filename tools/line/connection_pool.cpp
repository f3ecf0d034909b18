#include "tools/line/connection_pool.h"

#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "records/connection_text.h"

namespace zevuvuri::line {
namespace {

// A kept connection that fails sooner than this was most likely cut while
// idle; one that took longer met a server that does not answer, and trying
// again would only double the wait.
constexpr auto kQuickFailure = std::chrono::seconds{1};
// Past the statement limit: how long before the call is cancelled, and how
// long after that before it is given up on.
constexpr auto kCancelAfter = std::chrono::seconds{1};
constexpr auto kGiveUpAfter = std::chrono::seconds{2};

// One call on its own thread, and what the caller learns of it.
struct Call {
  std::mutex mutex;
  std::condition_variable ended;
  bool done = false;
  bool ok = false;
  bool given_up = false;  // the caller went on without it
  std::string why;
};

}  // namespace

struct ConnectionPool::State {
  explicit State(std::size_t n) : size(n == 0 ? 1 : n) {}
  // A connection back: kept for the next call, or (nullptr) its place freed.
  void Give(std::shared_ptr<records::OdbcConnection> connection) {
    {
      std::lock_guard<std::mutex> lock(mutex);
      if (connection) {
        idle.push_back(std::move(connection));
      } else {
        --open;
      }
    }
    returned.notify_one();
  }

  const std::size_t size;
  std::mutex mutex;
  std::condition_variable returned;
  std::vector<std::shared_ptr<records::OdbcConnection>> idle;
  std::size_t open = 0;  // idle, lent out, or given up on and not yet ended
};

ConnectionPool::ConnectionPool(std::string connection, records::ConnectionLimits limits, std::size_t size)
    : connection_(std::move(connection)), limits_(limits), state_(std::make_shared<State>(size)) {}

ConnectionPool::~ConnectionPool() = default;

std::shared_ptr<records::OdbcConnection> ConnectionPool::Take(bool* fresh, std::string* error) {
  State& s = *state_;
  {
    std::unique_lock<std::mutex> lock(s.mutex);
    if (!s.returned.wait_for(lock, limits_.statement, [&] { return !s.idle.empty() || s.open < s.size; })) {
      *error = "every connection to the database is busy (or waits for a database that does not answer)";
      return nullptr;
    }
    if (!s.idle.empty()) {
      auto connection = std::move(s.idle.back());
      s.idle.pop_back();
      *fresh = false;
      return connection;
    }
    ++s.open;
  }
  *fresh = true;
  std::string why;
  std::shared_ptr<records::OdbcConnection> connection = records::OdbcConnection::Open(connection_, limits_, &why);
  if (!connection) {
    *error = "cannot connect to the database: " + records::OneLine(why);
    s.Give(nullptr);
  }
  return connection;
}

bool ConnectionPool::Run(const Work& work, std::string* error) {
  for (int attempt = 0; attempt < 2; ++attempt) {
    bool fresh = true;
    auto connection = Take(&fresh, error);
    if (!connection) return false;
    const auto started = std::chrono::steady_clock::now();
    auto call = std::make_shared<Call>();
    std::thread([call, connection, work, state = state_]() mutable {
      std::string why;
      const bool ok = work(*connection, &why);
      std::unique_lock<std::mutex> lock(call->mutex);
      call->done = true;
      call->ok = ok;
      call->why = std::move(why);
      call->ended.notify_all();
      if (call->given_up) {
        lock.unlock();
        connection.reset();
        state->Give(nullptr);
      }
    }).detach();

    std::unique_lock<std::mutex> lock(call->mutex);
    const auto done = [&] { return call->done; };
    if (!call->ended.wait_for(lock, limits_.statement + kCancelAfter, done)) {
      connection->Cancel();
      if (!call->ended.wait_for(lock, kGiveUpAfter, done)) {
        // Its thread frees the connection's place once the call ends.
        call->given_up = true;
        *error = "the database did not answer within " +
                 std::to_string((limits_.statement + kCancelAfter + kGiveUpAfter).count()) + " s";
        return false;
      }
    }
    if (call->ok) {
      lock.unlock();
      state_->Give(std::move(connection));
      return true;
    }
    *error = "the database did not answer: " + records::OneLine(call->why);
    lock.unlock();
    connection.reset();
    state_->Give(nullptr);
    if (fresh || std::chrono::steady_clock::now() - started >= kQuickFailure) return false;
  }
  return false;
}

}  // namespace zevuvuri::line
