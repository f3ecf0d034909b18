// What tells a station's slot that its next unit is there.
#pragma once

namespace zevuvuri::station {

enum class NextUnit {
  Plug,   // the port's device appears (and the last unit's has gone)
  Enter,  // the operator presses Enter / the start button (fixtures whose port never goes)
  Scan,   // the operator scans the board's serial number (a line of text)
};

}  // namespace zevuvuri::station
