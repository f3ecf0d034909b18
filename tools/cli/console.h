// What the command line needs of the process's console, one implementation
// per platform (console_posix.cpp, console_win32.cpp), chosen by CMake.
#pragma once

#include <chrono>
#include <cstddef>
#include <string>
#include <vector>

namespace zevuvuri::cli {

// The command-line arguments as UTF-8, whatever the platform hands over.
std::vector<std::string> Utf8Arguments(int argc, char** argv);

// Once at start-up: Ctrl-C, termination requests and the loss of the
// terminal (SIGHUP; a console's close, logoff and shutdown events) then only
// set a flag and wake WaitForWake, and a console shows UTF-8 output as such.
void SetUpConsole();
// Before the process ends: the signals back to their defaults and the
// wake-up's own descriptors closed.
void ReleaseConsole();
bool InterruptRequested();

// The main thread's one wait: returns at once while an interrupt is pending,
// otherwise when WakeMainLoop was called (since the last return) or `limit`
// has passed. WakeMainLoop: any thread.
void WaitForWake(std::chrono::milliseconds limit);
void WakeMainLoop();

// Whether standard error is a terminal that shows the progress bar's
// control sequences.
bool ErrorIsTerminal();
// How many columns the terminal on standard error shows now (it may be
// resized while a board is up); 0 when that cannot be told.
std::size_t ErrorColumns();

// Enter on standard input, which may be a terminal, a pipe or a file. Never
// blocks. Lines returns the lines completed since its last call (each
// without its '\n'), and takes them all: the caller decides at each call
// whether anything waits for a press or a scan, and what found nothing
// waiting is gone. `*open` turns false at the end of input (or when there is
// no input at all); a last line without its '\n' is no press.
class EnterKey {
 public:
  EnterKey();
  ~EnterKey();
  EnterKey(const EnterKey&) = delete;
  EnterKey& operator=(const EnterKey&) = delete;

  std::vector<std::string> Lines(bool* open);

 private:
  struct State;
  State* state_;
};

}  // namespace zevuvuri::cli
