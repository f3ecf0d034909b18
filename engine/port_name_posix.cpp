#include "engine/port_name.h"

#include <sys/stat.h>

#include <cstdlib>
#include <string>

namespace zevuvuri {
namespace {

// Only a plain decimal number names a COM port, as on Windows where "01" or
// " 1" name no device.
std::optional<unsigned long> ComNumber(std::string_view text) {
  if (text.empty() || text.size() > 9 || text[0] == '0') return std::nullopt;
  unsigned long n = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    n = n * 10 + static_cast<unsigned long>(c - '0');
  }
  return n;
}

}  // namespace

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
