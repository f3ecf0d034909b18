// Pictures of the main window and the About box as an X server shows them,
// saved for people to look at in $ZEVUVURI_ARTIFACT_DIR: main_window.png,
// main_window_both_pairs.png and about_box.png.
#include <gtest/gtest.h>

#include <QDir>
#include <QGuiApplication>
#include <QPixmap>
#include <QScreen>

#include "tests/ui/qt_test_support.h"
#include "ui/qt/about_box.h"
#include "ui/qt/main_window.h"

namespace zevuvuri::ui::qt {
namespace {

using zevuvuri::ui::testing::WaitFor;
using zevuvuri::ui::testing::WhenModal;
using namespace std::chrono_literals;

QString ArtifactPath(const char* name) {
  QString dir = qEnvironmentVariable("ZEVUVURI_ARTIFACT_DIR");
  if (dir.isEmpty()) dir = QDir::currentPath();
  QDir().mkpath(dir);
  return QDir(dir).filePath(QString::fromLatin1(name));
}

// The window's own pixels as the X server holds them.
QPixmap Grab(QWidget& window) {
  return QGuiApplication::primaryScreen()->grabWindow(window.winId());
}

// Shows the window, waits until the X server has it, and saves its pixels.
void SaveWindow(QWidget& window, const char* name) {
  window.show();
  window.activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(&window, ui::testing::kWindowLimitMs));
  QTest::qWait(200);  // let the X server finish drawing
  const QPixmap pixels = Grab(window);
  ASSERT_FALSE(pixels.isNull());
  EXPECT_EQ(pixels.size(), window.size());
  EXPECT_TRUE(pixels.save(ArtifactPath(name))) << name;
}

TEST(Screenshot, MainWindowAtAnOrdinaryStart) {
  ASSERT_NE(QGuiApplication::platformName(), QStringLiteral("offscreen")) << "run under an X server (xvfb-run)";
  QtMainWindow window(SettingsFile{});
  SaveWindow(window, "main_window.png");
}

TEST(Screenshot, BothOverlappingPairsAndTheAboutBox) {
  ASSERT_NE(QGuiApplication::platformName(), QStringLiteral("offscreen")) << "run under an X server (xvfb-run)";
  // Production mode with type "0" shows the Type pair over the product pair;
  // the port names nothing, so the upgrade fails at once and nothing runs.
  QtMainWindow window(SettingsFile::Parse("[CONFIG]\nProdmode=1\nComport=none\n"));
  SaveWindow(window, "main_window_both_pairs.png");

  bool grabbed = false;
  WhenModal<QtAboutBox>([&](QtAboutBox* box) {
    if (QTest::qWaitForWindowExposed(box, ui::testing::kWindowLimitMs)) {
      QTest::qWait(200);
      const QPixmap about = Grab(*box);
      grabbed = !about.isNull() && about.save(ArtifactPath("about_box.png"));
    }
    box->reject();
  });
  QTest::keyClick(&window, Qt::Key_F1);
  EXPECT_TRUE(WaitFor([&] { return grabbed; }, 30s));
}

}  // namespace
}  // namespace zevuvuri::ui::qt
