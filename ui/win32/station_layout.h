// The station view's dialog: its controls, ids and places in dialog units,
// made for a number of slots. Above the rows the header line; a row per
// slot: port with its counts, unit, state, progress bar and the result
// field (a tab stop, so that Tab reads each slot's result); under the rows
// the totals, the records line, the station's last message, and the start
// button or the scan field. Every text control has the lines its longest
// usual text needs, and the result field's font is the largest that fits.
#pragma once

#include <windows.h>

#include <cstddef>
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "ui/dialog_templates.h"

namespace zevuvuri::ui::win32 {

namespace station_id {
constexpr int kTotals = 1900;
constexpr int kRecords = 1901;
constexpr int kNote = 1902;     // the station's last message: its status line
constexpr int kStart = 1903;    // "Start waiting slots"
constexpr int kScanLabel = 1904;
constexpr int kScan = 1905;     // the scanned label's field
constexpr int kHeader = 1906;   // what every slot flashes

enum class RowPart { Port = 0, Unit = 1, State = 2, Progress = 3, Result = 4, Counts = 5 };
constexpr int kFirstRow = 2000;
constexpr int kRowStride = 10;
constexpr int Row(std::size_t slot, RowPart part) {
  return kFirstRow + static_cast<int>(slot) * kRowStride + static_cast<int>(part);
}
}  // namespace station_id

constexpr std::string_view kStationTitle = "ZE Vuvuri station";
constexpr std::string_view kStartCaption = "Start waiting slots";
constexpr std::string_view kScanCaption = "Scanned label:";

struct StationLayoutOptions {
  std::vector<std::string> ports;  // a row each, in this order
  bool start_button = false;       // Next=enter
  bool scan_field = false;         // Next=scan
};

// Holds the captions that the template's controls point into, so it is
// neither copied nor moved; build the resource from Dialog() while it lives.
class StationLayout {
 public:
  explicit StationLayout(const StationLayoutOptions& options);
  StationLayout(const StationLayout&) = delete;
  StationLayout& operator=(const StationLayout&) = delete;

  const DialogTemplate& Dialog() const { return dialog_; }

 private:
  void Add(int id, ControlKind kind, std::uint32_t styles, std::string caption, DluRect rect);

  std::deque<std::string> captions_;
  std::vector<ControlTemplate> controls_;
  DialogTemplate dialog_;
};

// The largest font height from `largest` down to `smallest` (pixels, as
// LOGFONT's lfHeight magnitude) at which `fits` holds; `smallest` when none
// does.
int FittingHeight(int largest, int smallest, const std::function<bool(int)>& fits);

// The result field's font for `text` in a field of `box` pixels: `font` (the
// large one) made smaller until the text, broken at words and inside a word
// too long for a line, fits whole; never smaller than `smallest` pixels high.
// The caller deletes it.
HFONT FittingResultFont(HDC dc, const LOGFONTW& font, int smallest, const std::wstring& text, SIZE box);

// How DrawText lays the result out: centred, broken at words and inside a
// word too long for the field.
constexpr UINT kResultTextFormat = DT_CENTER | DT_WORDBREAK | DT_EDITCONTROL | DT_NOPREFIX;

}  // namespace zevuvuri::ui::win32
