// The main window's behaviour, whatever draws it: initialisation from the
// settings file, the Acquire, Browse, product-list and system-command
// handlers, and what the upgrade shows on the window's controls.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "engine/firmware_name.h"
#include "engine/pacing.h"
#include "ui/control_surface.h"
#include "ui/settings_file.h"

namespace zevuvuri::ui {

// What the Acquire button drives: the window session's upgrade controller,
// or a test's recorder.
class AcquireTarget {
 public:
  virtual ~AcquireTarget() = default;
  virtual void SetProductionFlag(bool on) = 0;
  virtual void SetPacing(Pacing pacing) = 0;
  // `firmware` is the file the name field's text names, as the platform opens
  // it (nothing when the text cannot name a file exactly).
  virtual void OnAcquire(std::wstring_view port_text, std::wstring_view type_text,
                         std::optional<FirmwareName> firmware) = 0;
};

struct FileDialogRequest {
  std::wstring_view filter_label;     // what the filter list shows
  std::wstring_view filter_patterns;  // ";"-separated patterns it matches
  std::wstring_view initial_path;     // the path chosen last; empty on first use
  std::size_t capacity = 0;           // characters a chosen path may have, terminator included
};

// The open-file dialog, modal over the main window.
class FileDialog {
 public:
  virtual ~FileDialog() = default;
  // The chosen file's full path, or nothing when the dialog ends without one.
  virtual std::optional<std::wstring> ChooseFile(const FileDialogRequest& request) = 0;
};

// Runs the About box modally over the main window; its unlock check box
// changes `main_window`'s controls.
class AboutBoxOpener {
 public:
  virtual ~AboutBoxOpener() = default;
  virtual void RunAboutBox(ControlSurface& main_window) = 0;
};

// The system-menu command that opens the About box, and its menu text.
constexpr unsigned kAboutCommand = 16;
constexpr std::wstring_view kAboutMenuText = L"&About RazazeDevizi...";
constexpr std::wstring_view kFirmwareFilterLabel = L"Bin file (*.bin)";
constexpr std::wstring_view kFirmwareFilterPatterns = L"*.bin;*.hex";
constexpr std::size_t kFileNameCapacity = 1024;  // characters, terminator included

// Product list rows in the order they are added (and sorted), each with the
// type code that choosing it writes into the Type field.
struct ProductRow {
  std::wstring_view text;
  std::wstring_view type_code;
};
inline constexpr ProductRow kProductRows[] = {
    {L"QM-A EVB", L"0"}, {L"QM-B EVB", L"8"}, {L"QM-C EVB", L"9"}, {L"QM-D EVB", L"24"}, {L"QM-E EVB", L"10"},
};
// The code written for a row index; no selection or an unknown row gives "0".
std::wstring_view TypeCodeForRow(int row);

// Thread contract: every member on the window thread; the window session
// carries the worker's sink calls over to that thread first.
class CRazazeDeviziDlg final {
 public:
  CRazazeDeviziDlg(ControlSurface& controls, FileDialog& file_dialog, AboutBoxOpener& about_box,
                   AcquireTarget& upgrade, SettingsFile settings);

  // Once, after the realisation has created the controls of the main window
  // template (and given the window its icon and its About command). In
  // production mode it ends by starting an upgrade.
  void OnInitDialog();

  void OnAcquire();
  void OnBrowse();
  void OnProductSelectionChange();
  // True when the command was handled; false leaves it to the platform.
  bool OnSysCommand(unsigned command);

  bool ProductionMode() const { return production_; }

  // From a press that starts an upgrade until that upgrade has ended, the
  // fields, Browse and the product list are disabled, so that what the window
  // shows at the end is what the upgrade used; then they are given back as
  // they were before.
  void LockFields();
  void RestoreFields();

  // What the upgrade shows. A new status text takes the status line's
  // explanation away; ExplainStatus gives the current text one, shown as the
  // status line's tooltip, so that the text itself stays the fixed one.
  void SetStatus(std::string_view text);
  void ExplainStatus(std::wstring_view why);
  // A traced line's records state ("records: 3 waiting for the database:
  // ..."): the tooltip's last line, kept across status texts until the next
  // state replaces it. A window without records never gets one, and its
  // tooltip is the explanation alone.
  void ShowRecordsState(std::wstring_view line);
  void SetButtonCaption(std::string_view text);
  void EnableButton(bool enabled);
  void SetProgressRange(std::uint16_t maximum);
  void SetProgressPosition(std::uint32_t position);

 private:
  void StartInProductionMode();
  void ShowToolTip();

  ControlSurface& controls_;
  FileDialog& file_dialog_;
  AboutBoxOpener& about_box_;
  AcquireTarget& upgrade_;
  const SettingsFile settings_;

  bool production_ = false;
  bool fields_locked_ = false;
  // The text the name field shows for the settings file's "Firmware": while
  // the field still shows it, the setting's own bytes name the file, also
  // when the text could not show them exactly.
  std::optional<std::wstring> firmware_setting_text_;
  // The path chosen last in the file dialog; kept for its next opening.
  std::wstring last_chosen_path_;
  // The status line's tooltip: the current status text's explanation, then
  // the records' state.
  std::wstring explanation_;
  std::wstring records_state_;
};

}  // namespace zevuvuri::ui
