#include "ui/win32/ports_dialog.h"

#include <array>
#include <vector>

#include "ui/dialog_templates.h"
#include "ui/win32/dialog_resource.h"

namespace zevuvuri::ui::win32 {
namespace {

using namespace style;

// The label goes just before the field, which a screen reader then names by it.
constexpr std::array kPortsControls{
    ControlTemplate{id::kNone, ControlKind::Label, kNoPrefix,
                    "Ports of the station's slots (COM numbers or device paths, separated by commas):", {7, 7, 200, 18}},
    ControlTemplate{kPortsFieldId, ControlKind::Edit, kBorder | kAutoHScroll | kTabStop | kGroup, "", {7, 27, 200, 14}},
    ControlTemplate{IDOK, ControlKind::DefaultPushButton, kTabStop | kGroup, "OK", {103, 48, 50, 14}},
    ControlTemplate{IDCANCEL, ControlKind::PushButton, kTabStop, "Cancel", {157, 48, 50, 14}},
};

constexpr DialogTemplate kPortsDialog{
    .resource_id = 0,
    .title = "Station",
    .width = 214,
    .height = 69,
    .font_face = "MS Shell Dlg",
    .font_points = 8,
    .minimize_box = false,
    .maximize_box = false,
    .app_window = false,
    .controls = kPortsControls,
};

struct Exchange {
  std::wstring text;
};

INT_PTR CALLBACK PortsProc(HWND box, UINT message, WPARAM wparam, LPARAM lparam) {
  auto* exchange = reinterpret_cast<Exchange*>(::GetWindowLongPtrW(box, DWLP_USER));
  switch (message) {
    case WM_INITDIALOG: {
      exchange = reinterpret_cast<Exchange*>(lparam);
      ::SetWindowLongPtrW(box, DWLP_USER, reinterpret_cast<LONG_PTR>(exchange));
      const HWND field = ::GetDlgItem(box, kPortsFieldId);
      ::SetWindowTextW(field, exchange->text.c_str());
      ::SendMessageW(field, EM_SETSEL, 0, -1);
      ::SendMessageW(box, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(field), TRUE);
      return FALSE;  // the focus is set
    }
    case WM_COMMAND:
      if (LOWORD(wparam) == IDOK) {
        const HWND field = ::GetDlgItem(box, kPortsFieldId);
        std::wstring text(static_cast<std::size_t>(::GetWindowTextLengthW(field)) + 1, L'\0');
        text.resize(static_cast<std::size_t>(::GetWindowTextW(field, text.data(), static_cast<int>(text.size()))));
        exchange->text = std::move(text);
        ::EndDialog(box, IDOK);
        return TRUE;
      }
      if (LOWORD(wparam) == IDCANCEL) {
        ::EndDialog(box, IDCANCEL);
        return TRUE;
      }
      return FALSE;
    default:
      return FALSE;
  }
}

}  // namespace

std::optional<std::wstring> AskForPorts(HINSTANCE instance, HWND owner, const std::wstring& initial) {
  const std::vector<std::uint32_t> resource = BuildDialogResource(kPortsDialog);
  Exchange exchange{initial};
  const INT_PTR ended = ::DialogBoxIndirectParamW(instance, reinterpret_cast<LPCDLGTEMPLATEW>(resource.data()), owner,
                                                 PortsProc, reinterpret_cast<LPARAM>(&exchange));
  if (ended != IDOK) return std::nullopt;
  return exchange.text;
}

}  // namespace zevuvuri::ui::win32
