#include "ui/win32/main_window.h"

#include <array>
#include <string>
#include <string_view>
#include <utility>

#include "engine/firmware_name.h"
#include "engine/text_encoding.h"
#include "ui/about_dialog.h"
#include "ui/accessible_texts.h"
#include "ui/dialog_templates.h"
#include "ui/station_settings.h"
#include "ui/win32/dialog_resource.h"
#include "ui/win32/ports_dialog.h"
#include "ui/win32/resource_ids.h"
#include "ui/win32/station_window.h"

namespace zevuvuri::ui::win32 {
namespace {

// Tells the dialog to run the session's queued sink calls.
constexpr UINT kRunSinkCalls = WM_APP + 1;
// The timer that looks at a traced line's records state; it goes with the
// dialog.
constexpr UINT_PTR kRecordsTimer = 1;
// The context menu's one entry.
constexpr UINT kStationCommand = 0x0200;

// The About box's state while it is open.
struct AboutBox {
  ControlSurface* main_window = nullptr;
  std::unique_ptr<DialogControls> controls;
  std::unique_ptr<CAboutDlg> behaviour;
  std::unique_ptr<AccessibleAnnotations> annotations;
};

template <std::size_t N>
void Annotate(AccessibleAnnotations& annotations, HWND dialog, const std::array<AccessibleText, N>& texts) {
  for (const AccessibleText& text : texts) {
    const HWND control = ::GetDlgItem(dialog, text.id);
    annotations.SetName(control, text.name);
    annotations.SetDescription(control, text.description);
  }
}

template <std::size_t N>
std::wstring FindName(const std::array<AccessibleText, N>& texts, int control) {
  for (const AccessibleText& text : texts) {
    if (text.id == control) return std::wstring(text.name);
  }
  return {};
}

void CentreOver(HWND window, HWND owner) {
  RECT mine{}, theirs{};
  ::GetWindowRect(window, &mine);
  ::GetWindowRect(owner, &theirs);
  const int width = mine.right - mine.left;
  const int height = mine.bottom - mine.top;
  const int x = theirs.left + ((theirs.right - theirs.left) - width) / 2;
  const int y = theirs.top + ((theirs.bottom - theirs.top) - height) / 2;
  ::SetWindowPos(window, nullptr, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

INT_PTR CALLBACK AboutProc(HWND box, UINT message, WPARAM wparam, LPARAM lparam) {
  auto* about = reinterpret_cast<AboutBox*>(::GetWindowLongPtrW(box, DWLP_USER));
  switch (message) {
    case WM_INITDIALOG:
      about = reinterpret_cast<AboutBox*>(lparam);
      ::SetWindowLongPtrW(box, DWLP_USER, reinterpret_cast<LONG_PTR>(about));
      about->controls = std::make_unique<DialogControls>(box);
      about->behaviour = std::make_unique<CAboutDlg>(*about->controls, *about->main_window);
      about->annotations = std::make_unique<AccessibleAnnotations>();
      Annotate(*about->annotations, box, kAboutBoxAccessibleTexts);
      CentreOver(box, ::GetWindow(box, GW_OWNER));
      return TRUE;
    case WM_DESTROY:
      if (about != nullptr && about->annotations) about->annotations->Clear();
      return FALSE;
    case WM_COMMAND:
      if (about == nullptr) return FALSE;
      if (LOWORD(wparam) == id::kUnlock && HIWORD(wparam) == BN_CLICKED) {
        about->behaviour->OnUnlockClicked();
        return TRUE;
      }
      if (LOWORD(wparam) == IDOK || LOWORD(wparam) == IDCANCEL) {
        ::EndDialog(box, LOWORD(wparam));
        return TRUE;
      }
      return FALSE;
    default:
      return FALSE;
  }
}

}  // namespace

MainWindow::MainWindow(HINSTANCE instance, SettingsFile settings)
    : instance_(instance),
      settings_(std::move(settings)),
      station_file_(settings_),
      icon_(::LoadIconW(instance, MAKEINTRESOURCEW(ZEVUVURI_IDR_APP_ICON))) {}

MainWindow::~MainWindow() = default;

int MainWindow::RunModal() {
  const std::vector<std::uint32_t> resource = BuildDialogResource(MainDialogTemplate());
  const INT_PTR ended = ::DialogBoxIndirectParamW(instance_, reinterpret_cast<LPCDLGTEMPLATEW>(resource.data()),
                                                 nullptr, DialogProc, reinterpret_cast<LPARAM>(this));
  if (!session_) return 1;  // the window could not be made: no upgrade ran
  const int status = session_->Finish();
  return ended == -1 ? 1 : status;
}

INT_PTR CALLBACK MainWindow::DialogProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  auto* self = reinterpret_cast<MainWindow*>(::GetWindowLongPtrW(window, DWLP_USER));
  if (message == WM_INITDIALOG) {
    self = reinterpret_cast<MainWindow*>(lparam);
    ::SetWindowLongPtrW(window, DWLP_USER, reinterpret_cast<LONG_PTR>(self));
    self->window_ = window;
  }
  return self == nullptr ? FALSE : self->Handle(message, wparam, lparam);
}

INT_PTR MainWindow::Handle(UINT message, WPARAM wparam, LPARAM lparam) {
  switch (message) {
    case WM_INITDIALOG:
      OnInitDialog();
      return FALSE;  // the focus is set: on the Acquire button
    case kRunSinkCalls:
      session_->RunQueuedCalls();
      return TRUE;
    case WM_TIMER:
      if (wparam != kRecordsTimer) return FALSE;
      session_->ShowRecordsState();
      return TRUE;
    case WM_SETFOCUS:
      // The platform's dialog would pass its focus on to the first control
      // that takes it, a static perhaps, where Enter closes the window; while
      // the focus waits for the disabled Acquire button it stays here.
      return controls_ && controls_->KeepsFocusForDisabledControl() ? TRUE : FALSE;
    case WM_COMMAND: {
      const int control = LOWORD(wparam);
      const int code = HIWORD(wparam);
      CRazazeDeviziDlg& dialog = session_->Dialog();
      if (control == id::kAcquire && code == BN_CLICKED) {
        // Enter and Space reach the button that keeps the focus while it is
        // disabled; a disabled button is never pressed.
        if (::IsWindowEnabled(::GetDlgItem(window_, id::kAcquire))) dialog.OnAcquire();
      } else if (control == id::kBrowse && code == BN_CLICKED) {
        dialog.OnBrowse();
      } else if (control == id::kProductList && code == CBN_SELCHANGE) {
        dialog.OnProductSelectionChange();
      } else if (control == IDOK && controls_->KeepsFocusForDisabledControl()) {
        // Enter while the focus waits on the disabled Acquire button.
      } else if (control == IDOK || control == IDCANCEL) {
        ::EndDialog(window_, control);  // the platform's standard ending: Enter, Esc, the close button
      } else {
        return FALSE;
      }
      return TRUE;
    }
    case WM_SYSCOMMAND:
      if (!session_->Dialog().OnSysCommand(static_cast<unsigned>(wparam))) return FALSE;
      ::SetWindowLongPtrW(window_, DWLP_MSGRESULT, 0);
      return TRUE;
    case WM_PAINT:
      if (!::IsIconic(window_)) return FALSE;
      OnPaint();
      return TRUE;
    case WM_QUERYENDSESSION:
      // The session may end: nothing here holds it up.
      ::SetWindowLongPtrW(window_, DWLP_MSGRESULT, TRUE);
      return TRUE;
    case WM_ENDSESSION:
      if (wparam == FALSE) return FALSE;  // another program kept the session going
      OnEndSession();
      return TRUE;
    case WM_QUERYDRAGICON:
      return reinterpret_cast<INT_PTR>(icon_);
    case WM_CONTEXTMENU:
      OnContextMenu(lparam);
      return TRUE;
    case WM_DESTROY:
      if (controls_) controls_->NameStatusLine(nullptr);
      if (annotations_) annotations_->Clear();
      return FALSE;
    default:
      return FALSE;
  }
}

void MainWindow::OnInitDialog() {
  controls_ = std::make_unique<DialogControls>(window_);
  file_dialog_ = std::make_unique<OpenFileDialog>(window_);
  WindowToolkit& toolkit = *this;
  session_ = std::make_unique<WindowSession>(toolkit, *controls_, *file_dialog_, *this, std::move(settings_));

  if (HMENU menu = ::GetSystemMenu(window_, FALSE)) {
    wchar_t text[128] = {};
    if (::LoadStringW(instance_, ZEVUVURI_IDS_ABOUT_MENU_TEXT, text, static_cast<int>(std::size(text))) > 0) {
      ::AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
      ::AppendMenuW(menu, MF_STRING, kAboutCommand, text);
    }
  }
  ::SendMessageW(window_, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(icon_));
  ::SendMessageW(window_, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(icon_));
  Describe();

  // The platform's default focus, the first tab stop, given before a
  // production upgrade starts, which may disable it.
  controls_->Focus(id::kAcquire);
  session_->OnInitDialog();
  if (session_->ForwardsRecords()) {
    ::SetTimer(window_, kRecordsTimer, static_cast<UINT>(kRecordsLookInterval.count()), nullptr);
  }
}

// The names and descriptions that every toolkit gives these controls. A
// screen reader would name an edit by the static just before it in the
// template, which for the Type and file name fields and the product list is
// another control's caption, so each is named here; the template, and so
// the tab order, stays as it is.
void MainWindow::Describe() {
  annotations_ = std::make_unique<AccessibleAnnotations>();
  Annotate(*annotations_, window_, kMainWindowAccessibleTexts);
  // A progress bar draws no text, so its window text can name it wherever
  // the property service is missing.
  ::SetWindowTextW(::GetDlgItem(window_, id::kProgress), FindName(kMainWindowAccessibleTexts, id::kProgress).c_str());
  controls_->NameStatusLine(annotations_.get());
}

// The message carries nothing, so one that is never dispatched loses nothing.
// After the dialog has gone the post fails and the session drops the call.
bool MainWindow::PostWakeUp() { return ::PostMessageW(window_, kRunSinkCalls, 0, 0) != FALSE; }

// A box over the window (About, the open-file dialog) and a menu run modal
// loops of their own, which end before the dialog's own can.
void MainWindow::CloseWindow() {
  ::EndMenu();
  ::EnumThreadWindows(
      ::GetCurrentThreadId(),
      [](HWND window, LPARAM main) -> BOOL {
        wchar_t class_name[16] = {};
        ::GetClassNameW(window, class_name, static_cast<int>(std::size(class_name)));
        const bool dialog = std::wstring_view(class_name) == L"#32770";
        if (dialog && ::GetWindow(window, GW_OWNER) == reinterpret_cast<HWND>(main)) {
          ::PostMessageW(window, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
        }
        return TRUE;
      },
      reinterpret_cast<LPARAM>(window_));
  ::EndDialog(window_, IDOK);
}

// A right click, Shift+F10 or the menu key. The keyboard's menu opens at the
// focused control. "Station..." waits while an upgrade runs: a station on
// the same port would take it away.
void MainWindow::OnContextMenu(LPARAM where) {
  POINT at{static_cast<short>(LOWORD(where)), static_cast<short>(HIWORD(where))};
  if (at.x == -1 && at.y == -1) {
    RECT place{};
    const HWND focus = ::GetFocus();
    ::GetWindowRect(focus != nullptr && ::IsChild(window_, focus) ? focus : window_, &place);
    at = {place.left, place.bottom};
  }
  const HMENU menu = ::CreatePopupMenu();
  if (menu == nullptr) return;
  const bool idle = !session_->UpgradeInProgress();
  ::AppendMenuW(menu, MF_STRING | (idle ? 0u : MF_GRAYED), kStationCommand, L"Station...");
  const auto chosen = static_cast<UINT>(
      ::TrackPopupMenu(menu, TPM_RETURNCMD | TPM_RIGHTBUTTON, at.x, at.y, 0, window_, nullptr));
  ::DestroyMenu(menu);
  if (chosen == kStationCommand && !session_->UpgradeInProgress()) OpenStation();
}

// The station flashes what the fields say, with the rest of loader.cfg
// (Next=, Report=, ...); settings it refuses are said in a box.
void MainWindow::OpenStation() {
  const auto ports = AskForPorts(instance_, window_, controls_->Text(id::kComPort));
  if (!ports) return;
  const auto firmware = FirmwareName::FromText(controls_->Text(id::kFileName));
  std::string problem;
  auto station = StationFromWindow(station_file_, ToUtf8(*ports).value_or(""),
                                   ToUtf8(controls_->Text(id::kType)).value_or(""),
                                   firmware ? firmware->Bytes() : std::string(), &problem);
  if (!station) {
    ::MessageBoxW(window_, FromUtf8(problem).c_str(), L"Station", MB_OK | MB_ICONERROR);
    return;
  }
  // The board this window just upgraded is still on its port: it must leave
  // before that slot takes a unit, or it would be flashed again at once.
  if (const auto port = session_->LastUpgradePort()) station->leaving_ports.push_back(*port);
  StationWindow view(instance_, window_);
  station_ = &view;
  view.Run(std::move(*station));
  station_ = nullptr;
}

// A log-off or shut-down (and wine's "wineboot --end-session"): the system
// ends the process once this message has been answered, so the running
// upgrade is stopped here as "Yes" to closing would stop it, recorded
// "interrupted", its port freed, and the process ends with the session's
// status (130 when an upgrade was cut short) rather than being cut off
// mid-stream.
void MainWindow::OnEndSession() {
  const int status = session_->EndBySession();
  // A station view open over this window has units of its own: it ends
  // them and the process with its status (no upgrade of this window runs
  // meanwhile). The view may get the message itself too, or not at all:
  // whichever window has it first ends both.
  if (station_ != nullptr) station_->EndBySession();
  ::ExitProcess(static_cast<UINT>(status));
}

// Minimised, the window shows its icon centred in the client area.
void MainWindow::OnPaint() {
  PAINTSTRUCT paint{};
  const HDC dc = ::BeginPaint(window_, &paint);
  ::SendMessageW(window_, WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(dc), 0);
  RECT client{};
  ::GetClientRect(window_, &client);
  const int x = (client.right - client.left - ::GetSystemMetrics(SM_CXICON) + 1) / 2;
  const int y = (client.bottom - client.top - ::GetSystemMetrics(SM_CYICON) + 1) / 2;
  ::DrawIcon(dc, x, y, icon_);
  ::EndPaint(window_, &paint);
}

void MainWindow::RunAboutBox(ControlSurface& main_window) {
  const std::vector<std::uint32_t> resource = BuildDialogResource(AboutDialogTemplate());
  AboutBox about;
  about.main_window = &main_window;
  ::DialogBoxIndirectParamW(instance_, reinterpret_cast<LPCDLGTEMPLATEW>(resource.data()), window_, AboutProc,
                            reinterpret_cast<LPARAM>(&about));
}

}  // namespace zevuvuri::ui::win32
