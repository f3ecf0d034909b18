// What the command line needs of the process's console, one implementation
// per platform (console_posix.cpp, console_win32.cpp), chosen by CMake.
#pragma once

#include <string>
#include <vector>

namespace zevuvuri::cli {

// The command-line arguments as UTF-8, whatever the platform hands over.
std::vector<std::string> Utf8Arguments(int argc, char** argv);

// Once at start-up: Ctrl-C and termination requests then only set a flag,
// which the main loop reads, and a console shows UTF-8 output as such.
void SetUpConsole();
bool InterruptRequested();

// Whether standard error is a terminal that shows the progress bar's
// control sequences.
bool ErrorIsTerminal();

// Enter on standard input, which may be a terminal, a pipe or a file. Never
// blocks. Returns true once per complete line; `*open` turns false at the end
// of input (or when there is no input at all).
class EnterKey {
 public:
  EnterKey();
  ~EnterKey();
  EnterKey(const EnterKey&) = delete;
  EnterKey& operator=(const EnterKey&) = delete;

  bool Pressed(bool* open);

 private:
  struct State;
  State* state_;
};

}  // namespace zevuvuri::cli
