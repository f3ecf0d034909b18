#include "ui/qt/widget_surface.h"

#include <QAbstractButton>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <algorithm>
#include <utility>

namespace zevuvuri::ui::qt {
namespace {

QString ToQString(std::wstring_view text) {
  return QString::fromWCharArray(text.data(), static_cast<qsizetype>(text.size()));
}

}  // namespace

WidgetSurface::WidgetSurface(const DialogTemplate& dialog_template, std::map<int, QWidget*> controls)
    : controls_(std::move(controls)) {
  for (const auto& control : dialog_template.controls) {
    if (control.kind == ControlKind::DropDownCombo && (control.styles & style::kSorted) != 0) {
      sorted_lists_.insert(control.id);
    }
  }
}

QWidget* WidgetSurface::Find(int id) const {
  const auto it = controls_.find(id);
  return it == controls_.end() ? nullptr : it->second;
}

void WidgetSurface::NameByText(int id, std::function<std::wstring(std::wstring_view)> name) {
  if (QWidget* widget = Find(id)) widget->setAccessibleName(ToQString(name(Text(id))));
  named_by_text_[id] = std::move(name);
}

void WidgetSurface::SetText(int id, std::wstring_view text) {
  QWidget* widget = Find(id);
  const QString value = ToQString(text);
  if (const auto named = named_by_text_.find(id); widget != nullptr && named != named_by_text_.end()) {
    widget->setAccessibleName(ToQString(named->second(text)));
  }
  if (auto* label = qobject_cast<QLabel*>(widget)) {
    label->setText(value);
  } else if (auto* edit = qobject_cast<QLineEdit*>(widget)) {
    edit->setText(value);
  } else if (auto* button = qobject_cast<QAbstractButton*>(widget)) {
    button->setText(value);
  } else if (auto* combo = qobject_cast<QComboBox*>(widget)) {
    combo->setEditText(value);
  }
}

std::wstring WidgetSurface::Text(int id) const {
  QWidget* widget = Find(id);
  if (auto* label = qobject_cast<QLabel*>(widget)) return label->text().toStdWString();
  if (auto* edit = qobject_cast<QLineEdit*>(widget)) return edit->text().toStdWString();
  if (auto* button = qobject_cast<QAbstractButton*>(widget)) return button->text().toStdWString();
  if (auto* combo = qobject_cast<QComboBox*>(widget)) return combo->currentText().toStdWString();
  return {};
}

void WidgetSurface::Show(int id, bool shown) {
  if (QWidget* widget = Find(id)) widget->setVisible(shown);
}

void WidgetSurface::Focus(int id) {
  QWidget* widget = Find(id);
  if (widget == nullptr) return;
  if (widget->isEnabled()) {
    widget->setFocus(Qt::OtherFocusReason);
  } else {
    widget->window()->setFocus(Qt::OtherFocusReason);
    focus_kept_for_ = widget;
  }
}

bool WidgetSurface::KeepsFocusForDisabledControl() const {
  return focus_kept_for_ && !focus_kept_for_->isEnabled() &&
         focus_kept_for_->window()->focusWidget() == focus_kept_for_->window();
}

// The focus is the window's focus widget, which the window gets back when it
// is activated again: so this also holds while a box over it is open.
void WidgetSurface::Enable(int id, bool enabled) {
  QWidget* widget = Find(id);
  if (widget == nullptr) return;
  QWidget* window = widget->window();
  if (!enabled && window->focusWidget() == widget) {
    window->setFocus(Qt::OtherFocusReason);
    focus_kept_for_ = widget;
  }
  widget->setEnabled(enabled);
  if (enabled && focus_kept_for_ == widget) {
    focus_kept_for_ = nullptr;
    if (window->focusWidget() == window) widget->setFocus(Qt::OtherFocusReason);  // unless the operator moved it
  }
}

void WidgetSurface::SetToolTip(int id, std::wstring_view text) {
  if (QWidget* widget = Find(id)) widget->setToolTip(ToQString(text));
}

void WidgetSurface::ResetList(int id) {
  if (auto* combo = qobject_cast<QComboBox*>(Find(id))) combo->clear();
}

int WidgetSurface::AddRow(int id, std::wstring_view text) {
  auto* combo = qobject_cast<QComboBox*>(Find(id));
  if (combo == nullptr) return kNoRow;
  const QString value = ToQString(text);
  int index = combo->count();
  if (sorted_lists_.contains(id)) {
    // After the rows that sort before it or equal it, letter case ignored.
    index = 0;
    while (index < combo->count() && QString::compare(combo->itemText(index), value, Qt::CaseInsensitive) <= 0) {
      ++index;
    }
  }
  // Qt selects the first row put into an empty box; the platform's list
  // selects nothing until asked to.
  const bool had_selection = combo->currentIndex() != -1;
  combo->insertItem(index, value);
  if (!had_selection) combo->setCurrentIndex(-1);
  return index;
}

int WidgetSurface::SelectRowByPrefix(int id, std::wstring_view prefix) {
  auto* combo = qobject_cast<QComboBox*>(Find(id));
  if (combo == nullptr) return kNoRow;
  const QString value = ToQString(prefix);
  for (int row = 0; row < combo->count(); ++row) {
    if (combo->itemText(row).startsWith(value, Qt::CaseInsensitive)) {
      combo->setCurrentIndex(row);  // raises no activated(): only the operator's choices do
      return row;
    }
  }
  return kNoRow;
}

int WidgetSurface::SelectedRow(int id) const {
  auto* combo = qobject_cast<QComboBox*>(Find(id));
  return combo == nullptr ? kNoRow : combo->currentIndex();
}

CheckState WidgetSurface::Check(int id) const {
  auto* box = qobject_cast<QCheckBox*>(Find(id));
  if (box == nullptr) return CheckState::Unchecked;
  switch (box->checkState()) {
    case Qt::Unchecked:
      return CheckState::Unchecked;
    case Qt::PartiallyChecked:
      return CheckState::Indeterminate;
    case Qt::Checked:
      return CheckState::Checked;
  }
  return CheckState::Unchecked;
}

void WidgetSurface::SetProgressRange(int id, std::uint16_t maximum) {
  auto* bar = qobject_cast<QProgressBar*>(Find(id));
  if (bar == nullptr) return;
  progress_maximum_[id] = maximum;
  // A 0..0 range makes QProgressBar show a busy animation; the platform's bar
  // stays empty, and so does this one.
  bar->setRange(0, std::max<int>(maximum, 1));
}

// QProgressBar ignores a value outside its range, while the platform's bar
// takes the nearest end: the last frames' positions pass the maximum and must
// leave the bar full.
void WidgetSurface::SetProgressPosition(int id, std::uint32_t position) {
  auto* bar = qobject_cast<QProgressBar*>(Find(id));
  if (bar == nullptr) return;
  const auto it = progress_maximum_.find(id);
  const std::uint32_t maximum = it == progress_maximum_.end() ? static_cast<std::uint32_t>(bar->maximum()) : it->second;
  bar->setValue(static_cast<int>(std::min(position, maximum)));
}

}  // namespace zevuvuri::ui::qt
