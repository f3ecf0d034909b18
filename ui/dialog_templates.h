// The two dialog templates, main window (102) and About box (100), as data:
// every toolkit realisation builds its dialogs from this one table, so ids,
// kinds, styles, captions, positions and tab order are written down once.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

namespace zevuvuri::ui {

// Control ids. The window's behaviour, the realisations and the tests address
// controls only through these.
namespace id {
constexpr int kNone = -1;  // a static that nothing addresses
// Main window
constexpr int kStatusLine = 1000;
constexpr int kAcquire = 1001;
constexpr int kComPort = 1002;
constexpr int kType = 1003;
constexpr int kProgress = 1006;
constexpr int kFileName = 1007;
constexpr int kBrowse = 1008;
constexpr int kTypeLabel = 1012;
constexpr int kProductLabel = 1013;
constexpr int kProductList = 1015;
// About box (1013 there is the check box, not the "Product:" label)
constexpr int kOk = 1;
constexpr int kUnlock = 1013;
}  // namespace id

constexpr int kMainDialogId = 102;
constexpr int kAboutDialogId = 100;
constexpr int kApplicationIconId = 128;

enum class ControlKind {
  PushButton,
  DefaultPushButton,
  AutoCheckBox,  // two states, toggled by the control itself
  Label,         // static text
  Icon,          // static showing the application icon
  Edit,
  ProgressBar,
  DropDownCombo,  // a list that drops down, taking no typed text
};

// Styles a control may carry; a realisation maps each to its toolkit's.
namespace style {
constexpr std::uint32_t kTabStop = 1u << 0;
constexpr std::uint32_t kGroup = 1u << 1;   // starts a group for arrow-key moves
constexpr std::uint32_t kBorder = 1u << 2;  // thin frame
constexpr std::uint32_t kAlignRight = 1u << 3;   // text alignment; left without either
constexpr std::uint32_t kAlignCenter = 1u << 4;
constexpr std::uint32_t kCenterVertically = 1u << 5;
constexpr std::uint32_t kAutoHScroll = 1u << 6;  // edits scroll sideways as text is typed
constexpr std::uint32_t kNoPrefix = 1u << 7;     // "&" is shown, not taken as a mnemonic
constexpr std::uint32_t kSorted = 1u << 8;       // list rows kept in text order
constexpr std::uint32_t kVScroll = 1u << 9;
}  // namespace style

// Positions and sizes in dialog units: a quarter of the dialog font's average
// character width across, an eighth of its height down.
struct DluRect {
  int x = 0;
  int y = 0;
  int width = 0;
  int height = 0;
};

struct ControlTemplate {
  int id = id::kNone;
  ControlKind kind = ControlKind::Label;
  std::uint32_t styles = 0;
  std::string_view caption;  // UTF-8; empty for none
  DluRect rect;
};

struct DialogTemplate {
  int resource_id = 0;
  std::string_view title;
  int width = 0;  // client area, dialog units
  int height = 0;
  std::string_view font_face;
  int font_points = 0;
  bool minimize_box = false;
  bool maximize_box = false;
  bool app_window = false;  // shown in the task bar
  // In template order: creation order and tab order.
  std::span<const ControlTemplate> controls;
};

const DialogTemplate& MainDialogTemplate();
const DialogTemplate& AboutDialogTemplate();

// The control with `control_id`, or nullptr.
const ControlTemplate* FindControl(const DialogTemplate& dialog, int control_id);

}  // namespace zevuvuri::ui
