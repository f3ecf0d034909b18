// The station view on Qt: a row per slot (port, unit, state, progress bar and
// a large coloured result field readable from a distance), the shift's totals,
// the records' state and the last note, the start button (Next=enter) or the
// scan field (Next=scan), with the station session behind them.
#pragma once

#include <QDialog>
#include <QPointer>
#include <QTimer>
#include <functional>
#include <memory>
#include <vector>

#include "ui/key_presses.h"
#include "ui/station_session.h"

class QKeyEvent;
class QLabel;
class QLineEdit;
class QMessageBox;
class QProgressBar;
class QPushButton;

namespace zevuvuri::ui::qt {

class FittingLabel;

// Thread contract: window thread only, WakeUp excepted (StationToolkit).
// Run it with exec(); closing while units run asks once whether to stop them
// (the close button, Esc), and no unit starts while the question is open.
// SIGTERM, SIGHUP, SIGINT and the session manager's end stop every unit as
// the question's "Yes" and close the view, whose status is then 130. Finish()
// stops what still runs, joins every worker and gives the exit status; the
// destructor does the same.
//
// Keys: Space, Enter and keypad Enter press the start button wherever the
// focus is, once per press (a held key or a bouncing foot switch starts
// nothing more). With the scan field, every key typed in the view goes to
// it, and Enter or Tab ends the label there.
class QtStationWindow final : public QDialog, private StationToolkit {
  Q_OBJECT

 public:
  // From loader.cfg (Station=1 at start-up).
  explicit QtStationWindow(const SettingsFile& file, QWidget* parent = nullptr);
  // From the main window's "Station...".
  explicit QtStationWindow(station::StationSettings settings, QWidget* parent = nullptr);
  ~QtStationWindow() override;

  int Finish() { return session_->Finish(); }
  StationSession& Session() { return *session_; }

  // Esc and the close button come here: with units running, the question
  // first; "Yes" stops them all, then the window closes.
  void reject() override;

 protected:
  void customEvent(QEvent* event) override;
  void showEvent(QShowEvent* event) override;
  // The view's keys, whichever of its widgets has the focus (set on the
  // application, so that it comes before the focused widget's own handling).
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  using MakeSession = std::function<std::unique_ptr<StationSession>(StationToolkit&)>;
  QtStationWindow(QWidget* parent, const MakeSession& make);

  // StationToolkit
  void RowsChanged() override;
  void WakeUp() override;
  void CloseWindow() override;

  void Build();
  // Fonts as large as the screen allows for the slots, then a size and a
  // place that keep the whole window on the screen.
  void FitToScreen();
  void ApplyFonts(double scale);
  void Tick();
  bool MayClose();
  bool StartKey(QKeyEvent* event);
  bool ScanKey(QWidget* receiver, QKeyEvent* event);
  void EndLabel(bool enter);
  void EndSession();

  struct RowWidgets {
    QLabel* port = nullptr;
    QLabel* counts = nullptr;  // the slot's OK and failed units
    QLabel* unit = nullptr;
    FittingLabel* state = nullptr;
    QProgressBar* progress = nullptr;
    FittingLabel* result = nullptr;
  };

  std::unique_ptr<StationSession> session_;
  std::vector<RowWidgets> rows_;
  QLabel* header_ = nullptr;
  QLabel* totals_ = nullptr;
  QLabel* records_ = nullptr;
  QLabel* status_ = nullptr;
  QPushButton* start_ = nullptr;
  QLineEdit* scan_ = nullptr;
  QTimer timer_;
  KeyPresses presses_;
  QPointer<QMessageBox> question_;  // the stop question while it is open
  bool stop_approved_ = false;
  bool forwarding_ = false;  // a key is being sent on to the scan field
};

}  // namespace zevuvuri::ui::qt
