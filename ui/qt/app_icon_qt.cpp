#include "ui/qt/app_icon_qt.h"

#include <QImage>
#include <QPixmap>
#include <cstring>

#include "ui/app_icon.h"

namespace zevuvuri::ui::qt {

QIcon ApplicationIcon() {
  QIcon icon;
  for (const int size : kApplicationIconSizes) {
    const IconImage image = DrawApplicationIcon(size);
    QImage qimage(size, size, QImage::Format_ARGB32);
    for (int y = 0; y < size; ++y) {
      std::memcpy(qimage.scanLine(y), image.pixels.data() + static_cast<std::size_t>(y) * static_cast<std::size_t>(size),
                  static_cast<std::size_t>(size) * sizeof(std::uint32_t));
    }
    icon.addPixmap(QPixmap::fromImage(qimage));
  }
  return icon;
}

}  // namespace zevuvuri::ui::qt
