#include "engine/com_ports_win32.h"
#include "engine/text_encoding.h"
#include "tools/cli/port_listing.h"

namespace zevuvuri::cli {

std::vector<std::string> ListPorts() {
  std::vector<std::string> lines{"COM ports:"};
  const auto ports = ComPorts();
  if (ports.empty()) lines.push_back("  (none found)");
  for (const auto& [n, target] : ports) {
    std::string line = "  COM" + std::to_string(n);
    if (!target.empty()) line += "   " + ToUtf8(target).value_or("?");
    lines.push_back(line);
  }
  return lines;
}

}  // namespace zevuvuri::cli
