// Writes the application icon as PNG files for the desktop's icon theme: the
// picture of ui/app_icon.cpp, the one the window shows, at each size asked for.
// Run while the window is built; its files are installed under
// share/icons/hicolor.
//   icon_png OUTPUT_DIR SIZE...     writes OUTPUT_DIR/SIZExSIZE/apps/zevuvuri.png
#include <QDir>
#include <QImage>
#include <cstdio>
#include <cstdlib>

#include "ui/qt/app_icon_qt.h"

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: icon_png OUTPUT_DIR SIZE...\n");
    return 2;
  }
  for (int i = 2; i < argc; ++i) {
    const int size = std::atoi(argv[i]);
    // One arg() call, so that a "%" in the output folder is never substituted.
    const QString dir =
        QStringLiteral("%1/%2x%2/apps").arg(QString::fromLocal8Bit(argv[1]), QString::number(size));
    if (size <= 0 || !QDir().mkpath(dir) ||
        !zevuvuri::ui::qt::ApplicationIconImage(size).save(dir + QStringLiteral("/zevuvuri.png"), "PNG")) {
      std::fprintf(stderr, "icon_png: cannot write the %s px icon under %s\n", argv[i], argv[1]);
      return 1;
    }
  }
  return 0;
}
