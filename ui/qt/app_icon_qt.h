// The application icon as a QIcon, from the pixels drawn in ui/app_icon.h.
#pragma once

#include <QIcon>

namespace zevuvuri::ui::qt {

QIcon ApplicationIcon();

}  // namespace zevuvuri::ui::qt
