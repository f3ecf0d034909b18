// One run of the operator window, whatever toolkit draws it: the upgrade
// controller behind the Acquire button, the window's behaviour over the
// toolkit's controls, the worker's sink calls carried over to the window
// thread, and the way the run ends. A toolkit realisation supplies the
// controls, the two dialogs and the small WindowToolkit below, binds its
// notifications to Dialog()'s handlers, and differs from the others only in
// its widgets.
#pragma once

#include <chrono>
#include <cstddef>
#include <string>

#include "engine/upgrade_controller.h"
#include "ui/control_surface.h"
#include "ui/main_dialog.h"
#include "ui/settings_file.h"
#include "ui/window_records.h"
#include "ui/window_thread_sinks.h"

namespace zevuvuri::ui {

// How often a toolkit asks for the records' state (ShowRecordsState).
constexpr auto kRecordsLookInterval = std::chrono::milliseconds{1000};

// What the session needs of a toolkit beyond its controls.
class WindowToolkit : public WindowThreadWakeUp {
 public:
  // Window thread: end every modal loop over the main window (boxes, menus),
  // then the main window's own, so that the toolkit's run of the window
  // returns.
  virtual void CloseWindow() = 0;
};

// Thread contract: window thread only (the one that constructs it); the
// worker reaches it only through the forwarded sinks.
//
// Ending: after "Upgrade OK" in production mode the session closes the window
// through the toolkit; the worker, not held by anything, returns. Once the
// toolkit's run of the window has returned, End() lets go of a worker still
// waiting for the window thread, then shuts the upgrade down (which joins the
// worker and releases the port), and gives the process's exit status, which
// the program returns from main.
class WindowSession final : private AcquireTarget, private UpgradeSinks {
 public:
  WindowSession(WindowToolkit& toolkit, ControlSurface& controls, FileDialog& file_dialog, AboutBoxOpener& about_box,
                SettingsFile settings);
  ~WindowSession() override;  // End()
  WindowSession(const WindowSession&) = delete;
  WindowSession& operator=(const WindowSession&) = delete;

  // Once, when the toolkit's controls exist: fills them from the settings;
  // in production mode that starts an upgrade.
  void OnInitDialog() { dialog_.OnInitDialog(); }

  // The window's handlers, for the toolkit to bind to its notifications.
  CRazazeDeviziDlg& Dialog() { return dialog_; }

  // On the toolkit's wake-up.
  void RunQueuedCalls() { sinks_.RunQueuedCalls(); }

  // Idempotent; returns ExitStatus().
  int End();

  // 0 for an ordinary window however it closed, and for a production window
  // once an upgrade has ended "Upgrade OK", whether that closed the window or
  // the operator did; 1 for a production window closed without one, so that a
  // factory script can tell the two apart.
  int ExitStatus() const;

  // With RecordsDb= in loader.cfg the toolkit calls ShowRecordsState about
  // once a second (kRecordsLookInterval); it puts the records' state into
  // the status line's tooltip when it has changed. Otherwise it need not.
  bool ForwardsRecords() const { return records_.Forwards(); }
  void ShowRecordsState();

  UpgradeController& Upgrade() { return upgrade_; }
  std::size_t WaitingCalls() const { return sinks_.WaitingCalls(); }

 private:
  // AcquireTarget
  void SetProductionFlag(bool on) override;
  void SetPacing(Pacing pacing) override;
  void OnAcquire(std::wstring_view port_text, std::wstring_view type_text,
                 std::optional<FirmwareName> firmware) override;

  // UpgradeSinks, on the window thread
  void SetStatus(std::string_view text) override;
  void SetButtonCaption(std::string_view text) override;
  void EnableButton(bool enabled) override;
  void SetProgressRange(std::uint16_t maximum) override;
  void SetProgressPosition(std::uint32_t position) override;
  void EndProcess() override;
  void UpgradeEnded(UpgradeOutcome outcome) override;
  void LinkModeLearned(LinkMode mode) override { records_.ModeLearned(mode); }
  void FirmwareImageTaken(std::uint64_t size, const std::optional<std::string>& sha256) override {
    records_.ImageTaken(size, sha256);
  }

  WindowToolkit& toolkit_;
  WindowRecords records_;  // before the controller: it outlives the worker
  WindowThreadSinks sinks_;
  UpgradeController upgrade_;
  CRazazeDeviziDlg dialog_;
  std::wstring port_text_;  // the last press's, for explaining a port failure
  bool started_ = false;  // a press has started an upgrade
  bool ended_by_upgrade_ = false;
  bool ended_ = false;
};

}  // namespace zevuvuri::ui
