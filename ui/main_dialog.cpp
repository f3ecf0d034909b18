#include "ui/main_dialog.h"

#include <utility>

#include "engine/status_texts.h"
#include "engine/text_encoding.h"
#include "ui/dialog_templates.h"
#include "ui/setting_text.h"

namespace zevuvuri::ui {

std::wstring_view TypeCodeForRow(int row) {
  constexpr int kRows = static_cast<int>(std::size(kProductRows));
  if (row < 0 || row >= kRows) return kProductRows[0].type_code;
  return kProductRows[row].type_code;
}

CRazazeDeviziDlg::CRazazeDeviziDlg(ControlSurface& controls, FileDialog& file_dialog, AboutBoxOpener& about_box,
                                   AcquireTarget& upgrade, SettingsFile settings)
    : controls_(controls),
      file_dialog_(file_dialog),
      about_box_(about_box),
      upgrade_(upgrade),
      settings_(std::move(settings)) {}

// The order of the steps is the one operators and the factory scripts know;
// in particular "Prodmode" is read before any control is filled and the
// production start comes last.
void CRazazeDeviziDlg::OnInitDialog() {
  production_ = ProductionFlag(settings_.Read(setting::kProdmode));
  upgrade_.SetProductionFlag(production_);
  // Keys are read without regard to case, and so is this value.
  std::string pacing = settings_.Read(setting::kPacing);
  for (char& c : pacing) c = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
  upgrade_.SetPacing(ParsePacing(pacing).value_or(Pacing::Classic));

  controls_.SetText(id::kComPort, L"1");
  controls_.SetText(id::kType, L"0");
  controls_.Show(id::kType, false);
  controls_.SetText(id::kAcquire, FromUtf8(caption::kAcquire));
  controls_.Show(id::kTypeLabel, false);
  controls_.SetText(id::kFileName, SettingToWindowText(setting::kFirmware.fallback));

  controls_.ResetList(id::kProductList);
  controls_.AddRow(id::kProductList, kProductRows[0].text);
  controls_.SelectRowByPrefix(id::kProductList, kProductRows[0].text);
  for (std::size_t row = 1; row < std::size(kProductRows); ++row) {
    controls_.AddRow(id::kProductList, kProductRows[row].text);
  }
  controls_.Enable(id::kProductList, true);

  // A type other than "0" (compared byte for byte, so "00" counts) is shown
  // as a raw code instead of the product list, even when a row has that code.
  const std::string type = settings_.Read(setting::kType);
  if (type != "0") {
    controls_.SetText(id::kType, settings_.ReadText(setting::kType));
    controls_.Show(id::kType, true);
    controls_.Show(id::kTypeLabel, true);
    controls_.Show(id::kProductLabel, false);
    controls_.Show(id::kProductList, false);
  }

  controls_.SetText(id::kComPort, settings_.ReadText(setting::kComport));

  if (production_) StartInProductionMode();
}

// The product pair keeps the visibility the "Type" read gave it, so with
// type "0" both pairs show in their overlapping places.
void CRazazeDeviziDlg::StartInProductionMode() {
  firmware_setting_text_ = settings_.ReadText(setting::kFirmware);
  controls_.SetText(id::kFileName, *firmware_setting_text_);
  controls_.SetText(id::kType, settings_.ReadText(setting::kType));
  controls_.Show(id::kType, true);
  controls_.Show(id::kTypeLabel, true);
  controls_.SetText(id::kComPort, settings_.ReadText(setting::kComport));
  OnAcquire();
  controls_.Enable(id::kComPort, false);
  controls_.Enable(id::kType, false);
  controls_.Enable(id::kFileName, false);
  controls_.Show(id::kBrowse, false);
}

// Start or Confirm is the controller's decision; the type code comes from the
// Type field alone, shown or not. A typed or chosen name is opened as its
// UTF-8 bytes, which is also how Qt 6 encodes file names on Linux; a name
// read from loader.cfg keeps the file's own bytes while the field shows it.
void CRazazeDeviziDlg::OnAcquire() {
  const std::wstring port = controls_.Text(id::kComPort);
  const std::wstring type = controls_.Text(id::kType);
  const std::wstring file = controls_.Text(id::kFileName);
  const auto firmware = file == firmware_setting_text_ ? settings_.ReadFileName(setting::kFirmware)
                                                       : FirmwareName::FromText(file);
  upgrade_.OnAcquire(port, type, firmware);
}

// Every control that chooses what an upgrade uses, the product list too (it
// rewrites the Type field, even a locked one).
void CRazazeDeviziDlg::LockFields() {
  fields_locked_ = true;
  for (const int control : {id::kComPort, id::kType, id::kFileName, id::kBrowse, id::kProductList}) {
    controls_.Enable(control, false);
  }
}

// Production mode keeps its three fields locked (and Browse hidden) for the
// whole run; its product list is enabled between upgrades.
void CRazazeDeviziDlg::RestoreFields() {
  if (!fields_locked_) return;
  fields_locked_ = false;
  for (const int control : {id::kComPort, id::kType, id::kFileName}) controls_.Enable(control, !production_);
  controls_.Enable(id::kBrowse, true);
  controls_.Enable(id::kProductList, true);
}

void CRazazeDeviziDlg::OnBrowse() {
  const FileDialogRequest request{
      .filter_label = kFirmwareFilterLabel,
      .filter_patterns = kFirmwareFilterPatterns,
      .initial_path = last_chosen_path_,
      .capacity = kFileNameCapacity,
  };
  std::optional<std::wstring> chosen = file_dialog_.ChooseFile(request);
  // A path that would not fit the dialog's name buffer is no choice, as with
  // the platform's dialog, which fails on it.
  if (!chosen || chosen->empty() || chosen->size() >= kFileNameCapacity) return;
  last_chosen_path_ = *chosen;
  controls_.SetText(id::kFileName, last_chosen_path_);
}

void CRazazeDeviziDlg::OnProductSelectionChange() {
  controls_.SetText(id::kType, TypeCodeForRow(controls_.SelectedRow(id::kProductList)));
}

// The platform keeps the low four bits of a system command for itself, so
// 16 to 31 all mean the About entry.
bool CRazazeDeviziDlg::OnSysCommand(unsigned command) {
  if ((command & 0xFFF0u) != kAboutCommand) return false;
  about_box_.RunAboutBox(controls_);
  return true;
}

void CRazazeDeviziDlg::SetStatus(std::string_view text) {
  controls_.SetText(id::kStatusLine, FromUtf8(text));
  explanation_.clear();
  ShowToolTip();
}

void CRazazeDeviziDlg::ExplainStatus(std::wstring_view why) {
  explanation_ = why;
  ShowToolTip();
}

void CRazazeDeviziDlg::ShowRecordsState(std::wstring_view line) {
  records_state_ = line;
  ShowToolTip();
}

void CRazazeDeviziDlg::ShowToolTip() {
  std::wstring tip = explanation_;
  if (!tip.empty() && !records_state_.empty()) tip += L'\n';
  tip += records_state_;
  controls_.SetToolTip(id::kStatusLine, tip);
}

void CRazazeDeviziDlg::SetButtonCaption(std::string_view text) { controls_.SetText(id::kAcquire, FromUtf8(text)); }

void CRazazeDeviziDlg::EnableButton(bool enabled) { controls_.Enable(id::kAcquire, enabled); }

void CRazazeDeviziDlg::SetProgressRange(std::uint16_t maximum) { controls_.SetProgressRange(id::kProgress, maximum); }

void CRazazeDeviziDlg::SetProgressPosition(std::uint32_t position) {
  controls_.SetProgressPosition(id::kProgress, position);
}

}  // namespace zevuvuri::ui
