#include "ui/qt/app_icon_qt.h"

#include <QPixmap>
#include <cstring>

#include "ui/app_icon.h"

namespace zevuvuri::ui::qt {

QImage ApplicationIconImage(int size) {
  const IconImage image = DrawApplicationIcon(size);
  QImage qimage(size, size, QImage::Format_ARGB32);
  for (int y = 0; y < size; ++y) {
    std::memcpy(qimage.scanLine(y), image.pixels.data() + static_cast<std::size_t>(y) * static_cast<std::size_t>(size),
                static_cast<std::size_t>(size) * sizeof(std::uint32_t));
  }
  return qimage;
}

QIcon ApplicationIcon() {
  QIcon icon;
  for (const int size : kApplicationIconSizes) icon.addPixmap(QPixmap::fromImage(ApplicationIconImage(size)));
  return icon;
}

}  // namespace zevuvuri::ui::qt
