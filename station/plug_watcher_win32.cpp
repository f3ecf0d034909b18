#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "engine/com_ports_win32.h"
#include "engine/port_name.h"
#include "engine/text_encoding.h"
#include "station/plug_watcher.h"

namespace zevuvuri::station {

// Windows announces a new COM port to windows, not to a console program: the
// station's short wait polls the COM list instead.
struct PlugWatcher::Impl {
  std::vector<std::string> ports;
  std::optional<std::vector<std::pair<unsigned long, std::wstring>>> listed;  // this pass's, once a slot looked
};

PlugWatcher::PlugWatcher(std::vector<std::string> ports, std::function<void()> /*wake*/) : impl_(std::make_unique<Impl>()) {
  impl_->ports = std::move(ports);
}

PlugWatcher::~PlugWatcher() = default;

// The port text names "\\.\COM" followed by it; only a plain number can be
// in the COM list.
bool PlugWatcher::Watchable(const std::string& port_text) { return ComNumber(port_text).has_value(); }

void PlugWatcher::NewPass() { impl_->listed.reset(); }

// The device the number maps to marks the board.
std::optional<PortPresence> PlugWatcher::Look(std::size_t slot) {
  const auto wanted = ComNumber(impl_->ports.at(slot));
  if (!wanted) return std::nullopt;
  if (!impl_->listed) impl_->listed = ComPorts();
  for (const auto& [number, target] : *impl_->listed) {
    if (number == *wanted) return PortPresence{ToUtf8(target).value_or(""), true};
  }
  return std::nullopt;
}

}  // namespace zevuvuri::station
