// The station view on Qt: a row per slot (port, unit, state, progress bar and
// a large coloured result field readable from a distance), the shift's totals,
// the records' state and the last note, the start button (Next=enter) or the
// scan field (Next=scan), with the station session behind them.
#pragma once

#include <QDialog>
#include <QTimer>
#include <functional>
#include <memory>
#include <vector>

#include "ui/station_session.h"

class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;

namespace zevuvuri::ui::qt {

class FittingLabel;

// Thread contract: window thread only, WakeUp excepted (StationToolkit).
// Run it with exec(); closing while units run asks once whether to stop them
// (the close button, Esc). End() stops what still runs, joins every worker and
// gives the exit status; the destructor does the same.
class QtStationWindow final : public QDialog, private StationToolkit {
  Q_OBJECT

 public:
  // From loader.cfg (Station=1 at start-up).
  explicit QtStationWindow(const SettingsFile& file, QWidget* parent = nullptr);
  // From the main window's "Station...".
  explicit QtStationWindow(station::StationSettings settings, QWidget* parent = nullptr);
  ~QtStationWindow() override;

  int End() { return session_->End(); }
  StationSession& Session() { return *session_; }

  // Esc and the close button come here: with units running, the question
  // first; "Yes" stops them all, then the window closes.
  void reject() override;

 protected:
  void customEvent(QEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  void showEvent(QShowEvent* event) override;

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
  bool stop_approved_ = false;
};

}  // namespace zevuvuri::ui::qt
