// The application icon as a QIcon, from the pixels drawn in ui/app_icon.h.
#pragma once

#include <QIcon>
#include <QImage>

namespace zevuvuri::ui::qt {

QIcon ApplicationIcon();

// The picture at any size, for the window's icon and the installed PNG files.
QImage ApplicationIconImage(int size);

}  // namespace zevuvuri::ui::qt
