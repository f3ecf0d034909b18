#include "engine/port_name.h"

namespace zevuvuri {

// The text is used verbatim, whatever it holds: "\\.\COM" reaches ports above
// COM9 too, and a text that names no port fails when it is opened.
std::optional<NamedDevice> DeviceForPortText(std::string_view port_text) {
  return NamedDevice{std::string(R"(\\.\COM)") + std::string(port_text), ""};
}

// Windows names its ports itself: there is no directory of COM links.
std::string PortDirectory() { return ""; }

}  // namespace zevuvuri
