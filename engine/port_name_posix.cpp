#include "engine/port_name.h"

#include <sys/stat.h>

#include <cstdlib>
#include <string>

namespace zevuvuri {

std::string PortDirectory() {
  if (const char* dir = std::getenv("ZEVUVURI_PORT_DIR"); dir != nullptr && *dir != '\0') return dir;
  const char* home = std::getenv("HOME");
  return std::string(home != nullptr ? home : "") + "/.config/zevuvuri/ports";
}

std::optional<NamedDevice> DeviceForPortText(std::string_view port_text) {
  if (!port_text.empty() && port_text[0] == '/') return NamedDevice{std::string(port_text), ""};
  const auto n = ComNumber(port_text);
  if (!n) return std::nullopt;
  // The link itself is opened (open follows it), so a dangling link is
  // reported as a missing device under its own name rather than skipped.
  std::string link = PortDirectory() + "/com" + std::to_string(*n);
  struct stat st {};
  if (::lstat(link.c_str(), &st) == 0) return NamedDevice{link, link};
  return NamedDevice{"/dev/ttyS" + std::to_string(*n - 1), ""};
}

}  // namespace zevuvuri
