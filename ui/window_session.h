// One run of the operator window, whatever toolkit draws it: the upgrade
// behind the Acquire button, the window's behaviour over the toolkit's
// controls, the worker's sink calls carried over to the window thread, and
// the way the run ends. Each upgrade is a unit of a one-slot station run on
// request (station/station_model.h): the station's code records it, completes
// the settings and runs the journal's forwarder, as for every front end; the
// unit's sinks drive the window. A toolkit realisation supplies the
// controls, the two dialogs and the small WindowToolkit below, binds its
// notifications to Dialog()'s handlers, and differs from the others only in
// its widgets.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "engine/upgrade_controller.h"
#include "station/station_model.h"
#include "ui/control_surface.h"
#include "ui/journal_open_limit.h"
#include "ui/main_dialog.h"
#include "ui/settings_file.h"
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
// toolkit's run of the window has returned, Finish() lets go of a worker still
// waiting for the window thread, then shuts the upgrade down (which joins the
// worker, releases the port and records the unit, "interrupted" when it was
// cut short), and gives the process's exit status, which the program returns
// from main. The session's end (a log-off, SIGTERM) comes through
// EndBySession(), which is the close question's "Yes".
class WindowSession final : private AcquireTarget, private UpgradeSinks, private station::StationObserver {
 public:
  WindowSession(WindowToolkit& toolkit, ControlSurface& controls, FileDialog& file_dialog, AboutBoxOpener& about_box,
                SettingsFile settings);
  ~WindowSession() override;  // Finish()
  WindowSession(const WindowSession&) = delete;
  WindowSession& operator=(const WindowSession&) = delete;

  // Once, when the toolkit's controls exist: fills them from the settings;
  // in production mode that starts an upgrade.
  void OnInitDialog() { dialog_.OnInitDialog(); }

  // The window's handlers, for the toolkit to bind to its notifications.
  CRazazeDeviziDlg& Dialog() { return dialog_; }

  // On the toolkit's wake-up: the sink calls, then the unit's ending taken
  // and recorded when it has come.
  void RunQueuedCalls();

  // Idempotent; returns ExitStatus().
  int Finish();

  // 0 for an ordinary window however it closed, and for a production window
  // once an upgrade has ended "Upgrade OK", whether that closed the window or
  // the operator did; 1 for a production window closed without one, so that a
  // factory script can tell the two apart; 130 (the command line's
  // interrupt) when the session's end stopped a running upgrade.
  int ExitStatus() const;

  // The desktop session ends (log-off, shut-down, SIGTERM, SIGHUP): the
  // running upgrade is stopped as the close question's "Yes" would, recorded
  // "interrupted", its port freed; Finish() then gives 130. The toolkit closes
  // the window afterwards. Returns Finish().
  int EndBySession();

  // With RecordsDb= in loader.cfg the toolkit calls ShowRecordsState about
  // once a second (kRecordsLookInterval); it puts the records' state into
  // the status line's tooltip when it has changed. Otherwise it need not.
  bool ForwardsRecords() const { return forwards_; }
  void ShowRecordsState();

  // From a press that started an upgrade until its worker has released the
  // port and the button.
  bool UpgradeInProgress() const;
  // The last upgrade's worker has not yet returned.
  bool WorkerThreadAlive() const;
  Pacing GetPacing() const { return pacing_; }
  // The port text (UTF-8) of the window's last upgrade, once one started: its
  // board may still be on that port.
  std::optional<std::string> LastUpgradePort() const { return last_port_; }
  std::size_t WaitingCalls() const { return sinks_.WaitingCalls(); }
  // Called with each upgrade's controller before it starts (a module of the
  // test's own on a virtual clock).
  void SetUpUpgradesForTesting(std::function<void(UpgradeController&)> set_up) { test_set_up_ = std::move(set_up); }

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

  // station::StationObserver, from the model on the window thread
  void SlotChanged(std::size_t, const station::SlotSnapshot&, station::SlotEvent) override {}
  void Note(const std::string&) override {}
  void RecordsLine(const std::string& text) override;
  void TotalsChanged(const station::StationTotals&) override {}
  station::UnitFrontEnd UnitStarting(std::size_t slot, unsigned unit) override;
  void UnitNote(std::size_t slot, unsigned unit, const std::string& text) override;

  void OpenRecords(const SettingsFile& settings);
  // Refuses the press on the status line, its tooltip saying why.
  void Refuse(std::string_view status, const std::string& why);
  // Runs the worker's last calls until it has returned (up to 2 s); false
  // when it has not.
  bool AwaitLastWorker();
  void TakeEnding();
  UpgradeController* Controller() const;

  WindowToolkit& toolkit_;
  WindowThreadSinks sinks_;
  CRazazeDeviziDlg dialog_;
  JournalOpenLimit journal_limit_;
  std::unique_ptr<station::StationModel> model_;  // nothing when the settings cannot run
  std::string problem_;                            // why no upgrade starts, when so
  std::optional<std::string> records_news_;        // for ShowRecordsState
  std::wstring unit_notes_;                        // the running unit's explanations
  std::optional<std::string> last_port_;
  std::function<void(UpgradeController&)> test_set_up_;
  struct WakeGate;  // lets the workers' wake-ups through until Finish()
  std::shared_ptr<WakeGate> gate_;
  Pacing pacing_ = Pacing::Classic;
  bool production_ = false;
  bool forwards_ = false;
  bool started_ = false;  // a press has started an upgrade
  bool ended_by_upgrade_ = false;
  bool interrupted_by_session_ = false;
  bool ended_ = false;
};

}  // namespace zevuvuri::ui
