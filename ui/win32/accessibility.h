// What a screen reader needs of the Win32 windows beyond their controls'
// own texts: a name for a control whose text is not one (a progress bar, an
// edit whose label is not the static before it), a description, and an
// announcement when a line of text changes while the window is open.
#pragma once

#include <windows.h>

#include <string_view>
#include <vector>

struct IAccPropServices;

namespace zevuvuri::ui::win32 {

// Names and descriptions set through the system's accessibility property
// service, which the default accessible objects of the standard controls
// consult first. Where the service is missing (an old system, wine's partial
// one), a setter reports false and the control keeps the name the system
// derives from its text or label.
//
// Thread contract: the window thread only; it initialises COM on that thread
// for its lifetime.
class AccessibleAnnotations {
 public:
  AccessibleAnnotations();
  // Takes back every annotation it set, while the controls still exist.
  ~AccessibleAnnotations();
  AccessibleAnnotations(const AccessibleAnnotations&) = delete;
  AccessibleAnnotations& operator=(const AccessibleAnnotations&) = delete;

  bool SetName(HWND control, std::wstring_view name);
  bool SetDescription(HWND control, std::wstring_view description);
  // Before the window goes: annotations outliving their window would be
  // found by a later window with the same handle.
  void Clear();

 private:
  bool Set(HWND control, bool name, std::wstring_view text);

  IAccPropServices* services_ = nullptr;
  bool com_initialised_ = false;
  std::vector<HWND> annotated_;
};

// Tells listening screen readers that the control's text (its accessible
// name) has changed, so that a status line is read out as it changes.
void AnnounceTextChange(HWND control);

}  // namespace zevuvuri::ui::win32
