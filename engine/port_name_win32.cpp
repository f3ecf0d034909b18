#include "engine/port_name.h"
#include "engine/text_encoding.h"

namespace zevuvuri {

// The text is used verbatim, whatever it holds: "\\.\COM" reaches ports above
// COM9 too, and a text that names no port fails when it is opened. Bytes that
// are no UTF-8 have no exact UTF-16 form: they name nothing rather than a
// look-alike.
std::optional<NamedDevice> DeviceForPortText(std::string_view port_text) {
  if (!IsValidUtf8(port_text)) return std::nullopt;
  return NamedDevice{std::string(R"(\\.\COM)") + std::string(port_text), ""};
}

// Windows names its ports itself: there is no directory of COM links.
std::string PortDirectory() { return ""; }

}  // namespace zevuvuri
