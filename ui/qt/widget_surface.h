// The control operations carried out on Qt widgets, found by control id.
#pragma once

#include <QPointer>
#include <QWidget>
#include <functional>
#include <map>
#include <set>

#include "ui/control_surface.h"
#include "ui/dialog_templates.h"

namespace zevuvuri::ui::qt {

// Thread contract: window thread only. An id with no widget behind it is
// ignored, as the platform ignores messages to a missing control.
class WidgetSurface final : public ControlSurface {
 public:
  WidgetSurface(const DialogTemplate& dialog_template, std::map<int, QWidget*> controls);

  // Gives the control the focus; a disabled one gets it as Enable keeps it.
  void Focus(int id);
  // Whether the window holds the focus for a disabled control (Enable): keys
  // then press nothing.
  bool KeepsFocusForDisabledControl() const;

  // The control's accessible name follows its text, as `name` makes it of
  // each new one, so that a screen reader is told every change (Qt raises a
  // name-change event).
  void NameByText(int id, std::function<std::wstring(std::wstring_view)> name);

  void SetText(int id, std::wstring_view text) override;
  std::wstring Text(int id) const override;
  void Show(int id, bool shown) override;
  // Qt moves the focus of a disabled widget on to the next one; here the
  // window holds it instead, and gives it back when the widget is enabled.
  void Enable(int id, bool enabled) override;
  void SetToolTip(int id, std::wstring_view text) override;
  void ResetList(int id) override;
  int AddRow(int id, std::wstring_view text) override;
  int SelectRowByPrefix(int id, std::wstring_view prefix) override;
  int SelectedRow(int id) const override;
  CheckState Check(int id) const override;
  void SetProgressRange(int id, std::uint16_t maximum) override;
  void SetProgressPosition(int id, std::uint32_t position) override;

 private:
  QWidget* Find(int id) const;

  std::map<int, QWidget*> controls_;
  QPointer<QWidget> focus_kept_for_;  // the disabled control whose focus the window holds
  std::set<int> sorted_lists_;
  std::map<int, std::uint16_t> progress_maximum_;
  std::map<int, std::function<std::wstring(std::wstring_view)>> named_by_text_;  // the range as the upgrade set it
};

}  // namespace zevuvuri::ui::qt
