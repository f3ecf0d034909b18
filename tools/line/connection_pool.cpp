#include "tools/line/connection_pool.h"

#include "records/connection_text.h"

namespace zevuvuri::line {
namespace {

// A kept connection that fails sooner than this was most likely cut while
// idle; one that took longer met a server that does not answer, and trying
// again would only double the wait.
constexpr auto kQuickFailure = std::chrono::seconds{1};

}  // namespace

ConnectionPool::ConnectionPool(std::string connection, records::ConnectionLimits limits, std::size_t size)
    : connection_(std::move(connection)), limits_(limits), size_(size == 0 ? 1 : size) {}

ConnectionPool::~ConnectionPool() = default;

std::unique_ptr<records::OdbcConnection> ConnectionPool::Take(bool* fresh, std::string* error) {
  {
    std::unique_lock<std::mutex> lock(mutex_);
    if (!returned_.wait_for(lock, limits_.statement, [&] { return !idle_.empty() || open_ < size_; })) {
      *error = "every connection to the database is busy";
      return nullptr;
    }
    if (!idle_.empty()) {
      auto connection = std::move(idle_.back());
      idle_.pop_back();
      *fresh = false;
      return connection;
    }
    ++open_;
  }
  *fresh = true;
  std::string why;
  auto connection = records::OdbcConnection::Open(connection_, limits_, &why);
  if (!connection) {
    *error = "cannot connect to the database: " + records::OneLine(why);
    Give(nullptr);
  }
  return connection;
}

void ConnectionPool::Give(std::unique_ptr<records::OdbcConnection> connection) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (connection) {
      idle_.push_back(std::move(connection));
    } else {
      --open_;
    }
  }
  returned_.notify_one();
}

bool ConnectionPool::Run(const Work& work, std::string* error) {
  for (int attempt = 0; attempt < 2; ++attempt) {
    bool fresh = true;
    auto connection = Take(&fresh, error);
    if (!connection) return false;
    const auto started = std::chrono::steady_clock::now();
    std::string why;
    if (work(*connection, &why)) {
      Give(std::move(connection));
      return true;
    }
    connection.reset();
    Give(nullptr);
    *error = "the database did not answer: " + records::OneLine(why);
    if (fresh || std::chrono::steady_clock::now() - started >= kQuickFailure) return false;
  }
  return false;
}

}  // namespace zevuvuri::line
