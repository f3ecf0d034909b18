#include "ui/qt/main_window.h"

#include <QApplication>
#include <QContextMenuEvent>
#include <QKeyEvent>
#include <QMenu>
#include <QPushButton>
#include <QShortcut>

#include "ui/qt/app_icon_qt.h"
#include "ui/qt/drop_down_combo.h"
#include "ui/qt/template_dialog.h"

namespace zevuvuri::ui::qt {
namespace {

// Qt cannot add to the title bar's system menu on every platform, so the About
// command lives in the window's context menu and on F1.
const QKeySequence kAboutShortcut(Qt::Key_F1);

QString ToQString(std::wstring_view text) {
  return QString::fromWCharArray(text.data(), static_cast<qsizetype>(text.size()));
}

}  // namespace

QtMainWindow::QtMainWindow(SettingsFile settings, QWidget* parent) : QDialog(parent) {
  setObjectName(QString::number(kMainDialogId));
  // An application window with a title, a system menu and a close button;
  // fixed size, no minimise or maximise box.
  setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                 Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint);
  setWindowIcon(ApplicationIcon());

  TemplateWidgets widgets = BuildFromTemplate(*this, MainDialogTemplate());
  surface_ = std::make_unique<WidgetSurface>(MainDialogTemplate(), widgets.by_id);
  file_dialog_ = std::make_unique<QtFileDialog>(this);
  about_box_ = std::make_unique<QtAboutBoxOpener>(this);
  sinks_ = std::make_unique<WindowThreadSinks>();
  upgrade_ = std::make_unique<UpgradeController>(*sinks_);
  acquire_target_ = std::make_unique<ControllerAcquireTarget>(*upgrade_);
  behaviour_ = std::make_unique<CRazazeDeviziDlg>(*surface_, *file_dialog_, *about_box_, *acquire_target_,
                                                  std::move(settings), [this] { EndProcess(); });
  sinks_->SetTarget(behaviour_.get());

  if (auto* acquire = qobject_cast<QPushButton*>(widgets.by_id[id::kAcquire])) {
    connect(acquire, &QPushButton::clicked, this, [this] { behaviour_->OnAcquire(); });
  }
  if (auto* browse = qobject_cast<QPushButton*>(widgets.by_id[id::kBrowse])) {
    connect(browse, &QPushButton::clicked, this, [this] { behaviour_->OnBrowse(); });
  }
  if (auto* products = qobject_cast<DropDownCombo*>(widgets.by_id[id::kProductList])) {
    connect(products, &DropDownCombo::rowChosen, this, [this] { behaviour_->OnProductSelectionChange(); });
  }

  auto* about = new QShortcut(kAboutShortcut, this);
  connect(about, &QShortcut::activated, this, [this] { OpenAboutBox(); });

  behaviour_->OnInitDialog();
  if (QWidget* acquire = widgets.by_id[id::kAcquire]) acquire->setFocus();
}

QtMainWindow::~QtMainWindow() { ShutDownUpgrade(); }

void QtMainWindow::ShutDownUpgrade() {
  // In this order: a worker waiting on the window thread is let go first, so
  // that joining it cannot wait forever.
  sinks_->StopForwarding();
  upgrade_->Shutdown();
}

int QtMainWindow::ExitStatus() const {
  if (ended_by_upgrade_) return 0;
  return behaviour_->ProductionMode() ? 1 : 0;
}

void QtMainWindow::OpenAboutBox() { behaviour_->OnSysCommand(kAboutCommand); }

void QtMainWindow::contextMenuEvent(QContextMenuEvent* event) {
  QMenu menu(this);
  QAction* about = menu.addAction(ToQString(kAboutMenuText));
  about->setShortcut(kAboutShortcut);
  if (menu.exec(event->globalPos()) == about) OpenAboutBox();
}

// The platform's dialog ends on Enter unless a push button has the focus (a
// focused button takes Enter as its click, and Qt's buttons do so before the
// key gets here), and on Esc.
void QtMainWindow::keyPressEvent(QKeyEvent* event) {
  const bool enter = event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter;
  const auto modifiers = event->modifiers() & ~Qt::KeypadModifier;
  if (enter && modifiers == Qt::NoModifier) {
    accept();
    return;
  }
  QDialog::keyPressEvent(event);
}

// A successful upgrade in production mode ends the process with status 0,
// while the window is still on screen. A modal box open over the window runs
// its own loop, which must end before the window's can.
void QtMainWindow::EndProcess() {
  ended_by_upgrade_ = true;
  for (int guard = 0; guard < 16; ++guard) {
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

}  // namespace zevuvuri::ui::qt
