// The station view on a real X server with a window manager, driven by real
// key presses and mouse clicks (xdotool's XTEST events), against simulated
// boards: what an operator sees and what the records say.
#include <gtest/gtest.h>

#include <QDir>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QWindow>
#include <QMessageBox>
#include <QPixmap>
#include <QPointer>
#include <QProcess>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QTimer>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <memory>
#include <nlohmann/json.hpp>
#include <unistd.h>

#include "tests/support/child_process.h"
#include "tests/support/pseudo_terminal.h"
#include "tests/ui/qt_test_support.h"
#include "ui/qt/station_window.h"

namespace zevuvuri::ui::qt {
namespace {

using ui::testing::ShowActive;
using ui::testing::WaitFor;
using zevuvuri::testing::ChildProcess;
using zevuvuri::testing::TempDir;
using namespace std::chrono_literals;

// Real input: XTEST events to whatever window the X server has focused.
// Bounded, as every wait here: a stuck xdotool fails the test, not the run.
void Xdotool(const std::string& arguments) {
  ASSERT_EQ(std::system(("timeout 20 xdotool " + arguments).c_str()), 0) << arguments;
}

std::string Describe(const QWidget* widget) {
  if (widget == nullptr) return "none";
  return std::string(widget->metaObject()->className()) + " '" + widget->windowTitle().toStdString() + "'";
}

// Holds a key down for `seconds` while the window's events go on (a key held
// by a blocking call would reach the window as one burst afterwards).
void HoldKey(const std::string& key, double seconds) {
  QProcess xdotool;
  xdotool.start(QStringLiteral("sh"), {QStringLiteral("-c"),
                                       QString::fromStdString("timeout 20 xdotool keydown " + key + " && sleep " +
                                                              std::to_string(seconds) + "; timeout 20 xdotool keyup " +
                                                              key)});
  ASSERT_TRUE(xdotool.waitForStarted(10000));
  ASSERT_TRUE(ui::testing::WaitFor([&] { return xdotool.state() == QProcess::NotRunning; }, 60s)) << "xdotool hung";
  EXPECT_EQ(xdotool.exitCode(), 0) << key;
}

// Answers the question box with a real key press, from inside the modal loop
// that shows it. A box the window manager is slow to activate on a busy
// machine is activated the way a pager would; a box that is still not active,
// or that the key leaves open, fails the test with what was seen and is
// answered through `button`, so that no modal loop outlives the test.
void AnswerQuestion(QMessageBox* box, const char* key, QMessageBox::StandardButton button) {
  QPointer<QMessageBox> question(box);
  bool active = QTest::qWaitForWindowActive(box, 5000);  // then a pager's nudge
  if (!active && question) {
    Xdotool("windowactivate --sync " + std::to_string(question->winId()));
    active = question && QTest::qWaitForWindowActive(question.data(), ui::testing::kWindowLimitMs);
  }
  if (!question) return;
  if (active) {
    Xdotool(std::string("key ") + key);
    if (QTest::qWaitFor([&] { return question.isNull() || !question->isVisible(); }, 10000)) return;
    ADD_FAILURE() << "the key " << key << " left the question open; active window: "
                  << Describe(QApplication::activeWindow());
  } else {
    ADD_FAILURE() << "the question never became the active window; active window: "
                  << Describe(QApplication::activeWindow());
  }
  if (question) question->button(button)->click();
}

void AnswerNextQuestion(QStringList& asked, const char* key, QMessageBox::StandardButton button) {
  ui::testing::WhenModal<QMessageBox>([&asked, key, button](QMessageBox* box) {
    asked << box->text();
    AnswerQuestion(box, key, button);
  });
}

void ClickOn(QWidget* widget) {
  const QPoint centre = widget->mapToGlobal(widget->rect().center());
  Xdotool("mousemove --sync " + std::to_string(centre.x()) + " " + std::to_string(centre.y()) + " click 1");
}

// The colour the X server shows inside the widget's top left corner.
QColor ShownColour(QWidget* widget) {
  const QPoint corner = widget->mapToGlobal(QPoint(3, 3));
  const QPixmap pixel = QGuiApplication::primaryScreen()->grabWindow(0, corner.x(), corner.y(), 1, 1);
  return pixel.toImage().pixelColor(0, 0);
}

QString Text(const QWidget& window, const char* name) {
  const auto* label = window.findChild<QLabel*>(QString::fromLatin1(name));
  return label == nullptr ? QStringLiteral("(no %1)").arg(QString::fromLatin1(name)) : label->text();
}

class StationViewTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(QGuiApplication::platformName(), QStringLiteral("offscreen")) << "run under an X server (xvfb-run)";
    qputenv("ZEVUVURI_PORT_DIR", QByteArray::fromStdString(dir_.Path() + "/ports"));
  }
  // A simulator playing boards in turn as COM port `com`.
  void StartBoards(int com, std::vector<std::string> args) {
    std::vector<std::string> argv = {ZEVUVURI_SIM_PATH, "--com", std::to_string(com), "--timeout", "60"};
    argv.insert(argv.end(), args.begin(), args.end());
    boards_[com] = std::make_unique<ChildProcess>(argv, std::map<std::string, std::string>{
                                                             {"ZEVUVURI_PORT_DIR", dir_.Path() + "/ports"}});
    EXPECT_TRUE(boards_[com]->ReadLine(10s)) << "the simulator did not start";
  }
  int BoardsStatus(int com) { return boards_[com]->Wait(30s).value_or(-1); }
  std::string Firmware(std::size_t size) {
    const std::string path = dir_.Path() + "/fw.bin";
    std::ofstream out(path, std::ios::binary);
    for (std::size_t i = 0; i < size; ++i) out.put(static_cast<char>((i * 131 + 11) & 0xFF));
    return path;
  }
  std::vector<nlohmann::json> Records() {
    std::vector<nlohmann::json> records;
    std::ifstream in(journal_);
    for (std::string line; std::getline(in, line);) records.push_back(nlohmann::json::parse(line));
    return records;
  }
  void SaveScreenshot(QWidget& window, const char* name) {
    QString dir = qEnvironmentVariable("ZEVUVURI_ARTIFACT_DIR");
    if (dir.isEmpty()) dir = QDir::currentPath();
    QDir().mkpath(dir);
    const QPixmap pixels = QGuiApplication::primaryScreen()->grabWindow(window.winId());
    EXPECT_TRUE(pixels.save(QDir(dir).filePath(QString::fromLatin1(name)))) << name;
  }

  TempDir dir_;
  std::string journal_ = dir_.Path() + "/units.jsonl";
  std::map<int, std::unique_ptr<ChildProcess>> boards_;
};

// Two fixtures, one board each, the second refusing its first poll: Enter
// starts both; each row shows its own result in words and colour, the totals
// line is the command line's, each unit has its record, and Esc closes the
// view at once when nothing runs.
TEST_F(StationViewTest, TwoSlotsStartedByEnterOneBoardFailing) {
  const std::string fw = Firmware(1500);
  StartBoards(1, {"--units", "1", "--plug-gap-ms", "200", "--expect", fw});
  StartBoards(2, {"--units", "1", "--plug-gap-ms", "200", "--refuse-poll", "1"});
  QtStationWindow window(SettingsFile::Parse("[CONFIG]\nStation=1\nPorts=1, COM2\nNext=enter\nPacing=fast\nFirmware=" +
                                             fw + "\nReport=" + journal_ + "\n"));
  ASSERT_TRUE(ShowActive(window));
  EXPECT_EQ(Text(window, "result0"), QStringLiteral("waiting"));
  EXPECT_EQ(Text(window, "state1"), QStringLiteral("waiting for Enter"));
  EXPECT_EQ(Text(window, "totals"), QStringLiteral("0 units, 0 OK, 0 failed, yield 0.0 %"));
  auto* start = window.findChild<QPushButton*>(QStringLiteral("start"));
  ASSERT_NE(start, nullptr);
  EXPECT_TRUE(start->hasFocus()) << "the keyboard reaches the start button first";
  EXPECT_EQ(start->accessibleName(), QStringLiteral("Start waiting slots"));

  Xdotool("key Return");
  ASSERT_TRUE(WaitFor([&] {
    return Text(window, "result0") == QStringLiteral("OK") && Text(window, "result1") != QStringLiteral("upgrading") &&
           Text(window, "result1") != QStringLiteral("waiting");
  }, 30s)) << Text(window, "state0").toStdString() << " / " << Text(window, "state1").toStdString();
  EXPECT_EQ(Text(window, "result1"), QStringLiteral("Did not get local ACK"));
  EXPECT_EQ(Text(window, "state0"), QStringLiteral("Upgrade OK, Enter for the next unit"));
  EXPECT_EQ(Text(window, "state1"), QStringLiteral("Did not get local ACK, Enter for the next unit"));
  EXPECT_EQ(window.findChild<QProgressBar*>(QStringLiteral("progress0"))->value(), 100);
  // The X server draws the last change when the window gets round to it.
  auto* result0 = window.findChild<QLabel*>(QStringLiteral("result0"));
  auto* result1 = window.findChild<QLabel*>(QStringLiteral("result1"));
  const QColor ok(0x1b, 0x7f, 0x2a), failed(0xb7, 0x1c, 0x1c);
  EXPECT_TRUE(WaitFor([&] { return ShownColour(result0) == ok && ShownColour(result1) == failed; }, 10s))
      << "shown: " << ShownColour(result0).name().toStdString() << " and "
      << ShownColour(result1).name().toStdString();
  EXPECT_EQ(window.findChild<QLabel*>(QStringLiteral("result1"))->accessibleName(),
            QStringLiteral("Port 2 result: Did not get local ACK"));
  const QString totals = Text(window, "totals");
  EXPECT_TRUE(totals.startsWith(QStringLiteral("2 units, 1 OK, 1 failed (Did not get local ACK 1), yield 50.0 %, ")))
      << totals.toStdString();
  EXPECT_TRUE(totals.contains(QStringLiteral(" units/h, mean "))) << totals.toStdString();
  SaveScreenshot(window, "station_view.png");

  const auto records = Records();
  ASSERT_EQ(records.size(), 2u);
  std::map<std::string, nlohmann::json> by_port;
  for (const auto& r : records) by_port[r["port"]] = r;
  EXPECT_EQ(by_port["1"]["result"], "Upgrade OK");
  EXPECT_EQ(by_port["1"]["exit_code"], 0);
  EXPECT_EQ(by_port["2"]["result"], "Did not get local ACK");
  EXPECT_EQ(by_port["2"]["exit_code"], 5);
  EXPECT_EQ(by_port["1"]["station_run"], by_port["2"]["station_run"]);

  Xdotool("key Escape");
  EXPECT_TRUE(WaitFor([&] { return !window.isVisible(); }, 5s)) << "nothing runs: no question";
  EXPECT_EQ(window.Finish(), 5) << "the failed unit's status, as the command line's station ends";
  EXPECT_EQ(BoardsStatus(1), 0) << boards_[1]->Stderr();
  EXPECT_EQ(BoardsStatus(2), 0) << boards_[2]->Stderr();
}

// A slow board started by a click: Esc asks, Enter keeps the default "No" and
// the unit runs on; Esc again and "Yes" stop it at once, record it as
// interrupted and free its port.
TEST_F(StationViewTest, ClosingMidUnitAsksAndStopRecordsTheUnitAndFreesThePort) {
  const std::string fw = Firmware(20000);
  StartBoards(3, {"--units", "1", "--plug-gap-ms", "200", "--wire-baud", "9600"});
  QtStationWindow window(SettingsFile::Parse("[CONFIG]\nStation=1\nPorts=3\nNext=enter\nFirmware=" + fw +
                                             "\nReport=" + journal_ + "\n"));
  ASSERT_TRUE(ShowActive(window));
  ClickOn(window.findChild<QPushButton*>(QStringLiteral("start")));
  auto* progress = window.findChild<QProgressBar*>(QStringLiteral("progress0"));
  ASSERT_TRUE(WaitFor([&] { return progress->value() > 0; }, 20s)) << Text(window, "state0").toStdString();
  EXPECT_EQ(Text(window, "result0"), QStringLiteral("upgrading"));

  QStringList asked;
  AnswerNextQuestion(asked, "Return", QMessageBox::No);
  Xdotool("key Escape");
  ASSERT_TRUE(WaitFor([&] { return asked.size() == 1 && QApplication::activeModalWidget() == nullptr; }, 10s));
  EXPECT_EQ(asked.front(), QStringLiteral("1 units are being upgraded. Stop them?"));
  EXPECT_TRUE(window.isVisible()) << "\"No\" keeps the unit running";
  EXPECT_EQ(window.Session().UnitsRunning(), 1u);

  AnswerNextQuestion(asked, "alt+y", QMessageBox::Yes);
  Xdotool("key Escape");
  ASSERT_TRUE(WaitFor([&] { return !window.isVisible(); }, 10s));
  EXPECT_EQ(asked.size(), 2);
  EXPECT_EQ(window.Session().UnitsRunning(), 0u);
  EXPECT_EQ(window.Finish(), 130);

  const auto records = Records();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0]["result"], "interrupted");
  EXPECT_EQ(records[0]["exit_code"], 130);
  EXPECT_GT(records[0]["data_frames_sent"], 0);
  // The board leaves only once the port is closed; then the simulator is done.
  EXPECT_EQ(BoardsStatus(3), 0) << boards_[3]->Stderr();
  EXPECT_NE(boards_[3]->Stderr().find("board 1: not upgraded, 1 session"), std::string::npos) << boards_[3]->Stderr();
}

// A board pulled mid-upgrade: its failure stays on the slot, dimmed, while
// the slot waits for the next board, and the slot counts it.
TEST_F(StationViewTest, APulledBoardsFailureStaysDimmedUntilTheNextUnit) {
  const std::string fw = Firmware(3000);
  StartBoards(4, {"--units", "1", "--plug-gap-ms", "200", "--vanish", "data:20"});
  QtStationWindow window(SettingsFile::Parse("[CONFIG]\nStation=1\nPorts=4\nNext=plug\nPacing=fast\nFirmware=" + fw +
                                             "\nReport=" + journal_ + "\n"));
  ASSERT_TRUE(ShowActive(window));
  ASSERT_TRUE(WaitFor([&] {
    return Text(window, "state0") == QStringLiteral("waiting for a unit") && Records().size() == 1;
  }, 30s)) << Text(window, "state0").toStdString();
  auto* result = window.findChild<QLabel*>(QStringLiteral("result0"));
  EXPECT_EQ(result->text(), QStringLiteral("Write Error"));
  EXPECT_TRUE(result->property("dimmed").toBool());
  EXPECT_EQ(Text(window, "counts0"), QStringLiteral("0 OK, 1 failed"));
  const QColor pale_red(0xf2, 0xc8, 0xc8);
  EXPECT_TRUE(WaitFor([&] { return ShownColour(result) == pale_red; }, 10s))
      << "shown: " << ShownColour(result).name().toStdString();
  QTest::qWait(1000);  // passes go on; nothing replaces the result but a new unit
  EXPECT_EQ(result->text(), QStringLiteral("Write Error"));
  EXPECT_EQ(Records()[0]["result"], "Write Error");
  EXPECT_EQ(BoardsStatus(4), 0) << boards_[4]->Stderr();
  Xdotool("key Escape");
  EXPECT_TRUE(WaitFor([&] { return !window.isVisible(); }, 5s));
  EXPECT_EQ(window.Finish(), 6);
}

// The view on a small or scaled screen (ZEVUVURI_FIT_SLOTS slots; the
// screen and QT_SCALE_FACTOR as ctest sets them): long texts everywhere (a
// long firmware name in the header, a 255-character scan, failures that say
// why at length) and still the whole window on the screen, every result
// field shown in full, each one's whole text in its tooltip and accessible
// name, and a window that can be made smaller still.
TEST_F(StationViewTest, FitsTheScreenWithLongTexts) {
  const QByteArray slots_text = qgetenv("ZEVUVURI_FIT_SLOTS");
  if (slots_text.isEmpty()) GTEST_SKIP() << "run by ui_station_view_fit_* with a screen size";
  const int slot_count = slots_text.toInt();
  const std::string fw = dir_.Path() + "/" + std::string(80, 'f') + ".bin";
  { std::ofstream(fw, std::ios::binary) << "firmware"; }
  std::string ports;
  for (int i = 0; i < slot_count; ++i) ports += (i > 0 ? ", " : "") + dir_.Path() + "/no-fixture-" + std::to_string(i);
  QtStationWindow window(SettingsFile::Parse("[CONFIG]\nStation=1\nPorts=" + ports + "\nNext=scan\nFirmware=" + fw +
                                             "\nStationName=" + std::string(60, 's') + "\n"));
  ASSERT_TRUE(ShowActive(window));
  auto* scan = window.findChild<QLineEdit*>(QStringLiteral("scan"));
  ASSERT_NE(scan, nullptr);
  const QString label = QStringLiteral("SN-") + QString(252, QLatin1Char('7'));
  for (int i = 0; i < slot_count; ++i) {
    // Each scan goes to the slot that has waited longest; each unit fails
    // at once, its port naming nothing.
    ASSERT_TRUE(WaitFor([&] { return window.Session().UnitsRunning() == 0; }, 20s));
    scan->setText(label);
    QTest::keyClick(scan, Qt::Key_Return);
    ASSERT_TRUE(WaitFor([&] { return Text(window, ("result" + std::to_string(i)).c_str()) != QStringLiteral("waiting"); },
                        20s));
  }
  ASSERT_TRUE(WaitFor([&] { return window.Session().UnitsRunning() == 0; }, 20s));
  // The last rows drawn, and the window manager's frame around the window.
  // The frame as the window manager reports it (QWidget's own sum of it is
  // wrong under a scale factor).
  QWindow* handle = window.windowHandle();
  ASSERT_NE(handle, nullptr);
  EXPECT_TRUE(WaitFor([&] { return handle->frameMargins().top() > 0; }, 10s)) << "no frame around the window";
  QTest::qWait(200);

  const QRect screen = window.screen()->geometry();
  const QRect outer = handle->frameGeometry();
  EXPECT_TRUE(screen.contains(outer)) << "window " << outer.x() << "," << outer.y() << " " << outer.width() << "x"
                                      << outer.height() << " on a screen of " << screen.width() << "x"
                                      << screen.height() << "; inner " << window.width() << "x" << window.height()
                                      << " visible " << window.isVisible();
  EXPECT_LT(window.minimumSize().width(), window.width() + 1);
  EXPECT_GE(window.maximumSize().width(), screen.width()) << "the window can be resized";
  const QRect inside = window.rect();
  for (int i = 0; i < slot_count; ++i) {
    SCOPED_TRACE("slot " + std::to_string(i));
    auto* result = window.findChild<QLabel*>(QStringLiteral("result%1").arg(i));
    ASSERT_NE(result, nullptr);
    EXPECT_TRUE(result->isVisible());
    const QRect shown(result->mapTo(&window, QPoint(0, 0)), result->size());
    EXPECT_TRUE(inside.contains(shown)) << "result at " << shown.x() << "," << shown.y() << " " << shown.width() << "x"
                                        << shown.height();
    EXPECT_GE(shown.width(), 3 * result->fontMetrics().averageCharWidth()) << "wide enough to read";
    const QString text = result->text();
    EXPECT_NE(text, QStringLiteral("waiting"));
    EXPECT_EQ(result->toolTip(), text);
    EXPECT_TRUE(result->accessibleName().endsWith(QStringLiteral(": ") + text)) << result->accessibleName().toStdString();
    auto* unit = window.findChild<QLabel*>(QStringLiteral("unit%1").arg(i));
    EXPECT_TRUE(unit->toolTip().contains(label)) << "the whole scan in the unit's tooltip";
    EXPECT_TRUE(unit->accessibleName().contains(label));
    EXPECT_EQ(Text(window, ("counts" + std::to_string(i)).c_str()), QStringLiteral("0 OK, 1 failed"));
  }
  auto* header = window.findChild<QLabel*>(QStringLiteral("header"));
  ASSERT_NE(header, nullptr);
  EXPECT_TRUE(header->toolTip().contains(QString::fromStdString(std::string(60, 's'))));
  EXPECT_TRUE(header->text().startsWith(QStringLiteral("Firmware ") + QString(80, QLatin1Char('f')) +
                                        QStringLiteral(".bin, 8 bytes, SHA-256 ")))
      << header->text().toStdString();
  const QString totals = Text(window, "totals");
  EXPECT_TRUE(totals.startsWith(QString::number(slot_count) + QStringLiteral(" units, 0 OK, ") + QString::number(slot_count) +
                                QStringLiteral(" failed ("))) << totals.toStdString();
  SaveScreenshot(window, ("station_view_fit_" + std::to_string(slot_count) + "_slots_" +
                          std::to_string(screen.width()) + "x" + std::to_string(screen.height()) + ".png").c_str());
  Xdotool("key Escape");
  EXPECT_TRUE(WaitFor([&] { return !window.isVisible(); }, 5s));
}

// A key held down on two fixtures, one with a board and one whose port names
// nothing (its unit fails at once, so that each repeat the view let through
// would start another there): each slot starts once, and the board has one
// session, whichever start key it is.
class HeldKeyTest : public StationViewTest, public ::testing::WithParamInterface<const char*> {};

TEST_P(HeldKeyTest, AHeldKeyStartsEachSlotOnce) {
  const std::string fw = Firmware(1500);
  StartBoards(1, {"--units", "1", "--plug-gap-ms", "200", "--expect", fw});
  QtStationWindow window(SettingsFile::Parse("[CONFIG]\nStation=1\nPorts=1, 9\nNext=enter\nPacing=fast\nFirmware=" +
                                             fw + "\nReport=" + journal_ + "\n"));
  ASSERT_TRUE(ShowActive(window));
  // Longer than the board's upgrade and three times the guard after a start.
  HoldKey(GetParam(), 3.5);
  ASSERT_TRUE(WaitFor([&] {
    return Text(window, "result0") == QStringLiteral("OK") && !Text(window, "result1").isEmpty() &&
           Text(window, "result1") != QStringLiteral("upgrading") && Text(window, "result1") != QStringLiteral("waiting");
  }, 30s)) << Text(window, "state0").toStdString() << " / " << Text(window, "state1").toStdString();
  // Let a late repeat show itself before counting.
  QTest::qWait(500);
  EXPECT_TRUE(Text(window, "totals").startsWith(QStringLiteral("2 units, 1 OK, 1 failed"))) << Text(window, "totals").toStdString();
  const auto records = Records();
  ASSERT_EQ(records.size(), 2u);
  std::map<std::string, nlohmann::json> by_port;
  for (const auto& r : records) by_port[r["port"]] = r;
  EXPECT_EQ(by_port["1"]["result"], "Upgrade OK");
  EXPECT_EQ(by_port["9"]["exit_code"], 3);
  Xdotool("key Escape");
  EXPECT_TRUE(WaitFor([&] { return !window.isVisible(); }, 5s));
  EXPECT_EQ(window.Finish(), 3);
  EXPECT_EQ(BoardsStatus(1), 0) << boards_[1]->Stderr();
  EXPECT_NE(boards_[1]->Stderr().find("board 1: upgraded, 1 session"), std::string::npos) << boards_[1]->Stderr();
}

INSTANTIATE_TEST_SUITE_P(StartKeys, HeldKeyTest, ::testing::Values("Return", "KP_Enter", "space"),
                         [](const auto& info) { return std::string(info.param); });

// A scanner that ends a label with Tab, the next with Enter, typing while the
// focus is on a result field: each label goes whole to its own unit, the
// focus stays in the scan field, which is empty after each label.
TEST_F(StationViewTest, AScannerEndingLabelsWithTabRecordsEachSerialWhole) {
  const std::string fw = Firmware(1500);
  StartBoards(1, {"--units", "1", "--plug-gap-ms", "200", "--expect", fw});
  StartBoards(2, {"--units", "1", "--plug-gap-ms", "200", "--expect", fw});
  QtStationWindow window(SettingsFile::Parse("[CONFIG]\nStation=1\nPorts=1, 2\nNext=scan\nPacing=fast\nFirmware=" +
                                             fw + "\nReport=" + journal_ + "\n"));
  ASSERT_TRUE(ShowActive(window));
  auto* scan = window.findChild<QLineEdit*>(QStringLiteral("scan"));
  auto* result1 = window.findChild<QLabel*>(QStringLiteral("result1"));
  ASSERT_TRUE(scan != nullptr && result1 != nullptr);
  result1->setFocus(Qt::TabFocusReason);
  ASSERT_TRUE(WaitFor([&] { return result1->hasFocus(); }, 5s));

  // As a scanner types, one key after the other (xdotool's type takes all
  // its words as text, so each key goes on its own).
  for (const char* keys : {"type --delay 30 SN-A", "key Tab", "type --delay 30 SN-B", "key Return"}) Xdotool(keys);
  ASSERT_TRUE(WaitFor([&] {
    return Text(window, "result0") == QStringLiteral("OK") && Text(window, "result1") == QStringLiteral("OK");
  }, 30s)) << Text(window, "state0").toStdString() << " / " << Text(window, "state1").toStdString()
           << " / status: " << Text(window, "status").toStdString();
  EXPECT_TRUE(scan->hasFocus()) << "focus on " << Describe(QApplication::focusWidget());
  EXPECT_EQ(scan->text(), QString());

  const auto records = Records();
  ASSERT_EQ(records.size(), 2u);
  std::map<std::string, nlohmann::json> by_port;
  for (const auto& r : records) by_port[r["port"]] = r;
  EXPECT_EQ(by_port["1"]["serial_number"], "SN-A");
  EXPECT_EQ(by_port["2"]["serial_number"], "SN-B");
  EXPECT_EQ(by_port["2"]["result"], "Upgrade OK");
  Xdotool("key Escape");
  EXPECT_TRUE(WaitFor([&] { return !window.isVisible(); }, 5s));
  EXPECT_EQ(window.Finish(), 0);
  EXPECT_EQ(BoardsStatus(1), 0) << boards_[1]->Stderr();
  EXPECT_EQ(BoardsStatus(2), 0) << boards_[2]->Stderr();
}

// The desktop ends the program mid-unit (a log-off's SIGTERM): the unit is
// stopped and recorded as interrupted, its port freed, the view closed, and
// the status is 130, as the command line's.
TEST_F(StationViewTest, SigtermMidUnitRecordsItInterruptedAndEndsWith130) {
  const std::string fw = Firmware(20000);
  StartBoards(3, {"--units", "1", "--plug-gap-ms", "200", "--wire-baud", "9600"});
  QtStationWindow window(SettingsFile::Parse("[CONFIG]\nStation=1\nPorts=3\nFirmware=" + fw + "\nReport=" +
                                             journal_ + "\n"));
  ASSERT_TRUE(ShowActive(window));
  auto* progress = window.findChild<QProgressBar*>(QStringLiteral("progress0"));
  ASSERT_TRUE(WaitFor([&] { return progress->value() > 0; }, 20s)) << Text(window, "state0").toStdString();

  const auto signalled = std::chrono::steady_clock::now();
  ASSERT_EQ(::kill(::getpid(), SIGTERM), 0);
  ASSERT_TRUE(WaitFor([&] { return !window.isVisible(); }, 10s)) << "the view stayed open";
  EXPECT_EQ(window.Finish(), 130);
  const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - signalled);
  std::cout << "SIGTERM to status 130 in " << took.count() << " ms\n";
  const auto records = Records();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0]["result"], "interrupted");
  EXPECT_EQ(records[0]["exit_code"], 130);
  EXPECT_GT(records[0]["data_frames_sent"], 0);
  EXPECT_EQ(BoardsStatus(3), 0) << boards_[3]->Stderr();
  EXPECT_NE(boards_[3]->Stderr().find("board 1: not upgraded, 1 session"), std::string::npos) << boards_[3]->Stderr();
}

// A board plugged while the stop question is open waits: the question's count
// stands. "No" lets it start; a later "Yes" stops only the unit still running.
TEST_F(StationViewTest, NothingStartsUnderTheStopQuestionAndNoResumes) {
  const std::string fw = Firmware(20000);
  StartBoards(4, {"--units", "1", "--plug-gap-ms", "200", "--wire-baud", "9600"});
  QtStationWindow window(SettingsFile::Parse("[CONFIG]\nStation=1\nPorts=4, 5\nPacing=fast\nFirmware=" + fw +
                                             "\nReport=" + journal_ + "\n"));
  ASSERT_TRUE(ShowActive(window));
  auto* progress = window.findChild<QProgressBar*>(QStringLiteral("progress0"));
  ASSERT_TRUE(WaitFor([&] { return progress->value() > 0; }, 20s)) << Text(window, "state0").toStdString();

  QStringList asked;
  bool looked = false;
  ui::testing::WhenModal<QMessageBox>([&](QMessageBox* box) {
    asked << box->text();
    StartBoards(5, {"--units", "1", "--plug-gap-ms", "200", "--expect", fw});  // plugged under the question
    // The view's timers and wake-ups run in the question's own loop, not in
    // one nested in this callback: the look comes from a timer of its own,
    // later than the plug look and a device's settling take to start a unit.
    QPointer<QMessageBox> question(box);
    QTimer::singleShot(3000, &window, [&, question] {
      // A small board would be flashed and gone by now: the totals tell.
      EXPECT_EQ(window.Session().UnitsRunning(), 1u);
      EXPECT_TRUE(Text(window, "totals").startsWith(QStringLiteral("0 units,"))) << Text(window, "totals").toStdString();
      EXPECT_EQ(Text(window, "result1"), QStringLiteral("waiting")) << Text(window, "state1").toStdString();
      looked = true;
      if (question) AnswerQuestion(question.data(), "Return", QMessageBox::No);
    });
  });
  Xdotool("key Escape");
  ASSERT_TRUE(WaitFor([&] { return looked && QApplication::activeModalWidget() == nullptr; }, 40s));
  ASSERT_EQ(asked.size(), 1);
  EXPECT_EQ(asked.front(), QStringLiteral("1 units are being upgraded. Stop them?"));
  ASSERT_TRUE(WaitFor([&] { return window.Session().TotalsLine().starts_with(L"1 unit, 1 OK"); }, 30s))
      << "\"No\" let nothing start: " << Text(window, "state1").toStdString();

  AnswerNextQuestion(asked, "alt+y", QMessageBox::Yes);
  Xdotool("key Escape");
  ASSERT_TRUE(WaitFor([&] { return !window.isVisible(); }, 20s));
  ASSERT_EQ(asked.size(), 2);
  EXPECT_EQ(asked.back(), QStringLiteral("1 units are being upgraded. Stop them?"));
  EXPECT_EQ(window.Finish(), 130);
  const auto records = Records();
  ASSERT_EQ(records.size(), 2u);
  std::map<std::string, nlohmann::json> by_port;
  for (const auto& r : records) by_port[r["port"]] = r;
  EXPECT_EQ(by_port["5"]["result"], "Upgrade OK");
  EXPECT_EQ(by_port["4"]["result"], "interrupted");
  EXPECT_EQ(BoardsStatus(4), 0) << boards_[4]->Stderr();
  EXPECT_EQ(BoardsStatus(5), 0) << boards_[5]->Stderr();
}

// Next=plug with a module over the air: the slot says it waits for Start,
// the note says so in the window's words, the start button is offered while
// it waits, and Enter confirms the unit.
TEST_F(StationViewTest, PlugModeOverTheAirOffersTheStart) {
  const std::string fw = Firmware(1500);
  StartBoards(6, {"--units", "1", "--plug-gap-ms", "200", "--mode", "air", "--expect", fw});
  QtStationWindow window(SettingsFile::Parse("[CONFIG]\nStation=1\nPorts=6\nPacing=fast\nFirmware=" + fw +
                                             "\nReport=" + journal_ + "\n"));
  ASSERT_TRUE(ShowActive(window));
  auto* start = window.findChild<QPushButton*>(QStringLiteral("start"));
  ASSERT_NE(start, nullptr) << "no start button with Next=plug";
  ASSERT_TRUE(WaitFor([&] {
    return Text(window, "state0").endsWith(QStringLiteral(", waiting for Start")) && start->isEnabled();
  }, 30s)) << Text(window, "state0").toStdString();
  const QString status = Text(window, "status");
  EXPECT_TRUE(status.contains(QStringLiteral("Start waiting slots"))) << status.toStdString();
  EXPECT_FALSE(status.contains(QStringLiteral("--yes"))) << status.toStdString();

  Xdotool("key Return");
  ASSERT_TRUE(WaitFor([&] { return window.Session().TotalsLine().starts_with(L"1 unit, 1 OK"); }, 30s))
      << Text(window, "state0").toStdString() << " / " << Text(window, "totals").toStdString() << " / "
      << Text(window, "status").toStdString();
  EXPECT_FALSE(start->isEnabled()) << "nothing waits for it any more";
  Xdotool("key Escape");
  EXPECT_TRUE(WaitFor([&] { return !window.isVisible(); }, 5s));
  EXPECT_EQ(window.Finish(), 0);
  const auto records = Records();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0]["result"], "Upgrade OK");
  EXPECT_EQ(BoardsStatus(6), 0) << boards_[6]->Stderr();
}

}  // namespace
}  // namespace zevuvuri::ui::qt
