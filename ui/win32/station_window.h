// The station view on Win32: a modal dialog with a row of controls per slot,
// drawn from the toolkit-free station session, which it drives from a timer
// and from the session's wake-ups.
#pragma once

#include <windows.h>

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "ui/settings_file.h"
#include "ui/station_session.h"
#include "ui/win32/accessibility.h"

namespace zevuvuri::ui::win32 {

// Thread contract: window thread only, WakeUp excepted (any thread).
class StationWindow final : private StationToolkit {
 public:
  // `owner`: the main window when it opened the view, which is then modal
  // over it; nullptr at start-up.
  explicit StationWindow(HINSTANCE instance, HWND owner = nullptr) : instance_(instance), owner_(owner) {}
  ~StationWindow() override;
  StationWindow(const StationWindow&) = delete;
  StationWindow& operator=(const StationWindow&) = delete;

  // Run the view modally until it closes: by the operator, with any running
  // unit stopped after the question, or by the session. The station that
  // loader.cfg describes (a file that describes none shows why on the status
  // line), or one given whole. Each returns the process's exit status
  // (StationSession::Finish), 1 when the window could not be made; once only.
  int Run(const SettingsFile& file);
  int Run(station::StationSettings settings);
  // A log-off or shut-down told to the window under this view: every unit
  // stopped and recorded, the process ended with the station's status (130
  // when units were cut short). Does nothing before Run.
  void EndBySession() { OnEndSession(); }

 private:
  int RunSession();
  static INT_PTR CALLBACK DialogProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
  INT_PTR Handle(UINT message, WPARAM wparam, LPARAM lparam);
  void OnInitDialog();
  void OnDestroy();
  void Tick();
  void Redraw();
  // Esc, the close button, the system menu: asks once while units run, and
  // holds the station meanwhile.
  void OnCloseRequest();
  // A log-off or shut-down: every unit stopped and recorded, the process
  // ended with the station's status (130).
  void OnEndSession();
  void OnEnter();
  void DrawResult(const DRAWITEMSTRUCT& item);
  void Describe();
  void AddUnitTips();

  // StationToolkit
  void RowsChanged() override;
  void WakeUp() override;
  void CloseWindow() override;

  HINSTANCE instance_;
  HWND owner_;
  std::atomic<HWND> window_{nullptr};
  std::atomic<bool> wake_posted_{false};
  std::unique_ptr<StationSession> session_;
  std::unique_ptr<AccessibleAnnotations> annotations_;
  HFONT result_font_ = nullptr;
  HHOOK repeat_filter_ = nullptr;  // drops the start keys' auto-repeats
  HWND tips_ = nullptr;  // the unit fields' tooltips, owned by the view (destroyed with it)
  bool asking_ = false;  // the close question is open
  bool focus_kept_ = false;  // the dialog holds the focus for the disabled start button
  bool closing_ = false;

  // What each control shows now, so that only changes are written (and
  // announced) and the result fields are drawn from their kind.
  struct ShownRow {
    std::wstring unit, counts, state, result;
    std::wstring unit_whole;  // the unit's text before its serial was cut to fit
    int percent = -2;
    RowResult kind = RowResult::Waiting;
    bool dimmed = false;
  };
  std::vector<ShownRow> shown_;
  std::wstring shown_totals_, shown_records_, shown_status_, shown_header_;
};

}  // namespace zevuvuri::ui::win32
