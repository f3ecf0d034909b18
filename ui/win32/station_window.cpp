#include "ui/win32/station_window.h"

#include <commctrl.h>

#include <algorithm>
#include <cstdlib>
#include <string_view>
#include <utility>

#include "engine/text_encoding.h"
#include "ui/win32/dialog_resource.h"
#include "ui/win32/resource_ids.h"
#include "ui/win32/station_layout.h"

namespace zevuvuri::ui::win32 {
namespace {

using station_id::Row;
using station_id::RowPart;

// Asks the window thread to run the session's pass now.
constexpr UINT kWakeUp = WM_APP + 2;
constexpr UINT_PTR kTickTimer = 1;

// The result fields' colours, with text that reads on them at a distance;
// the text says OK or the failure as well, so colour is never the only cue.
struct Colours {
  COLORREF background;
  COLORREF text;
};
// A dimmed result (its unit has left) keeps its hue on a pale field.
Colours ColoursFor(RowResult kind, bool dimmed) {
  switch (kind) {
    case RowResult::Ok:
      if (dimmed) return {RGB(0xc4, 0xe0, 0xc8), RGB(0x0f, 0x4a, 0x18)};
      return {RGB(0x1b, 0x7f, 0x2a), RGB(0xff, 0xff, 0xff)};
    case RowResult::Failed:
      if (dimmed) return {RGB(0xf2, 0xc8, 0xc8), RGB(0x7a, 0x10, 0x10)};
      return {RGB(0xc0, 0x1c, 0x1c), RGB(0xff, 0xff, 0xff)};
    case RowResult::Waiting:
    case RowResult::Running: break;
  }
  return {RGB(0xd4, 0xd4, 0xd4), RGB(0x20, 0x20, 0x20)};
}

// The result field is three times the dialog font's height, in bold.
HFONT MakeResultFont(HWND window) {
  LOGFONTW font{};
  const auto dialog_font = reinterpret_cast<HFONT>(::SendMessageW(window, WM_GETFONT, 0, 0));
  if (dialog_font == nullptr || ::GetObjectW(dialog_font, sizeof font, &font) == 0) return nullptr;
  font.lfHeight = font.lfHeight * 2;
  font.lfWidth = 0;
  font.lfWeight = FW_BOLD;
  return ::CreateFontIndirectW(&font);
}

// The "(repeat)" mark goes beside the unit's number, where a long serial
// number under it cannot push it out of sight.
constexpr std::wstring_view kRepeatMark = L" (repeat)";
struct UnitLines {
  std::wstring first;   // the unit's number, and the repeat mark
  std::wstring serial;  // empty without a scan
};

UnitLines LinesOf(const StationRow& row) {
  UnitLines lines{row.unit, row.serial};
  if (lines.serial.ends_with(kRepeatMark)) {
    lines.serial.resize(lines.serial.size() - kRepeatMark.size());
    lines.first += kRepeatMark;
  }
  return lines;
}

std::wstring UnitText(const UnitLines& lines) {
  return lines.serial.empty() ? lines.first : lines.first + L"\n" + lines.serial;
}

// The tooltip's text: a serial has no spaces to wrap at, and a tooltip
// cannot break a word, so it goes in lines of kTipLine characters.
constexpr std::size_t kTipLine = 50;
std::wstring TipText(const UnitLines& lines) {
  std::wstring serial;
  for (std::size_t at = 0; at < lines.serial.size();) {
    std::size_t end = std::min(at + kTipLine, lines.serial.size());
    if (end < lines.serial.size() && IS_HIGH_SURROGATE(lines.serial[end - 1])) --end;  // never half a pair
    serial += (at == 0 ? L"" : L"\n") + lines.serial.substr(at, end - at);
    at = end;
  }
  return UnitText({lines.first, serial});
}

// The longest start of `line` that fits the control's width in its font,
// ended by an ellipsis when it had to be cut (a scanned serial may be 255
// characters long; the field would only wrap and clip it).
std::wstring Elided(HWND control, const std::wstring& line) {
  RECT box{};
  ::GetClientRect(control, &box);
  const HDC dc = ::GetDC(control);
  if (dc == nullptr) return line;
  const HGDIOBJ before = ::SelectObject(dc, reinterpret_cast<HFONT>(::SendMessageW(control, WM_GETFONT, 0, 0)));
  auto fits = [&](const std::wstring& text) {
    SIZE size{};
    return ::GetTextExtentPoint32W(dc, text.c_str(), static_cast<int>(text.size()), &size) && size.cx <= box.right;
  };
  std::wstring shown = line;
  if (!fits(line)) {
    std::size_t low = 0, high = line.size();
    while (low < high) {
      const std::size_t middle = (low + high + 1) / 2;
      if (fits(line.substr(0, middle) + L"\u2026")) low = middle;
      else high = middle - 1;
    }
    // Never half a surrogate pair.
    if (low > 0 && IS_HIGH_SURROGATE(line[low - 1])) --low;
    shown = line.substr(0, low) + L"\u2026";
  }
  ::SelectObject(dc, before);
  ::ReleaseDC(control, dc);
  return shown;
}

// The result fields take the focus on Tab; they are drawn again as it comes
// and goes, so that the focus shows.
LRESULT CALLBACK ResultFieldProc(HWND field, UINT message, WPARAM wparam, LPARAM lparam, UINT_PTR, DWORD_PTR) {
  if (message == WM_SETFOCUS || message == WM_KILLFOCUS) ::InvalidateRect(field, nullptr, TRUE);
  return ::DefSubclassProc(field, message, wparam, lparam);
}

// The window whose start keys the keyboard hook guards (this thread's
// station view while it is up), and whether Space is a start key there (not
// with the scan field, where it is part of a label).
thread_local HWND g_guarded_window = nullptr;
thread_local bool g_space_starts = false;

// A key held down repeats its WM_KEYDOWN, each with bit 30 set (the key was
// already down). Enter and Space start units: their repeats are dropped
// before the dialog manager turns them into presses of the start button, so
// that a held key or foot switch counts once.
LRESULT CALLBACK DropStartKeyRepeats(int code, WPARAM key, LPARAM flags) {
  const auto bits = static_cast<DWORD>(flags);
  const bool repeat = (bits & (1UL << 30)) != 0 && (bits & (1UL << 31)) == 0;
  const bool start_key = key == VK_RETURN || (key == VK_SPACE && g_space_starts);
  if (code == HC_ACTION && repeat && start_key && g_guarded_window != nullptr &&
      ::GetActiveWindow() == g_guarded_window) {
    return 1;
  }
  return ::CallNextHookEx(nullptr, code, key, flags);
}

void SetTextIfChanged(HWND window, int id, std::wstring& shown, const std::wstring& now, bool announce) {
  if (shown == now) return;
  shown = now;
  const HWND control = ::GetDlgItem(window, id);
  ::SetWindowTextW(control, now.c_str());
  if (announce) AnnounceTextChange(control);
}

}  // namespace

StationWindow::~StationWindow() {
  if (session_) session_->Finish();
  if (result_font_ != nullptr) ::DeleteObject(result_font_);
}

int StationWindow::Run(const SettingsFile& file) {
  StationToolkit& toolkit = *this;
  session_ = std::make_unique<StationSession>(toolkit, file);
  return RunSession();
}

int StationWindow::Run(station::StationSettings settings) {
  StationToolkit& toolkit = *this;
  session_ = std::make_unique<StationSession>(toolkit, std::move(settings));
  return RunSession();
}

// The session exists before the window, so that the window has a row for
// each of its slots; its first pass runs once the window does.
int StationWindow::RunSession() {
  StationLayoutOptions options;
  for (const StationRow& row : session_->Rows()) options.ports.push_back(ToUtf8(row.port).value_or("?"));
  options.start_button = session_->StartButtonUsed();
  options.scan_field = session_->ScanFieldUsed();
  shown_.assign(options.ports.size(), ShownRow{});
  const StationLayout layout(options);
  const std::vector<std::uint32_t> resource = BuildDialogResource(layout.Dialog());
  const INT_PTR ended = ::DialogBoxIndirectParamW(instance_, reinterpret_cast<LPCDLGTEMPLATEW>(resource.data()),
                                                 owner_, DialogProc, reinterpret_cast<LPARAM>(this));
  const int status = session_->Finish();
  return ended == -1 ? 1 : status;
}

INT_PTR CALLBACK StationWindow::DialogProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  auto* self = reinterpret_cast<StationWindow*>(::GetWindowLongPtrW(window, DWLP_USER));
  if (message == WM_INITDIALOG) {
    self = reinterpret_cast<StationWindow*>(lparam);
    ::SetWindowLongPtrW(window, DWLP_USER, reinterpret_cast<LONG_PTR>(self));
    self->window_ = window;
  }
  return self == nullptr ? FALSE : self->Handle(message, wparam, lparam);
}

INT_PTR StationWindow::Handle(UINT message, WPARAM wparam, LPARAM lparam) {
  const HWND window = window_;
  switch (message) {
    case WM_INITDIALOG:
      OnInitDialog();
      return FALSE;  // the focus is set
    case WM_TIMER:
      if (wparam != kTickTimer) return FALSE;
      Tick();
      return TRUE;
    case kWakeUp:
      wake_posted_ = false;
      Tick();
      return TRUE;
    case WM_COMMAND: {
      const int control = LOWORD(wparam);
      const int code = HIWORD(wparam);
      if (control == station_id::kStart && code == BN_CLICKED) {
        if (session_) session_->PressStart();
        Tick();
      } else if (control == IDOK) {
        OnEnter();
      } else if (control == IDCANCEL) {
        OnCloseRequest();
      } else {
        return FALSE;
      }
      return TRUE;
    }
    case WM_DRAWITEM:
      DrawResult(*reinterpret_cast<const DRAWITEMSTRUCT*>(lparam));
      ::SetWindowLongPtrW(window, DWLP_MSGRESULT, TRUE);
      return TRUE;
    case WM_SETFOCUS:
      // The platform's dialog would pass its focus on to the first control
      // that takes it; while the start button is disabled it stays here.
      return focus_kept_ ? TRUE : FALSE;
    case WM_QUERYENDSESSION:
      // The session may end: what runs is stopped when it does.
      ::SetWindowLongPtrW(window, DWLP_MSGRESULT, TRUE);
      return TRUE;
    case WM_ENDSESSION:
      if (wparam != FALSE) OnEndSession();
      ::SetWindowLongPtrW(window, DWLP_MSGRESULT, 0);
      return TRUE;
    case WM_DESTROY:
      OnDestroy();
      return FALSE;
    default:
      return FALSE;
  }
}

void StationWindow::OnInitDialog() {
  const HWND window = window_;
  if (HICON icon = ::LoadIconW(instance_, MAKEINTRESOURCEW(ZEVUVURI_IDR_APP_ICON))) {
    ::SendMessageW(window, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(icon));
    ::SendMessageW(window, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(icon));
  }
  // The result fields are drawn here, in their colour and a large font: a
  // static's kind is read at each painting, so it may change once made.
  result_font_ = MakeResultFont(window);
  for (std::size_t slot = 0; slot < shown_.size(); ++slot) {
    const HWND result = ::GetDlgItem(window, Row(slot, RowPart::Result));
    const LONG_PTR kind = ::GetWindowLongPtrW(result, GWL_STYLE);
    ::SetWindowLongPtrW(result, GWL_STYLE, (kind & ~static_cast<LONG_PTR>(SS_TYPEMASK)) | SS_OWNERDRAW);
    ::SetWindowSubclass(result, ResultFieldProc, 1, 0);
    ::SendMessageW(::GetDlgItem(window, Row(slot, RowPart::Progress)), PBM_SETRANGE32, 0, 100);
  }
  AddUnitTips();
  annotations_ = std::make_unique<AccessibleAnnotations>();
  Describe();
  g_guarded_window = window;
  g_space_starts = session_ && !session_->ScanFieldUsed();
  repeat_filter_ = ::SetWindowsHookExW(WH_KEYBOARD, DropStartKeyRepeats, nullptr, ::GetCurrentThreadId());

  // The control the operator uses has the focus, and Enter presses the
  // start button wherever the focus is.
  if (const HWND start = ::GetDlgItem(window, station_id::kStart)) {
    ::SendMessageW(window, DM_SETDEFID, station_id::kStart, 0);
    ::SendMessageW(window, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(start), TRUE);
  } else if (const HWND scan = ::GetDlgItem(window, station_id::kScan)) {
    ::SendMessageW(window, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(scan), TRUE);
  }
  Redraw();
  // A station that cannot run has nothing to press or scan into: the focus
  // goes to the first result, or the window itself, so that the keyboard
  // (Esc, Tab) still reaches the view.
  const HWND focus = ::GetFocus();
  const bool cannot_run = !session_->Problem().empty();
  if (focus == nullptr || !::IsWindowEnabled(focus) || (cannot_run && focus == window)) {
    // Nothing will ever be enabled here: the dialog keeps no focus for later.
    if (cannot_run) focus_kept_ = false;
    if (const HWND first = ::GetDlgItem(window, Row(0, RowPart::Result))) {
      ::SendMessageW(window, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(first), TRUE);
    } else {
      ::SetFocus(window);
    }
  }
  Tick();
}

// A tooltip for each unit field, which shows the unit's text whole. A
// static lets the mouse through to the dialog unless it notifies.
void StationWindow::AddUnitTips() {
  const HWND window = window_;
  tips_ = ::CreateWindowExW(WS_EX_TOPMOST, TOOLTIPS_CLASSW, nullptr, WS_POPUP | TTS_NOPREFIX | TTS_ALWAYSTIP,
                            CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, window, nullptr, instance_,
                            nullptr);
  if (tips_ == nullptr) return;
  // Wide enough for a long serial over a few lines.
  ::SendMessageW(tips_, TTM_SETMAXTIPWIDTH, 0, 400);
  for (std::size_t slot = 0; slot < shown_.size(); ++slot) {
    const HWND unit = ::GetDlgItem(window, Row(slot, RowPart::Unit));
    ::SetWindowLongPtrW(unit, GWL_STYLE, ::GetWindowLongPtrW(unit, GWL_STYLE) | SS_NOTIFY);
    TOOLINFOW tool{};
    tool.cbSize = TTTOOLINFOW_V2_SIZE;
    tool.uFlags = TTF_IDISHWND | TTF_SUBCLASS;
    tool.hwnd = window;
    tool.uId = reinterpret_cast<UINT_PTR>(unit);
    tool.lpszText = const_cast<wchar_t*>(L"");
    ::SendMessageW(tips_, TTM_ADDTOOLW, 0, reinterpret_cast<LPARAM>(&tool));
  }
}

// Accessible names where a control's own text is not one, and a description
// for every control: what a screen reader says besides the text.
void StationWindow::Describe() {
  const HWND window = window_;
  auto item = [window](int id) { return ::GetDlgItem(window, id); };
  const std::vector<StationRow>& rows = session_->Rows();
  for (std::size_t slot = 0; slot < std::min(rows.size(), shown_.size()); ++slot) {
    const std::wstring& port = rows[slot].port;
    const HWND progress = item(Row(slot, RowPart::Progress));
    // Named by its window text, which a progress bar does not draw, where
    // the property service is missing.
    const std::wstring progress_name = port + L" progress";
    ::SetWindowTextW(progress, progress_name.c_str());
    annotations_->SetName(progress, progress_name);
    annotations_->SetDescription(item(Row(slot, RowPart::Port)), L"Port of a slot");
    annotations_->SetDescription(item(Row(slot, RowPart::Unit)), L"Unit on " + port);
    annotations_->SetDescription(item(Row(slot, RowPart::State)), L"State of " + port);
    annotations_->SetDescription(progress, L"Upgrade progress on " + port);
    annotations_->SetDescription(item(Row(slot, RowPart::Result)), L"Result of the last unit on " + port);
    annotations_->SetDescription(item(Row(slot, RowPart::Counts)), L"Units OK and failed on " + port);
  }
  annotations_->SetDescription(item(station_id::kHeader),
                               L"What every slot flashes: firmware, size, SHA-256, type, station, pacing");
  annotations_->SetDescription(item(station_id::kTotals), L"The shift's totals");
  annotations_->SetDescription(item(station_id::kRecords), L"Records waiting for the database");
  annotations_->SetDescription(item(station_id::kNote), L"The station's status: its last message");
  if (const HWND start = item(station_id::kStart)) {
    annotations_->SetDescription(start, L"Starts every waiting slot and confirms every unit waiting over the air");
  }
  if (const HWND scan = item(station_id::kScan)) {
    annotations_->SetName(scan, FromUtf8(kScanCaption));
    annotations_->SetDescription(scan, L"Scan or type the next unit's label, then Enter");
  }
}

void StationWindow::OnDestroy() {
  const HWND window = window_;
  ::KillTimer(window, kTickTimer);
  for (std::size_t slot = 0; slot < shown_.size(); ++slot) {
    ::RemoveWindowSubclass(::GetDlgItem(window, Row(slot, RowPart::Result)), ResultFieldProc, 1);
  }
  if (repeat_filter_ != nullptr) ::UnhookWindowsHookEx(repeat_filter_);
  repeat_filter_ = nullptr;
  g_guarded_window = nullptr;
  if (annotations_) annotations_->Clear();
  window_ = nullptr;  // wake-ups from now on are dropped: Finish() takes what remains
}

void StationWindow::Tick() {
  if (!session_ || closing_) return;
  session_->Tick();
  const HWND window = window_;
  if (window == nullptr || closing_) return;
  const auto next = std::max<long long>(USER_TIMER_MINIMUM, session_->NextTickIn().count());
  ::SetTimer(window, kTickTimer, static_cast<UINT>(std::min<long long>(next, 1000)), nullptr);
}

void StationWindow::Redraw() {
  const HWND window = window_;
  if (!session_ || window == nullptr) return;
  const std::vector<StationRow>& rows = session_->Rows();
  const std::size_t count = std::min(rows.size(), shown_.size());
  for (std::size_t slot = 0; slot < count; ++slot) {
    const StationRow& row = rows[slot];
    ShownRow& shown = shown_[slot];
    // A scanned serial number goes under the unit's number, cut to the
    // field's width; the tooltip shows it whole.
    const UnitLines lines = LinesOf(row);
    const std::wstring whole = UnitText(lines);
    if (shown.unit_whole != whole) {
      shown.unit_whole = whole;
      const HWND unit = ::GetDlgItem(window, Row(slot, RowPart::Unit));
      SetTextIfChanged(window, Row(slot, RowPart::Unit), shown.unit,
                       UnitText({lines.first, lines.serial.empty() ? std::wstring() : Elided(unit, lines.serial)}),
                       false);
      if (tips_ != nullptr) {
        const std::wstring tip = TipText(lines);
        TOOLINFOW tool{};
        tool.cbSize = TTTOOLINFOW_V2_SIZE;
        tool.hwnd = window;
        tool.uId = reinterpret_cast<UINT_PTR>(unit);
        tool.lpszText = const_cast<wchar_t*>(tip.c_str());
        ::SendMessageW(tips_, TTM_UPDATETIPTEXTW, 0, reinterpret_cast<LPARAM>(&tool));
      }
    }
    const std::wstring counts =
        std::to_wstring(row.units_ok) + L" OK\n" + std::to_wstring(row.units_failed) + L" failed";
    SetTextIfChanged(window, Row(slot, RowPart::Counts), shown.counts, counts, false);
    SetTextIfChanged(window, Row(slot, RowPart::State), shown.state, row.state, true);
    const int percent = std::clamp(row.percent, 0, 100);
    if (shown.percent != percent) {
      shown.percent = percent;
      ::SendMessageW(::GetDlgItem(window, Row(slot, RowPart::Progress)), PBM_SETPOS, static_cast<WPARAM>(percent), 0);
    }
    const bool repaint = shown.kind != row.result || shown.dimmed != row.dimmed || shown.result != row.result_text;
    shown.kind = row.result;
    shown.dimmed = row.dimmed;
    SetTextIfChanged(window, Row(slot, RowPart::Result), shown.result, row.result_text, true);
    if (repaint) {
      // An owner-drawn static's text may not be taken as its name, so the
      // name follows the text.
      const HWND result = ::GetDlgItem(window, Row(slot, RowPart::Result));
      if (annotations_) annotations_->SetName(result, row.result_text);
      ::InvalidateRect(result, nullptr, TRUE);
    }
  }
  SetTextIfChanged(window, station_id::kTotals, shown_totals_, session_->TotalsLine(), true);
  SetTextIfChanged(window, station_id::kRecords, shown_records_, session_->RecordsLine(), true);
  SetTextIfChanged(window, station_id::kNote, shown_status_, session_->Status(), true);
  SetTextIfChanged(window, station_id::kHeader, shown_header_, session_->Header(), false);
  // As on Qt: nothing to press or scan into while the station cannot run.
  const bool usable = !session_->Stopped() && session_->Problem().empty();
  if (const HWND scan = ::GetDlgItem(window, station_id::kScan)) ::EnableWindow(scan, usable ? TRUE : FALSE);
  if (const HWND start = ::GetDlgItem(window, station_id::kStart)) {
    // With Next=plug the button waits for a unit over the air. A disabled
    // button that had the focus would leave the window with none (no Enter,
    // no Esc): the dialog itself keeps it meanwhile, and gives it back.
    const bool enabled = usable && session_->StartEnabled();
    if ((::IsWindowEnabled(start) != FALSE) != enabled) {
      const HWND focus = ::GetFocus();
      if (!enabled) {
        focus_kept_ = focus == start || focus == nullptr || !::IsChild(window, focus);
        ::EnableWindow(start, FALSE);
        if (focus == start) ::SetFocus(window);
      } else {
        ::EnableWindow(start, TRUE);
        const HWND now = ::GetFocus();
        // Never from another program: only while this view is the active window.
        if (focus_kept_ && (now == window || (now == nullptr && ::GetActiveWindow() == window))) {
          ::SendMessageW(window, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(start), TRUE);
        }
        focus_kept_ = false;
      }
    }
  }
}

void StationWindow::DrawResult(const DRAWITEMSTRUCT& item) {
  const int id = static_cast<int>(item.CtlID);
  RowResult kind = RowResult::Waiting;
  bool dimmed = false;
  std::wstring text;
  for (std::size_t slot = 0; slot < shown_.size(); ++slot) {
    if (Row(slot, RowPart::Result) == id) {
      kind = shown_[slot].kind;
      dimmed = shown_[slot].dimmed;
      text = shown_[slot].result;
    }
  }
  const Colours colours = ColoursFor(kind, dimmed);
  const HBRUSH fill = ::CreateSolidBrush(colours.background);
  ::FillRect(item.hDC, &item.rcItem, fill);
  ::DeleteObject(fill);
  RECT area = item.rcItem;
  ::InflateRect(&area, -4, -2);
  // The large font, made smaller until the whole text fits: a long failure
  // ("Failure : couldn't open file") is read whole, never cut.
  HFONT font = nullptr;
  LOGFONTW large{};
  if (result_font_ != nullptr && ::GetObjectW(result_font_, sizeof large, &large) != 0) {
    LOGFONTW dialog{};
    const auto dialog_font = reinterpret_cast<HFONT>(::SendMessageW(window_, WM_GETFONT, 0, 0));
    const int smallest = dialog_font != nullptr && ::GetObjectW(dialog_font, sizeof dialog, &dialog) != 0
                             ? std::abs(static_cast<int>(dialog.lfHeight))
                             : 8;
    font = FittingResultFont(item.hDC, large, smallest, text, SIZE{area.right - area.left, area.bottom - area.top});
  }
  const HGDIOBJ old_font = font != nullptr ? ::SelectObject(item.hDC, font) : nullptr;
  ::SetBkMode(item.hDC, TRANSPARENT);
  ::SetTextColor(item.hDC, colours.text);
  // Centred both ways, wrapped over lines when a failure text is long.
  RECT measured = area;
  ::DrawTextW(item.hDC, text.c_str(), -1, &measured, kResultTextFormat | DT_CALCRECT);
  const int height = measured.bottom - measured.top;
  if (height < area.bottom - area.top) area.top += (area.bottom - area.top - height) / 2;
  ::DrawTextW(item.hDC, text.c_str(), -1, &area, kResultTextFormat);
  if (old_font != nullptr) ::SelectObject(item.hDC, old_font);
  if (font != nullptr) ::DeleteObject(font);
  if (::GetFocus() == item.hwndItem) {
    RECT focus = item.rcItem;
    ::InflateRect(&focus, -2, -2);
    ::DrawFocusRect(item.hDC, &focus);
  }
}

// Enter presses the start button wherever the focus is, and takes the scan
// field's text while the focus is there.
void StationWindow::OnEnter() {
  const HWND window = window_;
  if (!session_) return;
  const HWND scan = ::GetDlgItem(window, station_id::kScan);
  if (scan != nullptr && ::GetFocus() == scan) {
    std::wstring label(static_cast<std::size_t>(::GetWindowTextLengthW(scan)) + 1, L'\0');
    label.resize(static_cast<std::size_t>(::GetWindowTextW(scan, label.data(), static_cast<int>(label.size()))));
    ::SetWindowTextW(scan, L"");
    session_->Scan(label);
  } else if (::GetDlgItem(window, station_id::kStart) != nullptr) {
    session_->PressStart();
  }
  Tick();
}

void StationWindow::OnCloseRequest() {
  const HWND window = window_;
  if (asking_ || closing_) return;
  if (session_ && session_->UnitsRunning() > 0) {
    const std::wstring question = session_->CloseQuestion();
    asking_ = true;
    // The session goes on while the question is open: its timer and wake-ups
    // reach this window through the box's own message loop, and the running
    // units are shown. It is held, so that no unit starts that the question
    // did not count and "Yes" would stop unseen. No is the default, so that
    // an Enter meant for the start button stops nothing.
    session_->Hold(true);
    const int answer =
        ::MessageBoxW(window, question.c_str(), L"Units running", MB_YESNO | MB_ICONQUESTION | MB_DEFBUTTON2);
    asking_ = false;
    if (answer != IDYES) {
      session_->Hold(false);
      return;
    }
    session_->Stop();
  }
  CloseWindow();
}

// The system ends the process once the session's end has been told, so
// nothing may wait for the dialog to close: the units are stopped, recorded
// and their ports closed here, and the process ends with the station's
// status, as the command line's station ends on a signal.
void StationWindow::OnEndSession() {
  if (!session_) return;
  closing_ = true;
  if (const HWND window = window_) ::KillTimer(window, kTickTimer);
  session_->Interrupt();
  const int status = session_->Finish();
  ::ExitProcess(static_cast<UINT>(status));
}

void StationWindow::RowsChanged() { Redraw(); }

// Any thread. One message at a time is enough: the pass it asks for takes
// everything that happened until then.
void StationWindow::WakeUp() {
  const HWND window = window_;
  if (window == nullptr || wake_posted_.exchange(true)) return;
  if (!::PostMessageW(window, kWakeUp, 0, 0)) wake_posted_ = false;
}

void StationWindow::CloseWindow() {
  const HWND window = window_;
  if (window == nullptr || closing_) return;
  closing_ = true;
  ::KillTimer(window, kTickTimer);
  ::EndDialog(window, IDOK);
}

}  // namespace zevuvuri::ui::win32
