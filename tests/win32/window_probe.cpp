// Reads another process's window from outside, for the window tests under
// wine: every child control of the top-level window with the given title,
// one line each, tab-separated:
//   id  class  flags  text  left,top,right,bottom
// flags: "tab" (a tab stop), "hidden", "disabled", or "-"; the rectangle in
// screen pixels. A last line "focus ID" names the control with the focus.
// Exit status 1 when no such window exists.
//   window_probe --end-session TITLE
// tells that window alone, as a log-off would, that the session ends:
// WM_QUERYENDSESSION, then WM_ENDSESSION with its answer.
//   window_probe --hold-enter TITLE COUNT
// brings that window to the front and holds Enter down as a keyboard's
// auto-repeat does: COUNT key-downs 100 ms apart (the system marks every one
// after the first as a repeat, the key being down already), then one key-up.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "engine/text_encoding.h"

namespace {

std::string Utf8(const std::wstring& text) {
  std::string out = zevuvuri::ToUtf8(text).value_or("?");
  for (char& c : out) {
    if (c == '\t' || c == '\n' || c == '\r') c = ' ';
  }
  return out;
}

// Through WM_GETTEXT, which wine carries across processes; an edit's text
// lives in the control, not in its window's own text.
std::wstring Text(HWND control) {
  wchar_t text[1024] = {};
  DWORD_PTR copied = 0;
  ::SendMessageTimeoutW(control, WM_GETTEXT, std::size(text), reinterpret_cast<LPARAM>(text), SMTO_ABORTIFHUNG, 2000,
                        &copied);
  return text;
}

BOOL CALLBACK PrintChild(HWND child, LPARAM) {
  wchar_t class_name[64] = {};
  ::GetClassNameW(child, class_name, static_cast<int>(std::size(class_name)));
  const LONG style = ::GetWindowLongW(child, GWL_STYLE);
  std::string flags;
  if ((style & WS_TABSTOP) != 0) flags += "tab,";
  if (!::IsWindowVisible(child)) flags += "hidden,";
  if (!::IsWindowEnabled(child)) flags += "disabled,";
  flags = flags.empty() ? "-" : flags.substr(0, flags.size() - 1);
  RECT place{};
  ::GetWindowRect(child, &place);
  std::printf("%d\t%s\t%s\t%s\t%ld,%ld,%ld,%ld\n", ::GetDlgCtrlID(child), Utf8(class_name).c_str(), flags.c_str(),
              Utf8(Text(child)).c_str(), place.left, place.top, place.right, place.bottom);
  return TRUE;
}

}  // namespace

// The window's process may end while it handles WM_ENDSESSION: the call
// then fails, which is no error here.
int EndSession(HWND window) {
  DWORD_PTR may_end = FALSE;
  if (!::SendMessageTimeoutW(window, WM_QUERYENDSESSION, 0, ENDSESSION_LOGOFF, SMTO_ABORTIFHUNG, 5000, &may_end)) {
    return 3;
  }
  DWORD_PTR ignored = 0;
  ::SendMessageTimeoutW(window, WM_ENDSESSION, may_end != FALSE ? TRUE : FALSE, ENDSESSION_LOGOFF, SMTO_ABORTIFHUNG,
                        20000, &ignored);
  return may_end != FALSE ? 0 : 4;
}

void SendEnter(bool up) {
  INPUT input{};
  input.type = INPUT_KEYBOARD;
  input.ki.wVk = VK_RETURN;
  input.ki.wScan = static_cast<WORD>(::MapVirtualKeyW(VK_RETURN, MAPVK_VK_TO_VSC));
  input.ki.dwFlags = up ? KEYEVENTF_KEYUP : 0;
  ::SendInput(1, &input, sizeof input);
}

int HoldEnter(HWND window, int count) {
  ::SetForegroundWindow(window);
  ::Sleep(300);
  for (int i = 0; i < count; ++i) {
    SendEnter(false);
    ::Sleep(100);
  }
  SendEnter(true);
  return 0;
}

int wmain(int argc, wchar_t** argv) {
  if (argc == 4 && std::wstring(argv[1]) == L"--hold-enter") {
    const HWND window = ::FindWindowW(nullptr, argv[2]);
    return window == nullptr ? 1 : HoldEnter(window, _wtoi(argv[3]));
  }
  if (argc == 3 && std::wstring(argv[1]) == L"--end-session") {
    const HWND window = ::FindWindowW(nullptr, argv[2]);
    return window == nullptr ? 1 : EndSession(window);
  }
  if (argc != 2) {
    std::fprintf(stderr, "usage: window_probe [--end-session | --hold-enter] TITLE [COUNT]\n");
    return 2;
  }
  const HWND window = ::FindWindowW(nullptr, argv[1]);
  if (window == nullptr) return 1;
  ::EnumChildWindows(window, PrintChild, 0);
  GUITHREADINFO gui{};
  gui.cbSize = sizeof gui;
  ::GetGUIThreadInfo(::GetWindowThreadProcessId(window, nullptr), &gui);
  std::printf("focus %d\n", gui.hwndFocus != nullptr ? ::GetDlgCtrlID(gui.hwndFocus) : 0);
  return 0;
}
