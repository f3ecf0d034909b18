#include "ui/qt/accessible_names.h"

#include <QAbstractButton>
#include <QLabel>
#include <QWidget>
#include <algorithm>

namespace zevuvuri::ui::qt {
namespace {

QString ToQString(std::wstring_view text) {
  return QString::fromWCharArray(text.data(), static_cast<qsizetype>(text.size()));
}

QString Caption(const QWidget* widget) {
  if (const auto* label = qobject_cast<const QLabel*>(widget)) return label->text();
  if (const auto* button = qobject_cast<const QAbstractButton*>(widget)) return button->text();
  return {};
}

}  // namespace

void NameControls(const TemplateWidgets& widgets, std::span<const AccessibleText> texts) {
  for (QWidget* widget : widgets.in_order) {
    const auto named = std::find_if(widgets.by_id.begin(), widgets.by_id.end(),
                                    [widget](const auto& entry) { return entry.second == widget; });
    const int id = named == widgets.by_id.end() ? id::kNone : named->first;
    const auto text = std::find_if(texts.begin(), texts.end(), [id](const AccessibleText& t) { return t.id == id; });
    if (id != id::kNone && text != texts.end()) {
      widget->setAccessibleName(ToQString(text->name));
      widget->setAccessibleDescription(ToQString(text->description));
      continue;
    }
    // "&Browse..." reads as "Browse...".
    QString caption = Caption(widget);
    caption.remove(QLatin1Char('&'));
    if (caption.isEmpty()) {  // the About box's icon
      widget->setAccessibleName(QStringLiteral("Application icon"));
      widget->setAccessibleDescription(QStringLiteral("The loader's picture"));
    } else {
      widget->setAccessibleName(caption);
      widget->setAccessibleDescription(ToQString(kCaptionDescription));
    }
  }
}

}  // namespace zevuvuri::ui::qt
