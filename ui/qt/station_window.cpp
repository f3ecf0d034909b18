#include "ui/qt/station_window.h"

#include <QApplication>
#include <QEvent>
#include <QGridLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QShowEvent>
#include <QVBoxLayout>
#include <algorithm>

#include "ui/qt/app_icon_qt.h"
#include "ui/qt/fitting_label.h"
#include "ui/qt/session_end.h"

namespace zevuvuri::ui::qt {
namespace {

// Tells the window thread that a unit ended or changed: time for a pass.
const QEvent::Type kWakeUpEvent = static_cast<QEvent::Type>(QEvent::registerEventType());

QString ToQString(std::wstring_view text) {
  return QString::fromWCharArray(text.data(), static_cast<qsizetype>(text.size()));
}

// The result field: dark green and dark red under white text, light grey
// under black, each well over the contrast a reader at a distance needs.
struct FieldColours {
  QColor background;
  QColor text;
};
// A dimmed result (its unit has left) keeps its hue on a pale field, with
// dark text of the same hue that still reads well on it.
FieldColours ColoursOf(RowResult result, bool dimmed) {
  switch (result) {
    case RowResult::Ok:
      if (dimmed) return {QColor(0xc4, 0xe0, 0xc8), QColor(0x0f, 0x4a, 0x18)};
      return {QColor(0x1b, 0x7f, 0x2a), Qt::white};
    case RowResult::Failed:
      if (dimmed) return {QColor(0xf2, 0xc8, 0xc8), QColor(0x7a, 0x10, 0x10)};
      return {QColor(0xb7, 0x1c, 0x1c), Qt::white};
    case RowResult::Waiting:
    case RowResult::Running:
      break;
  }
  return {QColor(0xc8, 0xc8, 0xc8), Qt::black};
}

// Sets the text and, when it changed, the accessible name that carries it, so
// a screen reader is told (Qt raises a name-change event), and the tooltip,
// which shows it whole where the label has had to cut it.
void SetLiveText(QLabel* label, const QString& what, const QString& text) {
  if (label->text() == text) return;
  label->setText(text);
  label->setAccessibleName(text.isEmpty() ? what : what + QStringLiteral(": ") + text);
  label->setToolTip(text);
}

// A label that wraps its text over `lines` and elides the rest, never
// widening the window.
FittingLabel* NewFittingLabel(QWidget* parent, int lines, int min_chars, const QString& name, const QString& description) {
  auto* label = new FittingLabel(parent, lines, min_chars);
  label->setAccessibleName(name);
  label->setAccessibleDescription(description);
  return label;
}

// The fonts' sizes over the dialog's own, at full scale; FitToScreen scales
// them down (never below the dialog's font) until the slots fit.
constexpr double kTextGrowth = 1.4;
constexpr double kResultGrowth = 2.6;
constexpr int kSmallestTenths = 3;  // of the full scale

QFont Grown(const QFont& base, double growth, double scale, bool bold) {
  QFont font = base;
  font.setPointSizeF(base.pointSizeF() * std::max(1.0, growth * scale));
  font.setBold(bold);
  return font;
}

QLabel* NewLabel(QWidget* parent, const QString& name, const QString& description) {
  auto* label = new QLabel(parent);
  label->setTextFormat(Qt::PlainText);
  label->setAccessibleName(name);
  label->setAccessibleDescription(description);
  return label;
}

}  // namespace

QtStationWindow::QtStationWindow(const SettingsFile& file, QWidget* parent)
    : QtStationWindow(parent, [&file](StationToolkit& toolkit) {
        return std::make_unique<StationSession>(toolkit, file);
      }) {}

QtStationWindow::QtStationWindow(station::StationSettings settings, QWidget* parent)
    : QtStationWindow(parent, [&settings](StationToolkit& toolkit) {
        return std::make_unique<StationSession>(toolkit, std::move(settings));
      }) {}

QtStationWindow::QtStationWindow(QWidget* parent, const MakeSession& make) : QDialog(parent) {
  setObjectName(QStringLiteral("station"));
  setWindowTitle(QStringLiteral("ZE Vuvuri station"));
  setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowMinMaxButtonsHint |
                 Qt::WindowCloseButtonHint);
  setWindowIcon(ApplicationIcon());
  setAccessibleName(QStringLiteral("Station"));
  setAccessibleDescription(QStringLiteral("Upgrades unit after unit on every port of the station"));
  StationToolkit& toolkit = *this;
  session_ = make(toolkit);
  Build();
  RowsChanged();
  timer_.setSingleShot(true);
  connect(&timer_, &QTimer::timeout, this, [this] { Tick(); });
  timer_.start(0);
  QCoreApplication::instance()->installEventFilter(this);
  auto* end = new SessionEnd(this);
  connect(end, &SessionEnd::EndRequested, this, [this] { EndSession(); });
}

QtStationWindow::~QtStationWindow() {
  QCoreApplication::instance()->removeEventFilter(this);
  session_->Finish();
}

void QtStationWindow::Build() {
  auto* layout = new QVBoxLayout(this);
  // The window never grows with its texts: long ones wrap and elide within
  // their labels, whole in their tooltips, so the window fits the screen.
  header_ = NewFittingLabel(this, 2, 20, QStringLiteral("Header"),
                            QStringLiteral("What every slot flashes: firmware, size, SHA-256, type, station, pacing"));
  header_->setObjectName(QStringLiteral("header"));
  layout->addWidget(header_);
  auto* grid = new QGridLayout;
  grid->setHorizontalSpacing(12);
  grid->setVerticalSpacing(4);
  // The state and the result share what the screen leaves; the result,
  // the one thing the operator must see, has the larger share.
  grid->setColumnStretch(2, 2);
  grid->setColumnStretch(4, 3);
  layout->addLayout(grid);

  int column = 0;
  for (const char* heading : {"Port", "Unit", "State", "Progress", "Result"}) {
    auto* label = NewLabel(this, QString::fromLatin1(heading), QStringLiteral("Column heading"));
    label->setText(QString::fromLatin1(heading));
    grid->addWidget(label, 0, column++);
  }
  const auto& rows = session_->Rows();
  for (std::size_t i = 0; i < rows.size(); ++i) {
    const QString port = ToQString(rows[i].port);
    const QString slot = QStringLiteral("Port ") + port;
    const int line = static_cast<int>(i) + 1;
    RowWidgets row;
    row.port = NewFittingLabel(this, 1, 5, slot, QStringLiteral("The slot's port"));
    row.port->setText(port);
    row.port->setToolTip(port);
    row.counts = NewFittingLabel(this, 1, 5, slot + QStringLiteral(" counts"),
                                 QStringLiteral("Units of the slot this shift: OK and failed"));
    row.unit = NewFittingLabel(this, 2, 4, slot + QStringLiteral(" unit"),
                               QStringLiteral("Number of the unit on the slot"));
    row.state = NewFittingLabel(this, 2, 10, slot + QStringLiteral(" state"),
                                QStringLiteral("What the slot's unit is doing"));
    row.progress = new QProgressBar(this);
    row.progress->setRange(0, 100);
    row.progress->setMinimumWidth(48);
    row.progress->setMaximumWidth(120);
    row.progress->setAccessibleName(slot + QStringLiteral(" progress"));
    row.progress->setAccessibleDescription(QStringLiteral("Share of the firmware sent to the slot's unit"));
    // Two lines of its large font: a long failure wraps, never widens the window.
    row.result = NewFittingLabel(this, 2, 8, slot + QStringLiteral(" result"),
                                 QStringLiteral("Result of the slot's unit: OK, the failure, upgrading or waiting"));
    row.result->setAlignment(Qt::AlignCenter);
    row.result->setAutoFillBackground(true);
    row.result->setMargin(2);
    // Tab walks the results too, so a screen reader reads every slot.
    row.result->setFocusPolicy(Qt::TabFocus);
    row.port->setObjectName(QStringLiteral("port%1").arg(i));
    row.counts->setObjectName(QStringLiteral("counts%1").arg(i));
    row.unit->setObjectName(QStringLiteral("unit%1").arg(i));
    row.state->setObjectName(QStringLiteral("state%1").arg(i));
    row.progress->setObjectName(QStringLiteral("progress%1").arg(i));
    row.result->setObjectName(QStringLiteral("result%1").arg(i));
    auto* port_cell = new QVBoxLayout;
    port_cell->setSpacing(0);
    port_cell->addWidget(row.port);
    port_cell->addWidget(row.counts);
    grid->addLayout(port_cell, line, 0);
    grid->addWidget(row.unit, line, 1);
    grid->addWidget(row.state, line, 2);
    grid->addWidget(row.progress, line, 3);
    grid->addWidget(row.result, line, 4);
    rows_.push_back(row);
  }

  totals_ = NewFittingLabel(this, 2, 20, QStringLiteral("Totals"),
                            QStringLiteral("The shift's units, results, yield and times"));
  totals_->setObjectName(QStringLiteral("totals"));
  records_ = NewFittingLabel(this, 1, 20, QStringLiteral("Records"),
                             QStringLiteral("Whether the records reach the database"));
  records_->setObjectName(QStringLiteral("records"));
  status_ = NewFittingLabel(this, 2, 20, QStringLiteral("Status"),
                            QStringLiteral("The station's last note, or why it cannot run"));
  status_->setObjectName(QStringLiteral("status"));
  layout->addWidget(totals_);
  layout->addWidget(records_);
  layout->addWidget(status_);

  QWidget* first = nullptr;
  if (session_->StartButtonUsed()) {
    start_ = new QPushButton(QStringLiteral("Start waiting slots"), this);
    start_->setObjectName(QStringLiteral("start"));
    start_->setAccessibleName(QStringLiteral("Start waiting slots"));
    start_->setAccessibleDescription(
        QStringLiteral("Starts every slot waiting for its unit and confirms every unit waiting over the air; "
                       "also Space or Enter"));
    start_->setAutoDefault(false);  // Enter is the window's, which presses it once
    start_->setMinimumHeight(32);
    connect(start_, &QPushButton::clicked, this, [this] { session_->PressStart(); });
    layout->addWidget(start_);
    first = start_;
  }
  if (session_->ScanFieldUsed()) {
    auto* caption = NewLabel(this, QStringLiteral("Scan:"), QStringLiteral("Caption of the scan field"));
    caption->setText(QStringLiteral("Scan the unit's label:"));
    scan_ = new QLineEdit(this);
    scan_->setObjectName(QStringLiteral("scan"));
    scan_->setAccessibleName(QStringLiteral("Scan"));
    scan_->setAccessibleDescription(
        QStringLiteral("The scanned serial number; the slot that has waited longest takes it"));
    caption->setBuddy(scan_);
    layout->addWidget(caption);
    layout->addWidget(scan_);
    first = scan_;
  }
  // Tab order: the start button or the scan field, then each slot's result.
  QWidget* previous = first;
  for (const RowWidgets& row : rows_) {
    if (previous != nullptr) setTabOrder(previous, row.result);
    previous = row.result;
  }
  if (first != nullptr) first->setFocus(Qt::OtherFocusReason);
  SetLiveText(header_, QStringLiteral("Header"), ToQString(session_->Header()));
  FitToScreen();
}

void QtStationWindow::ApplyFonts(double scale) {
  const QFont base = font();
  const QFont text_font = Grown(base, kTextGrowth, scale, false);
  const QFont result_font = Grown(base, kResultGrowth, scale, true);
  for (const RowWidgets& row : rows_) {
    for (QLabel* label : {row.port, row.unit, static_cast<QLabel*>(row.state)}) label->setFont(text_font);
    row.result->setFont(result_font);
    // A long failure is read whole in a smaller font rather than cut.
    row.result->ShrinkDownTo(base.pointSizeF());
    row.state->ShrinkDownTo(base.pointSizeF());
  }
  for (QWidget* widget : {static_cast<QWidget*>(totals_), static_cast<QWidget*>(start_), static_cast<QWidget*>(scan_)}) {
    if (widget != nullptr) widget->setFont(text_font);
  }
}

// Tries the fonts from full size down until the window's least height fits
// the screen's free area (the window manager's frame allowed for), then
// takes the size the texts ask for within that area.
void QtStationWindow::FitToScreen() {
  const QScreen* shown_on = screen();
  if (shown_on == nullptr) return;
  const QRect free = shown_on->availableGeometry();
  // The title bar and borders, before the window manager has said.
  const QSize frame(16, 40);
  for (int tenths = 10; tenths >= kSmallestTenths; --tenths) {
    ApplyFonts(tenths / 10.0);
    layout()->activate();
    if (minimumSizeHint().height() + frame.height() <= free.height() &&
        minimumSizeHint().width() + frame.width() <= free.width()) {
      break;
    }
  }
  // Wide enough for the results to be read from a distance, if the screen
  // has room; never wider or taller than it.
  QSize wanted = sizeHint();
  wanted.setWidth(std::max(wanted.width(), free.width() * 3 / 4));
  resize(wanted.boundedTo(free.size() - frame).expandedTo(minimumSizeHint()));
}

// A window manager places a new window where it likes; the view moves back
// inside the screen's free area, frame included, if it was put across an edge.
void QtStationWindow::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  const QScreen* shown_on = screen();
  if (shown_on == nullptr || event->spontaneous()) return;
  const QRect free = shown_on->availableGeometry();
  QRect outer = frameGeometry();
  if (outer.width() <= width()) outer.adjust(-8, -32, 8, 8);  // not framed yet: a usual frame
  QPoint shift;
  if (outer.right() > free.right()) shift.rx() = free.right() - outer.right();
  if (outer.bottom() > free.bottom()) shift.ry() = free.bottom() - outer.bottom();
  if (outer.left() + shift.x() < free.left()) shift.rx() = free.left() - outer.left();
  if (outer.top() + shift.y() < free.top()) shift.ry() = free.top() - outer.top();
  if (!shift.isNull()) move(pos() + shift);
}

void QtStationWindow::RowsChanged() {
  const auto& rows = session_->Rows();
  for (std::size_t i = 0; i < rows.size() && i < rows_.size(); ++i) {
    const StationRow& row = rows[i];
    RowWidgets& widgets = rows_[i];
    const QString slot = QStringLiteral("Port ") + widgets.port->text();
    const QString unit = ToQString(row.unit) + (row.serial.empty() ? QString() : QStringLiteral("  ") + ToQString(row.serial));
    SetLiveText(widgets.unit, slot + QStringLiteral(" unit"), unit);
    SetLiveText(widgets.state, slot + QStringLiteral(" state"), ToQString(row.state));
    const int percent = row.percent < 0 ? 0 : std::min(row.percent, 100);
    if (widgets.progress->value() != percent) widgets.progress->setValue(percent);
    SetLiveText(widgets.result, slot + QStringLiteral(" result"), ToQString(row.result_text));
    SetLiveText(widgets.counts, slot + QStringLiteral(" counts"),
                QStringLiteral("%1 OK, %2 failed").arg(row.units_ok).arg(row.units_failed));
    const FieldColours colours = ColoursOf(row.result, row.dimmed);
    QPalette palette = widgets.result->palette();
    palette.setColor(QPalette::Window, colours.background);
    palette.setColor(QPalette::WindowText, colours.text);
    widgets.result->setPalette(palette);
    widgets.result->setProperty("result", static_cast<int>(row.result));
    widgets.result->setProperty("dimmed", row.dimmed);
  }
  SetLiveText(totals_, QStringLiteral("Totals"), ToQString(session_->TotalsLine()));
  SetLiveText(records_, QStringLiteral("Records"), ToQString(session_->RecordsLine()));
  SetLiveText(status_, QStringLiteral("Status"), ToQString(session_->Status()));
  if (start_ != nullptr) start_->setEnabled(session_->StartEnabled());
  if (scan_ != nullptr) scan_->setEnabled(!session_->Stopped() && session_->Problem().empty());
}

void QtStationWindow::Tick() {
  session_->Tick();
  if (!session_->Stopped()) timer_.start(static_cast<int>(session_->NextTickIn().count()));
}

// The wake-up carries nothing, so one that is never delivered loses nothing;
// the session stops calling it before this window goes.
void QtStationWindow::WakeUp() { QCoreApplication::postEvent(this, new QEvent(kWakeUpEvent)); }

void QtStationWindow::customEvent(QEvent* event) {
  if (event->type() == kWakeUpEvent) Tick();
}

void QtStationWindow::CloseWindow() { done(QDialog::Accepted); }

// Asked once per close: "No" keeps every unit running and the window open.
// "No" is the default, so an Enter from a foot switch stops nothing.
bool QtStationWindow::MayClose() {
  if (stop_approved_) return true;
  const std::wstring question = session_->CloseQuestion();
  if (!question.empty()) {
    QMessageBox box(QMessageBox::Question, windowTitle(), ToQString(question), QMessageBox::Yes | QMessageBox::No,
                    this);
    box.setObjectName(QStringLiteral("stop question"));
    box.setDefaultButton(QMessageBox::No);
    box.setAccessibleName(QStringLiteral("Stop the units?"));
    box.setAccessibleDescription(ToQString(question));
    // The question counted the units it asks about: until it is answered,
    // nothing else starts, so that "Yes" stops only those.
    question_ = &box;
    session_->Hold(true);
    const int answer = box.exec();
    question_ = nullptr;
    if (stop_approved_) return true;  // the session ended meanwhile
    if (answer != QMessageBox::Yes) {
      session_->Hold(false);
      return false;
    }
  }
  stop_approved_ = true;
  timer_.stop();
  session_->Stop();
  return true;
}

void QtStationWindow::reject() {
  if (MayClose()) QDialog::reject();
}

// The desktop ends the program: every unit stopped and recorded as after
// "Yes", the question (if open) answered for the operator, the view closed.
void QtStationWindow::EndSession() {
  timer_.stop();
  stop_approved_ = true;
  session_->Interrupt();
  if (question_) question_->done(QMessageBox::No);
  done(QDialog::Rejected);
}

bool QtStationWindow::eventFilter(QObject* watched, QEvent* event) {
  const QEvent::Type type = event->type();
  if (type == QEvent::WindowDeactivate && watched == this) presses_.Forget();  // a release may go elsewhere
  if (type != QEvent::KeyPress && type != QEvent::KeyRelease) return false;
  auto* widget = qobject_cast<QWidget*>(watched);
  // The keys of another window (the stop question) are its own.
  if (widget == nullptr || widget->window() != this) return false;
  auto* key = static_cast<QKeyEvent*>(event);
  return scan_ != nullptr ? ScanKey(widget, key) : StartKey(key);
}

// Space and Enter press the start button wherever the focus is (a foot switch
// types Enter), before a focused button takes Space as its own click.
bool QtStationWindow::StartKey(QKeyEvent* event) {
  const int key = event->key();
  if (key != Qt::Key_Return && key != Qt::Key_Enter && key != Qt::Key_Space) return false;
  if (event->type() == QEvent::KeyRelease) {
    presses_.Released(key, event->timestamp());
    return true;
  }
  const bool pressed = presses_.Pressed(key, event->timestamp(), event->isAutoRepeat());
  if ((event->modifiers() & ~Qt::KeypadModifier) != Qt::NoModifier) return false;
  if (pressed && start_ != nullptr && start_->isEnabled()) start_->click();
  return true;
}

// A scanner types its label and ends it with Enter or Tab. Both end the label
// in the scan field, wherever the focus was, and Tab never moves the focus:
// the field is emptied at each end, so two labels never run together.
bool QtStationWindow::ScanKey(QWidget* receiver, QKeyEvent* event) {
  const int key = event->key();
  const bool enter = key == Qt::Key_Return || key == Qt::Key_Enter;
  if (enter || key == Qt::Key_Tab || key == Qt::Key_Backtab) {
    if (event->type() == QEvent::KeyRelease) {
      presses_.Released(key, event->timestamp());
    } else if (presses_.Pressed(key, event->timestamp(), event->isAutoRepeat()) && scan_->isEnabled()) {
      EndLabel(enter);
    }
    return true;
  }
  // Esc and the shortcuts (Alt+F4) stay the window's.
  if (key == Qt::Key_Escape || (event->modifiers() & (Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier))) {
    return false;
  }
  // Only what types text moves: Shift and the other keys without text stay
  // where they are. A key the field leaves unaccepted comes back up through
  // its parents, and is not sent to it again.
  if (receiver == scan_ || forwarding_ || !scan_->isEnabled() || event->type() != QEvent::KeyPress ||
      event->text().isEmpty()) {
    return false;
  }
  scan_->setFocus(Qt::OtherFocusReason);
  forwarding_ = true;
  QCoreApplication::sendEvent(scan_, event);
  forwarding_ = false;
  return true;
}

// An Enter on an empty field is still passed on: it confirms a unit waiting
// over the air, or is refused as an empty scan. A Tab there ends nothing.
void QtStationWindow::EndLabel(bool enter) {
  const std::wstring label = scan_->text().toStdWString();
  scan_->clear();
  if (label.empty() && !enter) return;
  session_->Scan(label);
}

}  // namespace zevuvuri::ui::qt
