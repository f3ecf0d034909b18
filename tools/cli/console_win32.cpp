#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <shellapi.h>

#include <atomic>
#include <mutex>
#include <string>

#include "engine/text_encoding.h"
#include "tools/cli/console.h"
#include "tools/cli/input_lines.h"
#include "tools/cli/utf16_input.h"

namespace zevuvuri::cli {
namespace {

std::atomic<bool> g_interrupted{false};
// Auto-reset: set by the control handler and WakeMainLoop, waited on by the
// main loop. Made before the handler is installed and kept for the process's
// life, as the handler, on a thread of its own, may set it at any time.
HANDLE g_wake = nullptr;

void SetWake() {
  if (g_wake != nullptr) ::SetEvent(g_wake);
}

BOOL WINAPI OnConsoleControl(DWORD event) {
  switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
      g_interrupted.store(true);  // the main loop closes the port
      SetWake();
      return TRUE;
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
      // The console is going away, and the process with it once this handler
      // returns: hold it (this is the handler's own thread) while the main
      // loop closes the ports and writes the records; the process's exit
      // ends the wait. The system's grace period bounds it.
      g_interrupted.store(true);
      SetWake();
      ::Sleep(INFINITE);
      return TRUE;
    default:
      return FALSE;
  }
}

}  // namespace

// The narrow argv holds the ANSI code page's form, which loses characters.
std::vector<std::string> Utf8Arguments(int argc, char** argv) {
  int count = 0;
  LPWSTR* wide = ::CommandLineToArgvW(::GetCommandLineW(), &count);
  if (wide == nullptr) return std::vector<std::string>(argv, argv + argc);
  std::vector<std::string> args;
  for (int i = 0; i < count; ++i) args.push_back(ToUtf8(wide[i]).value_or(""));
  ::LocalFree(wide);
  return args;
}

void SetUpConsole() {
  g_wake = ::CreateEventW(nullptr, FALSE, FALSE, nullptr);
  ::SetConsoleCtrlHandler(OnConsoleControl, TRUE);
  ::SetConsoleOutputCP(CP_UTF8);
}

// The handler and its event stay: a console closed now still holds the
// process until its end, and the event goes with the process.
void ReleaseConsole() {}

bool InterruptRequested() { return g_interrupted.load(); }

void WakeMainLoop() { SetWake(); }

void WaitForWake(std::chrono::milliseconds limit) {
  if (InterruptRequested()) return;
  if (g_wake == nullptr) {
    ::Sleep(static_cast<DWORD>(limit.count()));
    return;
  }
  ::WaitForSingleObject(g_wake, static_cast<DWORD>(limit.count()));
}

// The progress bar redraws its line with VT sequences, which a console takes
// only once asked to.
bool ErrorIsTerminal() {
  const HANDLE err = ::GetStdHandle(STD_ERROR_HANDLE);
  DWORD mode = 0;
  if (err == nullptr || err == INVALID_HANDLE_VALUE || !::GetConsoleMode(err, &mode)) return false;
  return ::SetConsoleMode(err, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING) != FALSE;
}

std::size_t ErrorColumns() {
  CONSOLE_SCREEN_BUFFER_INFO info{};
  if (!::GetConsoleScreenBufferInfo(::GetStdHandle(STD_ERROR_HANDLE), &info)) return 0;
  // The window's width, not the buffer's, which may be far wider.
  const int columns = info.srWindow.Right - info.srWindow.Left + 1;
  return columns > 0 ? static_cast<std::size_t>(columns) : 0;
}

// A console, a pipe and a file offer no common way to ask whether a line is
// waiting, so a reader thread blocks on standard input and collects the
// lines; Lines only takes them. The thread starts at the first look, so
// input is not consumed by a run that never looks (--yes).
struct EnterKey::State {
  HANDLE input = nullptr;
  HANDLE thread = nullptr;
  std::mutex mutex;
  InputLines lines;    // under mutex
  bool ended = false;  // under mutex
  std::atomic<bool> stopping{false};

  // A console's bytes would be its input code page's, which has no form for
  // most of what a label may hold ("Größe-01" under code page 437 is no
  // UTF-8): a console is read as UTF-16 and turned into UTF-8. A pipe or a
  // file is read as the bytes it holds.
  static DWORD WINAPI Read(void* self) {
    auto* state = static_cast<State*>(self);
    DWORD mode = 0;
    const bool console = ::GetConsoleMode(state->input, &mode) != FALSE;
    Utf16Input wide_input;
    char buffer[256];
    wchar_t wide[256];
    for (;;) {
      DWORD n = 0;
      BOOL ok = FALSE;
      std::string text;
      if (console) {
        ok = ::ReadConsoleW(state->input, wide, static_cast<DWORD>(std::size(wide)), &n, nullptr);
        // Ctrl-Z at the start of a line ends a console's input, as ReadFile
        // takes it.
        if (ok && n > 0 && wide[0] == L'\x1a') n = 0;
        text = wide_input.Add(std::u16string_view(reinterpret_cast<const char16_t*>(wide), n));
      } else {
        ok = ::ReadFile(state->input, buffer, sizeof buffer, &n, nullptr);
        text.assign(buffer, n);
      }
      std::lock_guard lock(state->mutex);
      if (!ok || n == 0 || state->stopping.load()) {
        state->ended = true;
        return 0;
      }
      state->lines.Add(text.data(), text.size());
    }
  }
};

EnterKey::EnterKey() : state_(new State) {}

EnterKey::~EnterKey() {
  if (state_->thread != nullptr) {
    state_->stopping.store(true);
    ::CancelSynchronousIo(state_->thread);
    // A read that cannot be cancelled ends with the process; nothing else
    // waits for it.
    if (::WaitForSingleObject(state_->thread, 1000) != WAIT_OBJECT_0) {
      ::CloseHandle(state_->thread);
      return;  // the thread still uses state_: leave it to the process's end
    }
    ::CloseHandle(state_->thread);
  }
  delete state_;
}

std::vector<std::string> EnterKey::Lines(bool* open) {
  if (state_->thread == nullptr) {
    state_->input = ::GetStdHandle(STD_INPUT_HANDLE);
    if (state_->input != nullptr && state_->input != INVALID_HANDLE_VALUE) {
      state_->thread = ::CreateThread(nullptr, 0, &State::Read, state_, 0, nullptr);
    }
    if (state_->thread == nullptr) {
      *open = false;
      return {};
    }
  }
  std::lock_guard lock(state_->mutex);
  auto lines = state_->lines.Take();
  if (lines.empty() && state_->ended) *open = false;
  return lines;
}

}  // namespace zevuvuri::cli
