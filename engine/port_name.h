// How the operator's port text names a serial device on this platform.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace zevuvuri {

struct NamedDevice {
  std::string path;       // what gets opened
  std::string mapped_by;  // the COM link that led there, or empty
};

// POSIX: a text beginning with "/" is a device path used as it is. A decimal
// number N (no sign, no leading zero, no blanks) names the device that the
// link "comN" in the port directory points to or, without such a link,
// /dev/ttyS{N-1}. Anything else names nothing.
// Windows: "\\.\COM" followed by the text; bytes that are no UTF-8 name
// nothing, as they have no exact wide form.
std::optional<NamedDevice> DeviceForPortText(std::string_view port_text);

// The number of a COM port text: decimal digits only, no sign, no blanks, no
// leading zero (as on Windows, where "01" or " 1" name no device) and at most
// 9 of them, so that it fits an unsigned long everywhere. Nothing otherwise.
std::optional<unsigned long> ComNumber(std::string_view text);

// POSIX: $ZEVUVURI_PORT_DIR, or ~/.config/zevuvuri/ports. Windows: empty, as
// Windows names its COM ports itself.
std::string PortDirectory();

}  // namespace zevuvuri
