#include "ui/qt/main_window.h"

#include <QApplication>
#include <QContextMenuEvent>
#include <QEvent>
#include <QKeyEvent>
#include <QInputDialog>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QShortcut>
#include <QTimer>

#include "engine/text_encoding.h"
#include "ui/qt/accessible_names.h"
#include "ui/qt/app_icon_qt.h"
#include "ui/qt/drop_down_combo.h"
#include "ui/qt/station_window.h"
#include "ui/qt/template_dialog.h"
#include "ui/station_settings.h"

namespace zevuvuri::ui::qt {
namespace {

// Qt cannot add to the title bar's system menu on every platform, so the About
// command lives in the window's context menu and on F1.
const QKeySequence kAboutShortcut(Qt::Key_F1);

// Tells the window thread to run the session's queued sink calls.
const QEvent::Type kWakeUpEvent = static_cast<QEvent::Type>(QEvent::registerEventType());

QString ToQString(std::wstring_view text) {
  return QString::fromWCharArray(text.data(), static_cast<qsizetype>(text.size()));
}

}  // namespace

QtMainWindow::QtMainWindow(SettingsFile settings, QWidget* parent) : QDialog(parent), settings_(settings) {
  setObjectName(QString::number(kMainDialogId));
  // An application window with a title, a system menu and a close button;
  // fixed size, no minimise or maximise box.
  setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                 Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint);
  setWindowIcon(ApplicationIcon());

  TemplateWidgets widgets = BuildFromTemplate(*this, MainDialogTemplate());
  NameControls(widgets, kMainWindowAccessibleTexts);
  surface_ = std::make_unique<WidgetSurface>(MainDialogTemplate(), widgets.by_id);
  surface_->NameByText(id::kStatusLine, StatusLineName);
  file_dialog_ = std::make_unique<QtFileDialog>(this);
  about_box_ = std::make_unique<QtAboutBoxOpener>(this);
  WindowToolkit& toolkit = *this;
  session_ = std::make_unique<WindowSession>(toolkit, *surface_, *file_dialog_, *about_box_, std::move(settings));
  // Before a production upgrade starts: from its first byte on, the
  // session's end stops it as "Yes" to closing would.
  session_end_ = std::make_unique<SessionEnd>();
  connect(session_end_.get(), &SessionEnd::EndRequested, this, [this] {
    session_->EndBySession();
    CloseWindow();
  });
  // The platform's default focus: the first tab stop, the Acquire button. Set
  // before a production upgrade starts, which may disable it.
  surface_->Focus(id::kAcquire);
  session_->OnInitDialog();

  CRazazeDeviziDlg& dialog = session_->Dialog();
  if (auto* acquire = qobject_cast<QPushButton*>(widgets.by_id[id::kAcquire])) {
    connect(acquire, &QPushButton::clicked, this, [&dialog] { dialog.OnAcquire(); });
  }
  if (auto* browse = qobject_cast<QPushButton*>(widgets.by_id[id::kBrowse])) {
    connect(browse, &QPushButton::clicked, this, [&dialog] { dialog.OnBrowse(); });
  }
  if (auto* products = qobject_cast<DropDownCombo*>(widgets.by_id[id::kProductList])) {
    connect(products, &DropDownCombo::rowChosen, this, [&dialog] { dialog.OnProductSelectionChange(); });
  }

  // A traced line's records state, looked at now and then; a window without
  // RecordsDb= has no timer at all.
  if (session_->ForwardsRecords()) {
    auto* records = new QTimer(this);
    connect(records, &QTimer::timeout, this, [this] { session_->ShowRecordsState(); });
    records->start(kRecordsLookInterval);
  }

  auto* about = new QShortcut(kAboutShortcut, this);
  connect(about, &QShortcut::activated, this, [this] { OpenAboutBox(); });
}

QtMainWindow::~QtMainWindow() { session_->Finish(); }

// The wake-up carries nothing, so one that is never delivered loses nothing;
// the session stops posting before this window goes.
bool QtMainWindow::PostWakeUp() {
  QCoreApplication::postEvent(this, new QEvent(kWakeUpEvent));
  return true;
}

// The wake-ups are the only events of a registered type this window gets.
// The event is not read here: the worker made it, and Qt's hand-over of it
// synchronises in ways that race checkers cannot see.
void QtMainWindow::customEvent(QEvent*) { session_->RunQueuedCalls(); }

// A box or a menu open over the window runs its own loop, which must end
// before the window's can.
void QtMainWindow::CloseWindow() {
  for (int guard = 0; guard < 16; ++guard) {
    if (QWidget* popup = QApplication::activePopupWidget()) {
      popup->close();
      continue;
    }
    QWidget* modal = QApplication::activeModalWidget();
    if (modal == nullptr || modal == this) break;
    if (auto* dialog = qobject_cast<QDialog*>(modal)) {
      dialog->reject();
    } else {
      modal->close();
    }
  }
  done(QDialog::Accepted);
}

void QtMainWindow::OpenAboutBox() { session_->Dialog().OnSysCommand(kAboutCommand); }

void QtMainWindow::contextMenuEvent(QContextMenuEvent* event) {
  QMenu menu(this);
  QAction* about = menu.addAction(ToQString(kAboutMenuText));
  about->setShortcut(kAboutShortcut);
  QAction* station = menu.addAction(QStringLiteral("Station..."));
  // One port, one upgrade: not while this window's own runs.
  station->setEnabled(!session_->UpgradeInProgress());
  QAction* chosen = menu.exec(event->globalPos());
  if (chosen == about) OpenAboutBox();
  if (chosen == station) OpenStation();
}

void QtMainWindow::OpenStation() {
  QInputDialog ask(this);
  ask.setObjectName(QStringLiteral("station ports"));
  ask.setWindowTitle(QStringLiteral("Station"));
  ask.setLabelText(QStringLiteral("Ports (COM numbers or device paths, separated by commas):"));
  ask.setTextValue(QString::fromStdWString(surface_->Text(id::kComPort)));
  ask.setAccessibleName(QStringLiteral("Station ports"));
  ask.setAccessibleDescription(QStringLiteral("The ports whose slots the station view upgrades"));
  if (ask.exec() != QDialog::Accepted) return;

  std::string problem = "the firmware file's name cannot be opened exactly";
  std::optional<station::StationSettings> settings;
  if (const auto firmware = FirmwareName::FromText(surface_->Text(id::kFileName))) {
    const std::string ports = ask.textValue().toStdString();
    const std::string type = ToUtf8(surface_->Text(id::kType)).value_or(std::string());
    settings = StationFromWindow(settings_, ports, type, firmware->Bytes(), &problem);
  }
  if (!settings) {
    QMessageBox::warning(this, QStringLiteral("Station"), QString::fromStdString(problem));
    return;
  }
  // The board this window just upgraded is still on its port: it must leave
  // before that slot takes a unit, or it would be flashed again at once.
  if (const auto port = session_->LastUpgradePort()) settings->leaving_ports.push_back(*port);
  QtStationWindow view(std::move(*settings), this);
  view.exec();
  view.Finish();
}

// The platform's dialog ends on Enter unless a push button has the focus (a
// focused button takes Enter as its click, and Qt's buttons do so before the
// key gets here), and on Esc. While the focus is kept for the disabled
// Acquire button, Enter presses nothing.
void QtMainWindow::keyPressEvent(QKeyEvent* event) {
  const bool enter = event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter;
  const auto modifiers = event->modifiers() & ~Qt::KeypadModifier;
  if (enter && modifiers == Qt::NoModifier) {
    if (!surface_->KeepsFocusForDisabledControl()) accept();
    return;
  }
  QDialog::keyPressEvent(event);
}

}  // namespace zevuvuri::ui::qt
