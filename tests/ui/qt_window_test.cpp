// The Qt window built from the templates and driven through its widgets,
// found by control id, on Qt's offscreen platform.
#include <gtest/gtest.h>

#include <QAccessible>
#include <QCheckBox>
#include <QComboBox>
#include <QFileDialog>
#include <QFileSystemModel>
#include <QInputDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <fstream>
#include <set>

#include "engine/status_texts.h"
#include "tests/support/pseudo_terminal.h"
#include "tests/ui/qt_test_support.h"
#include "ui/qt/about_box.h"
#include "ui/qt/file_dialog.h"
#include "ui/qt/main_window.h"
#include "ui/qt/station_window.h"
#include "ui/qt/template_dialog.h"
#include "ui/qt/widget_surface.h"

namespace zevuvuri::ui::qt {
namespace {

using ui::testing::Control;
using ui::testing::ShowActive;
using ui::testing::WaitFor;
using ui::testing::WhenModal;
using ui::testing::WhenPopup;
using zevuvuri::testing::TempDir;
using namespace std::chrono_literals;

QString Q(std::string_view text) { return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())); }

// Where the template puts a control, in this font's pixels.
QRect Expected(const ControlTemplate& control, BaseUnits units) {
  const PixelRect r = DluToPixels(control.rect, units);
  return QRect(r.x, r.y, r.width, r.height);
}

// A caption is clipped when the widget asks for more room than the template gives.
int RoomNeeded(QWidget* widget) {
  const QFontMetrics metrics(widget->font());
  if (auto* button = qobject_cast<QPushButton*>(widget)) {
    const int margin = button->style()->pixelMetric(QStyle::PM_ButtonMargin, nullptr, button);
    return metrics.horizontalAdvance(button->text()) + margin + 2;
  }
  return widget->sizeHint().width();
}

void CheckBuiltFromTemplate(QDialog& dialog, const DialogTemplate& dialog_template) {
  SCOPED_TRACE(dialog_template.resource_id);
  EXPECT_EQ(dialog.windowTitle(), Q(dialog_template.title));
  const BaseUnits units = BaseUnitsOf(dialog.font());
  EXPECT_GT(units.cx, 0);
  EXPECT_EQ(dialog.size(), QSize(DluToPixelsX(dialog_template.width, units), DluToPixelsY(dialog_template.height, units)));
  EXPECT_EQ(dialog.minimumSize(), dialog.maximumSize());  // fixed size

  std::vector<QWidget*> tab_stops;
  for (const auto& control : dialog_template.controls) {
    if (control.id == id::kNone) continue;
    SCOPED_TRACE(control.id);
    QWidget* widget = Control<QWidget>(dialog, control.id);
    ASSERT_NE(widget, nullptr);
    QRect expected = Expected(control, units);
    if (control.kind == ControlKind::DropDownCombo) {
      EXPECT_LE(widget->height(), expected.height());  // closed, the list not dropped
      expected.setHeight(widget->height());
    }
    EXPECT_EQ(widget->geometry(), expected);
    const bool has_caption = !control.caption.empty();
    if (auto* button = qobject_cast<QAbstractButton*>(widget)) {
      EXPECT_EQ(button->text(), Q(control.caption));
    } else if (auto* label = qobject_cast<QLabel*>(widget)) {
      EXPECT_EQ(label->text(), Q(control.caption));
      EXPECT_EQ(label->textFormat(), Qt::PlainText);
    }
    if (has_caption) {
      EXPECT_LE(RoomNeeded(widget), widget->width()) << "caption clipped";
    }
    if ((control.styles & style::kTabStop) != 0) tab_stops.push_back(widget);
  }
  // Tab visits the tab stops in template order.
  std::vector<QWidget*> visited;
  for (QWidget* w = dialog.nextInFocusChain(); w != &dialog; w = w->nextInFocusChain()) {
    const bool tab_stop = std::find(tab_stops.begin(), tab_stops.end(), w) != tab_stops.end();
    if (tab_stop && std::find(visited.begin(), visited.end(), w) == visited.end()) visited.push_back(w);
  }
  EXPECT_EQ(visited, tab_stops);
}

TEST(QtWindow, MainWindowIsBuiltFromItsTemplate) {
  QtMainWindow window(SettingsFile{});
  CheckBuiltFromTemplate(window, MainDialogTemplate());
  EXPECT_EQ(window.windowTitle(), QStringLiteral("ZE Vuvuri V1.06"));
  EXPECT_FALSE(window.windowFlags() & (Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint));
  EXPECT_FALSE(window.windowIcon().isNull());
  EXPECT_TRUE(Control<QLineEdit>(window, id::kComPort)->alignment() & Qt::AlignRight);
  EXPECT_TRUE(Control<QLineEdit>(window, id::kFileName)->alignment() & Qt::AlignLeft);
  EXPECT_EQ(Control<QLabel>(window, id::kStatusLine)->alignment(), Qt::AlignCenter);
  EXPECT_NE(Control<QProgressBar>(window, id::kProgress), nullptr);
  EXPECT_FALSE(Control<QComboBox>(window, id::kProductList)->isEditable());

  // Every status text fits the status line, and the longer caption the button.
  const auto* status = Control<QLabel>(window, id::kStatusLine);
  const QFontMetrics metrics(status->font());
  for (std::string_view text : {status::kPortFailure, status::kThreadFailure, status::kFileReadFailure,
                                status::kSyncTimeout, status::kRebootRefused, status::kUpgradingSerial}) {
    EXPECT_LE(metrics.horizontalAdvance(Q(text)), status->contentsRect().width()) << text;
  }
  auto* acquire = Control<QPushButton>(window, id::kAcquire);
  acquire->setText(Q(caption::kClickToStart));
  EXPECT_LE(RoomNeeded(acquire), acquire->width());
}

TEST(QtWindow, AboutBoxIsBuiltFromItsTemplate) {
  QtMainWindow window(SettingsFile{});
  QtAboutBox box(&window, *std::make_unique<WidgetSurface>(MainDialogTemplate(), std::map<int, QWidget*>{}));
  CheckBuiltFromTemplate(box, AboutDialogTemplate());
  EXPECT_EQ(box.windowTitle(), QStringLiteral("About ZE Vuvuri"));
  EXPECT_TRUE(Control<QPushButton>(box, id::kOk)->isDefault());
  EXPECT_FALSE(Control<QCheckBox>(box, id::kUnlock)->isChecked());
}

// A screen reader can tell every control of both windows apart, and reads
// each new status: the status line's name carries its text (Qt raises the
// name-change event, which only a running accessibility bridge receives).
TEST(QtWindow, EveryControlIsNamedAndTheStatusLineIsAnnounced) {
  QtMainWindow window(SettingsFile::Parse("[CONFIG]\nComport=none\n"));
  QtAboutBox box(&window, *std::make_unique<WidgetSurface>(MainDialogTemplate(), std::map<int, QWidget*>{}));
  std::set<QString> names;
  for (QDialog* dialog : std::initializer_list<QDialog*>{&window, &box}) {
    for (QWidget* widget : dialog->findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
      if (widget->isWindow()) continue;  // the About box, a window of its own
      SCOPED_TRACE(widget->objectName().toStdString());
      EXPECT_FALSE(widget->accessibleName().isEmpty());
      EXPECT_FALSE(widget->accessibleDescription().isEmpty());
      if (dialog == &window) {
        EXPECT_TRUE(names.insert(widget->accessibleName()).second) << "named twice";
      }
    }
  }
  EXPECT_EQ(Control<QWidget>(window, id::kComPort)->accessibleName(), QStringLiteral("COM port"));

  QWidget* status_line = Control<QWidget>(window, id::kStatusLine);
  EXPECT_EQ(status_line->accessibleName(), QStringLiteral("Status"));
  Control<QPushButton>(window, id::kAcquire)->click();  // the port names nothing: it fails at once
  QAccessibleInterface* reader = QAccessible::queryAccessibleInterface(status_line);
  ASSERT_NE(reader, nullptr);
  EXPECT_EQ(reader->text(QAccessible::Name), QStringLiteral("Status: ") + Q(status::kPortFailure));
  EXPECT_EQ(reader->text(QAccessible::Description), QStringLiteral("What the upgrade is doing, or how it ended"));
}

TEST(QtWindow, WidgetSurfaceKeepsTheListSortedAndTheBarFullPastItsEnd) {
  QDialog dialog;
  TemplateWidgets widgets = BuildFromTemplate(dialog, MainDialogTemplate());
  WidgetSurface surface(MainDialogTemplate(), widgets.by_id);
  auto* list = Control<QComboBox>(dialog, id::kProductList);
  EXPECT_EQ(surface.AddRow(id::kProductList, L"qm-c"), 0);
  EXPECT_EQ(surface.SelectedRow(id::kProductList), kNoRow);  // adding selects nothing
  EXPECT_EQ(surface.AddRow(id::kProductList, L"QM-A"), 0);
  EXPECT_EQ(surface.AddRow(id::kProductList, L"QM-B"), 1);
  EXPECT_EQ(surface.AddRow(id::kProductList, L"QM-D"), 3);
  EXPECT_EQ(surface.SelectRowByPrefix(id::kProductList, L"qm-b"), 1);
  EXPECT_EQ(list->currentText(), QStringLiteral("QM-B"));
  EXPECT_EQ(surface.SelectRowByPrefix(id::kProductList, L"QM-X"), kNoRow);
  EXPECT_EQ(surface.SelectedRow(id::kProductList), 1);

  auto* bar = Control<QProgressBar>(dialog, id::kProgress);
  surface.SetProgressRange(id::kProgress, 500);
  surface.SetProgressPosition(id::kProgress, 28);
  EXPECT_EQ(bar->value(), 28);
  surface.SetProgressPosition(id::kProgress, 528);  // the last frames pass the maximum
  EXPECT_EQ(bar->value(), 500);
  surface.SetProgressRange(id::kProgress, 0);  // an empty file: an empty bar, not a busy one
  surface.SetProgressPosition(id::kProgress, 28);
  EXPECT_NE(bar->maximum(), 0);
  EXPECT_EQ(bar->value(), 0);
}

// The list shows nothing but its rows, and the row shown is the one whose
// code the Type field holds: the arrow keys and typed text choose rows, text
// that starts no row changes nothing.
TEST(QtWindow, TheProductShownIsTheOneWhoseCodeTheTypeFieldHolds) {
  QtMainWindow window(SettingsFile{});
  ASSERT_TRUE(ShowActive(window));
  auto* list = Control<QComboBox>(window, id::kProductList);
  auto* type = Control<QLineEdit>(window, id::kType);
  list->setFocus();
  ASSERT_TRUE(WaitFor([&] { return list->hasFocus(); }, 5s));
  // The keys go where the platform sends them: to the focused widget.
  const auto expect_shown = [&](const char* row, const char* code) {
    EXPECT_EQ(list->currentText(), QString::fromLatin1(row));
    EXPECT_EQ(type->text(), QString::fromLatin1(code));
  };
  QTest::keyClick(QApplication::focusWidget(), Qt::Key_Down);
  expect_shown("QM-B EVB", "8");
  QTest::keyClicks(QApplication::focusWidget(), QStringLiteral("QM-D"));
  expect_shown("QM-D EVB", "24");
  QTest::keyClicks(QApplication::focusWidget(), QStringLiteral("xyz"));
  expect_shown("QM-D EVB", "24");

  list->setCurrentIndex(0);  // a selection by the program raises nothing
  EXPECT_EQ(type->text(), QStringLiteral("24"));
}

TEST(QtWindow, EnterOrEscInAFieldClosesTheWindowEnterOnTheButtonPressesIt) {
  struct Case {
    int focus;
    Qt::Key key;
    bool closes;
  };
  const Case cases[] = {
      {id::kComPort, Qt::Key_Return, true},
      {id::kFileName, Qt::Key_Enter, true},
      {id::kComPort, Qt::Key_Escape, true},
      {id::kAcquire, Qt::Key_Return, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.focus);
    QtMainWindow window(SettingsFile{});
    ASSERT_TRUE(ShowActive(window));
    auto* port = Control<QLineEdit>(window, id::kComPort);
    port->setText(QStringLiteral("names nothing"));  // a press of Acquire fails at once
    QWidget* focus = Control<QWidget>(window, c.focus);
    focus->setFocus();
    ASSERT_TRUE(WaitFor([&] { return focus->hasFocus(); }, 5s));
    QTest::keyClick(focus, c.key);
    EXPECT_EQ(window.isVisible(), !c.closes);
    EXPECT_EQ(window.ExitStatus(), 0);
    const auto* status = Control<QLabel>(window, id::kStatusLine);
    const bool pressed = status->text() == QStringLiteral("Failure : couldn't initialize COM port");
    EXPECT_EQ(pressed, !c.closes);
    // The reason is the status line's tooltip.
    EXPECT_EQ(status->toolTip().contains(QStringLiteral("'names nothing' names no serial port")), pressed);
  }
}

// Enter presses the focused button and closes the window from a field, so a
// button may look like the default only while it has the focus.
TEST(QtWindow, OnlyTheFocusedButtonLooksLikeTheDefault) {
  QtMainWindow window(SettingsFile{});
  ASSERT_TRUE(ShowActive(window));
  auto* acquire = Control<QPushButton>(window, id::kAcquire);
  auto* browse = Control<QPushButton>(window, id::kBrowse);
  struct Case {
    int focus;
    bool acquire_default, browse_default;
  };
  const Case cases[] = {
      {id::kAcquire, true, false}, {id::kComPort, false, false}, {id::kBrowse, false, true},
      {id::kFileName, false, false}, {id::kProductList, false, false}, {id::kAcquire, true, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.focus);
    QWidget* focus = Control<QWidget>(window, c.focus);
    focus->setFocus(Qt::TabFocusReason);
    ASSERT_TRUE(WaitFor([&] { return focus->hasFocus(); }, 5s));
    EXPECT_EQ(acquire->isDefault(), c.acquire_default);
    EXPECT_EQ(browse->isDefault(), c.browse_default);
  }
}

TEST(QtWindow, F1AndTheContextMenuOpenTheAboutBoxWhoseCheckBoxUnlocksTheType) {
  QtMainWindow window(SettingsFile{});
  ASSERT_TRUE(ShowActive(window));
  auto* type = Control<QLineEdit>(window, id::kType);
  auto* list = Control<QComboBox>(window, id::kProductList);
  ASSERT_TRUE(list->isVisibleTo(&window));
  ASSERT_FALSE(type->isVisibleTo(&window));

  bool first_opening = false;
  WhenModal<QtAboutBox>([&](QtAboutBox* box) {
    auto* unlock = Control<QCheckBox>(*box, id::kUnlock);
    QTest::mouseClick(unlock, Qt::LeftButton);
    first_opening = unlock->isChecked() && type->isVisibleTo(&window) && !list->isVisibleTo(&window);
    box->accept();
  });
  QTest::keyClick(&window, Qt::Key_F1);
  EXPECT_TRUE(WaitFor([&] { return first_opening; }, 10s));
  EXPECT_TRUE(type->isVisibleTo(&window));  // the layout stays after the box closes

  // The context menu carries the same command; the box opens unchecked again.
  bool second_opening = false;
  WhenPopup<QMenu>([&](QMenu* menu) {
    ASSERT_EQ(menu->actions().size(), 2);
    EXPECT_EQ(menu->actions().front()->text(), QStringLiteral("&About RazazeDevizi..."));
    EXPECT_EQ(menu->actions().back()->text(), QStringLiteral("Station..."));
    menu->setActiveAction(menu->actions().front());
    QTest::keyClick(menu, Qt::Key_Return);
  });
  WhenModal<QtAboutBox>([&](QtAboutBox* box) {
    auto* unlock = Control<QCheckBox>(*box, id::kUnlock);
    const bool opened_unchecked = !unlock->isChecked();
    QTest::mouseClick(unlock, Qt::LeftButton);  // changes nothing visible
    const bool still_unlocked = type->isVisibleTo(&window);
    QTest::mouseClick(unlock, Qt::LeftButton);
    second_opening = opened_unchecked && still_unlocked && !type->isVisibleTo(&window) && list->isVisibleTo(&window);
    box->reject();
  });
  QContextMenuEvent event(QContextMenuEvent::Mouse, QPoint(5, 5), window.mapToGlobal(QPoint(5, 5)));
  QApplication::sendEvent(&window, &event);
  EXPECT_TRUE(WaitFor([&] { return second_opening; }, 10s));
}

// "Station..." asks for the ports and opens the station view over the type
// and firmware of the window's fields; a port list that cannot run is said
// and opens nothing.
TEST(QtWindow, StationFromTheContextMenuTakesTheWindowsFieldsAndAsksForThePorts) {
  QtMainWindow window(SettingsFile::Parse("[CONFIG]\nType=9\nNext=enter\n"));
  ASSERT_TRUE(ShowActive(window));
  TempDir dir;
  std::ofstream(dir.Path() + "/line.bin") << "image";  // a station refuses a firmware that is not there
  Control<QLineEdit>(window, id::kFileName)->setText(QString::fromStdString(dir.Path() + "/line.bin"));
  const auto open_menu = [&] {
    WhenPopup<QMenu>([](QMenu* menu) {
      menu->setActiveAction(menu->actions().back());
      QTest::keyClick(menu, Qt::Key_Return);
    });
    QContextMenuEvent event(QContextMenuEvent::Mouse, QPoint(5, 5), window.mapToGlobal(QPoint(5, 5)));
    QApplication::sendEvent(&window, &event);
  };

  QString refusal;
  WhenModal<QInputDialog>([&](QInputDialog* ask) {
    EXPECT_EQ(ask->textValue(), QStringLiteral("1")) << "the COM port field's";
    ask->setTextValue(QStringLiteral("5,,6"));
    WhenModal<QMessageBox>([&](QMessageBox* box) {
      refusal = box->text();
      box->accept();
    });
    ask->accept();
  });
  open_menu();
  ASSERT_TRUE(WaitFor([&] { return !refusal.isEmpty(); }, 10s));
  EXPECT_TRUE(refusal.startsWith(QStringLiteral("The port list has an empty entry"))) << refusal.toStdString();

  std::vector<std::string> ports;
  bool start_button = false;
  WhenModal<QInputDialog>([&](QInputDialog* ask) {
    ask->setTextValue(QStringLiteral("5, 6"));
    // A refusal here would wait for its OK: taken, so the test fails rather than hangs.
    WhenModal<QMessageBox>([&](QMessageBox* box) {
      refusal = box->text();
      box->accept();
    }, 5s);
    refusal.clear();
    WhenModal<QtStationWindow>([&](QtStationWindow* view) {
      for (const auto& row : view->Session().Rows()) ports.push_back(std::string(row.port.begin(), row.port.end()));
      start_button = view->findChild<QPushButton*>(QStringLiteral("start")) != nullptr;
      view->reject();  // nothing runs: it closes without asking
    });
    ask->accept();
  });
  open_menu();
  ASSERT_TRUE(WaitFor([&] { return (!ports.empty() || !refusal.isEmpty()) && !QApplication::activeModalWidget(); }, 10s));
  EXPECT_EQ(ports, (std::vector<std::string>{"5", "6"})) << refusal.toStdString();
  EXPECT_TRUE(start_button) << "Next=enter from loader.cfg";
}

// The realisation of the file dialog on its own: filter, start folder and name.
TEST(QtWindow, FileDialogMatchesBinAndHexAndOpensAtTheLastChoice) {
  TempDir dir;
  for (const char* name : {"a.bin", "b.hex", "c.txt"}) std::ofstream(dir.Path() + "/" + name) << "x";
  const QString folder = QString::fromStdString(dir.Path());
  QtMainWindow window(SettingsFile{});
  window.show();
  auto* file_name = Control<QLineEdit>(window, id::kFileName);

  QStringList listed;
  WhenModal<QFileDialog>([&](QFileDialog* dialog) {
    EXPECT_EQ(dialog->nameFilters(), QStringList{QStringLiteral("Bin file (*.bin)")});
    dialog->setDirectory(folder);
    auto* model = dialog->findChild<QFileSystemModel*>();
    EXPECT_NE(model, nullptr);
    if (model == nullptr) return dialog->reject();
    const QModelIndex root = model->index(folder);
    WaitFor([&] { return model->rowCount(root) >= 2; }, 10s);
    for (int row = 0; row < model->rowCount(root); ++row) {
      const QModelIndex index = model->index(row, 0, root);
      if (model->flags(index) & Qt::ItemIsEnabled) listed << model->fileName(index);
    }
    auto* name = dialog->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
    EXPECT_NE(name, nullptr);
    if (name != nullptr) name->setText(QStringLiteral("b.hex"));  // as the operator types it
    static_cast<QDialog*>(dialog)->accept();
    if (dialog->isVisible()) dialog->reject();  // it refused the file: end the test's wait
  });
  Control<QPushButton>(window, id::kBrowse)->click();
  listed.sort();
  EXPECT_EQ(listed, (QStringList{QStringLiteral("a.bin"), QStringLiteral("b.hex")}));
  EXPECT_EQ(file_name->text(), folder + QStringLiteral("/b.hex"));

  // The second opening starts in that folder with that name; a cancel changes nothing.
  QString opened_in, opened_with;
  WhenModal<QFileDialog>([&](QFileDialog* dialog) {
    opened_in = dialog->directory().absolutePath();
    if (auto* name = dialog->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"))) opened_with = name->text();
    dialog->reject();
  });
  Control<QPushButton>(window, id::kBrowse)->click();
  EXPECT_EQ(opened_in, folder);
  EXPECT_EQ(opened_with, QStringLiteral("b.hex"));
  EXPECT_EQ(file_name->text(), folder + QStringLiteral("/b.hex"));
}

}  // namespace
}  // namespace zevuvuri::ui::qt
