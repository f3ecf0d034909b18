#include "ui/win32/accessibility.h"

#include <oleacc.h>

#include <algorithm>
#include <string>

namespace zevuvuri::ui::win32 {

AccessibleAnnotations::AccessibleAnnotations() {
  const HRESULT com = ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  com_initialised_ = SUCCEEDED(com);  // S_FALSE too: each success is balanced by one CoUninitialize
  if (!com_initialised_) return;
  void* services = nullptr;
  if (SUCCEEDED(::CoCreateInstance(CLSID_AccPropServices, nullptr, CLSCTX_INPROC_SERVER, IID_IAccPropServices,
                                   &services))) {
    services_ = static_cast<IAccPropServices*>(services);
  }
}

AccessibleAnnotations::~AccessibleAnnotations() {
  Clear();
  if (services_ != nullptr) services_->Release();
  if (com_initialised_) ::CoUninitialize();
}

bool AccessibleAnnotations::SetName(HWND control, std::wstring_view name) { return Set(control, true, name); }

bool AccessibleAnnotations::SetDescription(HWND control, std::wstring_view description) {
  return Set(control, false, description);
}

bool AccessibleAnnotations::Set(HWND control, bool name, std::wstring_view text) {
  if (services_ == nullptr || control == nullptr) return false;
  const std::wstring terminated(text);
  const HRESULT set = services_->SetHwndPropStr(control, static_cast<DWORD>(OBJID_CLIENT), CHILDID_SELF,
                                                name ? PROPID_ACC_NAME : PROPID_ACC_DESCRIPTION, terminated.c_str());
  if (FAILED(set)) return false;
  if (std::find(annotated_.begin(), annotated_.end(), control) == annotated_.end()) annotated_.push_back(control);
  return true;
}

void AccessibleAnnotations::Clear() {
  if (services_ != nullptr) {
    MSAAPROPID props[] = {PROPID_ACC_NAME, PROPID_ACC_DESCRIPTION};
    for (HWND control : annotated_) {
      services_->ClearHwndProps(control, static_cast<DWORD>(OBJID_CLIENT), CHILDID_SELF, props, 2);
    }
  }
  annotated_.clear();
}

void AnnounceTextChange(HWND control) {
  ::NotifyWinEvent(EVENT_OBJECT_NAMECHANGE, control, OBJID_CLIENT, CHILDID_SELF);
}

}  // namespace zevuvuri::ui::win32
