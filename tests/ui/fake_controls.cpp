#include "tests/ui/fake_controls.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cwctype>

namespace zevuvuri::ui::testing {
namespace {

std::wstring Lower(std::wstring_view text) {
  std::wstring out(text);
  for (auto& c : out) c = static_cast<wchar_t>(std::towlower(static_cast<wint_t>(c)));
  return out;
}

std::wstring Widen(std::string_view ascii) { return std::wstring(ascii.begin(), ascii.end()); }

}  // namespace

FakeSurface::FakeSurface(const DialogTemplate& dialog_template) {
  for (const auto& control : dialog_template.controls) {
    if (control.id == id::kNone) continue;
    FakeControl fake;
    fake.kind = control.kind;
    fake.sorted = (control.styles & style::kSorted) != 0;
    fake.text = Widen(control.caption);
    controls_[control.id] = fake;
  }
}

FakeControl* FakeSurface::Find(int id, const char* operation) const {
  const auto it = controls_.find(id);
  if (it == controls_.end()) {
    ADD_FAILURE() << operation << " on control " << id << ", which the template does not have";
    return nullptr;
  }
  return &it->second;
}

FakeControl* FakeSurface::FindKind(int id, const char* operation, std::initializer_list<ControlKind> kinds) const {
  FakeControl* control = Find(id, operation);
  if (control == nullptr) return nullptr;
  if (std::find(kinds.begin(), kinds.end(), control->kind) == kinds.end()) {
    ADD_FAILURE() << operation << " on control " << id << ", which is not of a kind that takes it";
    return nullptr;
  }
  return control;
}

FakeControl& FakeSurface::operator[](int id) {
  static FakeControl missing;
  FakeControl* control = Find(id, "inspection");
  return control != nullptr ? *control : missing;
}

void FakeSurface::ChooseRow(int id, int row) {
  FakeControl* list = FindKind(id, "ChooseRow", {ControlKind::DropDownCombo});
  ASSERT_NE(list, nullptr);
  ASSERT_LT(row, static_cast<int>(list->rows.size()));
  list->selected = row;
  list->text = row >= 0 ? list->rows[static_cast<std::size_t>(row)] : L"";
}

void FakeSurface::SetText(int id, std::wstring_view text) {
  if (FakeControl* c = FindKind(id, "SetText",
                                {ControlKind::PushButton, ControlKind::DefaultPushButton, ControlKind::AutoCheckBox,
                                 ControlKind::Label, ControlKind::Edit, ControlKind::DropDownCombo})) {
    c->text = text;
  }
}

std::wstring FakeSurface::Text(int id) const {
  const FakeControl* c = FindKind(id, "Text",
                                  {ControlKind::PushButton, ControlKind::DefaultPushButton, ControlKind::AutoCheckBox,
                                   ControlKind::Label, ControlKind::Edit, ControlKind::DropDownCombo});
  return c != nullptr ? c->text : L"";
}

void FakeSurface::SetToolTip(int id, std::wstring_view text) {
  if (FakeControl* c = Find(id, "SetToolTip")) c->tool_tip = text;
}

void FakeSurface::Show(int id, bool shown) {
  if (FakeControl* c = Find(id, "Show")) c->visible = shown;
}

void FakeSurface::Enable(int id, bool enabled) {
  if (FakeControl* c = Find(id, "Enable")) c->enabled = enabled;
}

void FakeSurface::ResetList(int id) {
  if (FakeControl* c = FindKind(id, "ResetList", {ControlKind::DropDownCombo})) {
    c->rows.clear();
    c->selected = kNoRow;
    c->text.clear();
  }
}

int FakeSurface::AddRow(int id, std::wstring_view text) {
  FakeControl* c = FindKind(id, "AddRow", {ControlKind::DropDownCombo});
  if (c == nullptr) return kNoRow;
  auto at = c->rows.end();
  if (c->sorted) {
    at = std::find_if(c->rows.begin(), c->rows.end(), [&](const std::wstring& row) { return Lower(row) > Lower(text); });
  }
  const int index = static_cast<int>(at - c->rows.begin());
  c->rows.insert(at, std::wstring(text));
  if (c->selected >= index) ++c->selected;
  return index;
}

int FakeSurface::SelectRowByPrefix(int id, std::wstring_view prefix) {
  FakeControl* c = FindKind(id, "SelectRowByPrefix", {ControlKind::DropDownCombo});
  if (c == nullptr) return kNoRow;
  for (std::size_t row = 0; row < c->rows.size(); ++row) {
    if (Lower(c->rows[row]).starts_with(Lower(prefix))) {
      c->selected = static_cast<int>(row);
      c->text = c->rows[row];
      return c->selected;
    }
  }
  return kNoRow;
}

int FakeSurface::SelectedRow(int id) const {
  const FakeControl* c = FindKind(id, "SelectedRow", {ControlKind::DropDownCombo});
  return c != nullptr ? c->selected : kNoRow;
}

CheckState FakeSurface::Check(int id) const {
  const FakeControl* c = FindKind(id, "Check", {ControlKind::AutoCheckBox});
  return c != nullptr ? c->check : CheckState::Unchecked;
}

void FakeSurface::SetProgressRange(int id, std::uint16_t maximum) {
  if (FakeControl* c = FindKind(id, "SetProgressRange", {ControlKind::ProgressBar})) c->maximum = maximum;
}

void FakeSurface::SetProgressPosition(int id, std::uint32_t position) {
  if (FakeControl* c = FindKind(id, "SetProgressPosition", {ControlKind::ProgressBar})) c->position = position;
}

std::optional<std::wstring> FakeFileDialog::ChooseFile(const FileDialogRequest& request) {
  openings.push_back(Opening{std::wstring(request.filter_label), std::wstring(request.filter_patterns),
                             std::wstring(request.initial_path), request.capacity});
  if (openings.size() > answers.size()) {
    ADD_FAILURE() << "file dialog opened more often than the test expected";
    return std::nullopt;
  }
  return answers[openings.size() - 1];
}

void FakeAboutBoxOpener::Box::ClickUnlock() {
  auto& check = controls[id::kUnlock].check;
  check = check == CheckState::Unchecked ? CheckState::Checked : CheckState::Unchecked;
  behaviour.OnUnlockClicked();
}

void FakeAboutBoxOpener::RunAboutBox(ControlSurface& main_window) {
  FakeSurface controls(AboutDialogTemplate());
  CAboutDlg behaviour(controls, main_window);
  ++openings;
  Box box{controls, behaviour};
  if (operator_actions) operator_actions(box);
}

void RecordingTarget::OnAcquire(std::wstring_view port, std::wstring_view type, std::optional<FirmwareName> firmware) {
  const bool enabled = window_[id::kComPort].enabled && window_[id::kType].enabled && window_[id::kFileName].enabled;
  calls.push_back(Call{std::wstring(port), std::wstring(type), window_[id::kFileName].text, std::move(firmware), enabled});
}

FakeMainWindow::FakeMainWindow(const char* settings_text)
    : FakeMainWindow(settings_text != nullptr ? SettingsFile::Parse(settings_text) : SettingsFile{}) {}

FakeMainWindow::FakeMainWindow(SettingsFile settings)
    : controls(MainDialogTemplate()), target(controls), dialog(controls, files, about, target, std::move(settings)) {
  dialog.OnInitDialog();
}

}  // namespace zevuvuri::ui::testing
