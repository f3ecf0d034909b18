// An in-memory realisation of the control operations, built from a dialog
// template. It is strict: an operation on an id the template lacks, or one
// that does not suit the control's kind, fails the test instead of passing
// quietly.
#pragma once

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "ui/about_dialog.h"
#include "ui/control_surface.h"
#include "ui/dialog_templates.h"
#include "ui/main_dialog.h"

namespace zevuvuri::ui::testing {

struct FakeControl {
  ControlKind kind = ControlKind::Label;
  bool sorted = false;
  std::wstring text;
  std::wstring tool_tip;
  bool visible = true;
  bool enabled = true;
  std::vector<std::wstring> rows;
  int selected = kNoRow;
  CheckState check = CheckState::Unchecked;
  std::uint16_t maximum = 100;
  std::uint32_t position = 0;
};

class FakeSurface final : public ControlSurface {
 public:
  explicit FakeSurface(const DialogTemplate& dialog_template);

  // The control for inspection or for playing the operator; fails the test
  // for an id the template lacks.
  FakeControl& operator[](int id);

  // The operator picks a row, as the list's own click would.
  void ChooseRow(int id, int row);

  void SetText(int id, std::wstring_view text) override;
  std::wstring Text(int id) const override;
  void Show(int id, bool shown) override;
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
  FakeControl* Find(int id, const char* operation) const;
  FakeControl* FindKind(int id, const char* operation, std::initializer_list<ControlKind> kinds) const;

  mutable std::map<int, FakeControl> controls_;
};

// Hands out scripted choices and remembers what each opening was given.
class FakeFileDialog final : public FileDialog {
 public:
  std::vector<std::optional<std::wstring>> answers;  // one per opening, in order
  struct Opening {
    std::wstring filter_label;
    std::wstring filter_patterns;
    std::wstring initial_path;
    std::size_t capacity;
  };
  std::vector<Opening> openings;

  std::optional<std::wstring> ChooseFile(const FileDialogRequest& request) override;
};

// Builds a fresh About box over an in-memory surface at every opening and
// lets the test play the operator in it.
class FakeAboutBoxOpener final : public AboutBoxOpener {
 public:
  struct Box {
    FakeSurface& controls;
    CAboutDlg& behaviour;
    // A click on the check box: it toggles itself, then notifies.
    void ClickUnlock();
  };
  std::function<void(Box&)> operator_actions;  // run at each opening; nothing clicked when empty
  int openings = 0;

  void RunAboutBox(ControlSurface& main_window) override;
};

// Records the Acquire button's calls with the field states at that moment.
class RecordingTarget final : public AcquireTarget {
 public:
  explicit RecordingTarget(FakeSurface& window) : window_(window) {}

  struct Call {
    std::wstring port, type, file;
    std::optional<FirmwareName> firmware;
    bool fields_enabled;  // COM port, Type and file name fields all enabled
  };
  std::vector<Call> calls;
  std::optional<bool> production_flag;
  std::optional<Pacing> pacing;

  void SetProductionFlag(bool on) override { production_flag = on; }
  void SetPacing(Pacing p) override { pacing = p; }
  // Records the name field's text beside what the press carried.
  void OnAcquire(std::wstring_view port, std::wstring_view type, std::optional<FirmwareName> firmware) override;

 private:
  FakeSurface& window_;
};

// The main window's behaviour over in-memory controls and dialogs, recording
// its presses, initialised from `settings_text` (nullptr: no settings file).
struct FakeMainWindow {
  explicit FakeMainWindow(const char* settings_text = nullptr);
  explicit FakeMainWindow(SettingsFile settings);
  bool Shown(int id) { return controls[id].visible; }

  FakeSurface controls;
  FakeFileDialog files;
  FakeAboutBoxOpener about;
  RecordingTarget target;
  CRazazeDeviziDlg dialog;
};

}  // namespace zevuvuri::ui::testing
