#include "ui/win32/file_dialog.h"

#include <commdlg.h>

#include <algorithm>
#include <string>

namespace zevuvuri::ui::win32 {

std::optional<std::wstring> OpenFileDialog::ChooseFile(const FileDialogRequest& request) {
  if (name_buffer_.size() < request.capacity) name_buffer_.resize(request.capacity, L'\0');
  if (!request.initial_path.empty() && request.initial_path.size() < name_buffer_.size()) {
    std::fill(name_buffer_.begin(), name_buffer_.end(), L'\0');
    std::copy(request.initial_path.begin(), request.initial_path.end(), name_buffer_.begin());
  }

  // One filter entry: its label, then its patterns, each ended by a NUL, and
  // a second NUL closing the list.
  std::wstring filter(request.filter_label);
  filter.push_back(L'\0');
  filter.append(request.filter_patterns);
  filter.push_back(L'\0');

  OPENFILENAMEW ofn{};
  ofn.lStructSize = sizeof ofn;
  ofn.hwndOwner = owner_;
  ofn.lpstrFilter = filter.c_str();
  ofn.nFilterIndex = 1;
  ofn.lpstrFile = name_buffer_.data();
  ofn.nMaxFile = static_cast<DWORD>(request.capacity);
  ofn.Flags = OFN_HIDEREADONLY | OFN_EXPLORER;
  if (!::GetOpenFileNameW(&ofn)) return std::nullopt;
  return std::wstring(name_buffer_.data());
}

}  // namespace zevuvuri::ui::win32
