#include "tests/support/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <stdexcept>

namespace zevuvuri::testing {

ChildProcess::ChildProcess(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env,
                           const std::string& working_dir) {
  int in[2], out[2], err[2];
  if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) {
    throw std::runtime_error("pipe failed");
  }
  pid_ = ::fork();
  if (pid_ < 0) throw std::runtime_error("fork failed");
  if (pid_ == 0) {
    ::dup2(in[0], 0);
    ::dup2(out[1], 1);
    ::dup2(err[1], 2);
    for (const auto& [k, v] : env) ::setenv(k.c_str(), v.c_str(), 1);
    if (!working_dir.empty() && ::chdir(working_dir.c_str()) != 0) ::_exit(126);
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    ::execv(args[0], args.data());
    ::_exit(127);
  }
  ::close(in[0]);
  ::close(out[1]);
  ::close(err[1]);
  in_ = in[1];
  out_fd_ = out[0];
  err_fd_ = err[0];
}

ChildProcess::~ChildProcess() {
  if (!status_) {
    ::kill(pid_, SIGKILL);
    Wait(std::chrono::seconds{10});
  }
  for (int fd : {in_, out_fd_, err_fd_}) {
    if (fd >= 0) ::close(fd);
  }
}

// Moves whatever the pipes hold into out_ and err_, waiting up to `timeout_ms` for the first bytes.
void ChildProcess::Drain(int timeout_ms) {
  pollfd fds[2] = {{out_fd_, POLLIN, 0}, {err_fd_, POLLIN, 0}};
  if (::poll(fds, 2, timeout_ms) <= 0) return;
  char buffer[65536];
  for (int i = 0; i < 2; ++i) {
    int& fd = i == 0 ? out_fd_ : err_fd_;
    if (fd < 0 || fds[i].revents == 0) continue;
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n > 0) {
      (i == 0 ? out_ : err_).append(buffer, static_cast<std::size_t>(n));
    } else {
      ::close(fd);
      fd = -1;
    }
  }
}

std::optional<std::string> ChildProcess::ReadLine(std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  for (;;) {
    const auto nl = out_.find('\n', out_consumed_);
    if (nl != std::string::npos) {
      std::string line = out_.substr(out_consumed_, nl - out_consumed_);
      out_consumed_ = nl + 1;
      return line;
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0 || (out_fd_ < 0 && err_fd_ < 0)) return std::nullopt;
    if (out_fd_ < 0) return std::nullopt;
    Drain(static_cast<int>(std::min<long long>(left.count(), 50)));
  }
}

bool ChildProcess::AwaitLine(const std::string& line, std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    const auto got = ReadLine(left);
    if (!got) return false;
    if (*got == line) return true;
  }
}

void ChildProcess::WriteStdin(const std::string& text) {
  if (in_ >= 0) [[maybe_unused]] auto n = ::write(in_, text.data(), text.size());
}

void ChildProcess::CloseStdin() {
  if (in_ >= 0) ::close(in_);
  in_ = -1;
}

void ChildProcess::Signal(int signal) { ::kill(pid_, signal); }

std::optional<int> ChildProcess::Wait(std::chrono::milliseconds limit) {
  if (status_) return status_;
  const auto deadline = std::chrono::steady_clock::now() + limit;
  for (;;) {
    Drain(10);
    int raw = 0;
    const pid_t done = ::waitpid(pid_, &raw, WNOHANG);
    if (done == pid_) {
      while (out_fd_ >= 0 || err_fd_ >= 0) Drain(100);
      status_ = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
      return status_;
    }
    if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
  }
}

std::vector<std::string> ChildProcess::StdoutLines() const {
  std::vector<std::string> lines;
  std::size_t start = 0;
  for (auto nl = out_.find('\n'); nl != std::string::npos; nl = out_.find('\n', start)) {
    lines.push_back(out_.substr(start, nl - start));
    start = nl + 1;
  }
  return lines;
}

}  // namespace zevuvuri::testing
