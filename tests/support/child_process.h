// A program run by a test: its standard input, output and error on pipes, its
// end awaited with a limit, and killed if the test leaves it running.
#pragma once

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace zevuvuri::testing {

class ChildProcess {
 public:
  // `env` adds to (or replaces in) the test's own environment.
  ChildProcess(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env = {},
               const std::string& working_dir = "");
  ~ChildProcess();  // kills and reaps the child if it still runs
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  int Pid() const { return pid_; }
  // The next line of standard output, without its newline; nothing at the limit or at end.
  std::optional<std::string> ReadLine(std::chrono::milliseconds limit);
  // Reads standard output until a line equal to `line` arrives; all lines read so far.
  bool AwaitLine(const std::string& line, std::chrono::milliseconds limit);
  void WriteStdin(const std::string& text);
  void CloseStdin();
  void Signal(int signal);
  // Exit status (128 + signal for a signal); nothing if it still runs at the limit.
  std::optional<int> Wait(std::chrono::milliseconds limit);
  // Everything the child wrote, once it has ended (Wait drains both pipes).
  const std::string& Stdout() const { return out_; }
  const std::string& Stderr() const { return err_; }
  std::vector<std::string> StdoutLines() const;

 private:
  void Drain(int timeout_ms);

  int pid_ = -1;
  int in_ = -1, out_fd_ = -1, err_fd_ = -1;
  std::string out_, err_;
  std::size_t out_consumed_ = 0;
  std::optional<int> status_;
};

}  // namespace zevuvuri::testing
