#include "ui/win32/main_window.h"

#include <cstdlib>
#include <utility>

#include "ui/about_dialog.h"
#include "ui/dialog_templates.h"
#include "ui/win32/dialog_resource.h"
#include "ui/win32/resource_ids.h"

namespace zevuvuri::ui::win32 {
namespace {

// The About box's state while it is open.
struct AboutBox {
  ControlSurface* main_window = nullptr;
  std::unique_ptr<DialogControls> controls;
  std::unique_ptr<CAboutDlg> behaviour;
};

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
      CentreOver(box, ::GetWindow(box, GW_OWNER));
      return TRUE;
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
      icon_(::LoadIconW(instance, MAKEINTRESOURCEW(ZEVUVURI_IDR_APP_ICON))),
      sinks_(std::make_unique<WindowThreadSinks>()) {}

MainWindow::~MainWindow() = default;

int MainWindow::RunModal() {
  const std::vector<std::uint32_t> resource = BuildDialogResource(MainDialogTemplate());
  const INT_PTR ended = ::DialogBoxIndirectParamW(instance_, reinterpret_cast<LPCDLGTEMPLATEW>(resource.data()),
                                                 nullptr, DialogProc, reinterpret_cast<LPARAM>(this));
  // In this order: a worker waiting on the window thread is let go first, so
  // that joining it cannot wait forever.
  sinks_->StopForwarding();
  if (upgrade_) upgrade_->Shutdown();
  if (ended == -1 || !behaviour_) return 1;  // the window could not be made: no upgrade ran
  return behaviour_->ProductionMode() ? 1 : 0;
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

INT_PTR MainWindow::Handle(UINT message, WPARAM wparam, LPARAM) {
  switch (message) {
    case WM_INITDIALOG:
      OnInitDialog();
      return TRUE;  // the default focus: the first tab stop, the Acquire button
    case kRunSinkCalls:
      sinks_->RunQueuedCalls();
      return TRUE;
    case WM_COMMAND: {
      const int control = LOWORD(wparam);
      const int code = HIWORD(wparam);
      if (control == id::kAcquire && code == BN_CLICKED) {
        behaviour_->OnAcquire();
      } else if (control == id::kBrowse && code == BN_CLICKED) {
        behaviour_->OnBrowse();
      } else if (control == id::kProductList && code == CBN_SELCHANGE) {
        behaviour_->OnProductSelectionChange();
      } else if (control == IDOK || control == IDCANCEL) {
        Close(control);  // the platform's standard ending: Enter, Esc, the close button
      } else {
        return FALSE;
      }
      return TRUE;
    }
    case WM_SYSCOMMAND:
      if (!behaviour_->OnSysCommand(static_cast<unsigned>(wparam))) return FALSE;
      ::SetWindowLongPtrW(window_, DWLP_MSGRESULT, 0);
      return TRUE;
    case WM_PAINT:
      if (!::IsIconic(window_)) return FALSE;
      OnPaint();
      return TRUE;
    case WM_QUERYDRAGICON:
      return reinterpret_cast<INT_PTR>(icon_);
    default:
      return FALSE;
  }
}

void MainWindow::OnInitDialog() {
  controls_ = std::make_unique<DialogControls>(window_);
  file_dialog_ = std::make_unique<OpenFileDialog>(window_);
  sinks_->SetWindow(window_);
  upgrade_ = std::make_unique<UpgradeController>(*sinks_);
  acquire_target_ = std::make_unique<ControllerAcquireTarget>(*upgrade_);
  // The C library's normal exit, from the window thread, after the worker has
  // released the port and the file.
  behaviour_ = std::make_unique<CRazazeDeviziDlg>(*controls_, *file_dialog_, *this, *acquire_target_,
                                                  std::move(settings_), [] { std::exit(0); });
  sinks_->SetTarget(behaviour_.get());

  if (HMENU menu = ::GetSystemMenu(window_, FALSE)) {
    wchar_t text[128] = {};
    if (::LoadStringW(instance_, ZEVUVURI_IDS_ABOUT_MENU_TEXT, text, static_cast<int>(std::size(text))) > 0) {
      ::AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
      ::AppendMenuW(menu, MF_STRING, kAboutCommand, text);
    }
  }
  ::SendMessageW(window_, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(icon_));
  ::SendMessageW(window_, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(icon_));

  behaviour_->OnInitDialog();
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

void MainWindow::Close(int result) { ::EndDialog(window_, result); }

void MainWindow::RunAboutBox(ControlSurface& main_window) {
  const std::vector<std::uint32_t> resource = BuildDialogResource(AboutDialogTemplate());
  AboutBox about;
  about.main_window = &main_window;
  ::DialogBoxIndirectParamW(instance_, reinterpret_cast<LPCDLGTEMPLATEW>(resource.data()), window_, AboutProc,
                            reinterpret_cast<LPARAM>(&about));
}

}  // namespace zevuvuri::ui::win32
