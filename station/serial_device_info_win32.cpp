#include "engine/port_name.h"
#include "station/serial_device_info.h"

namespace zevuvuri::station {

// Windows keeps USB details in its device registry, which the loader does not
// read: a device is described by its name alone.
std::string SysfsRoot() { return ""; }
std::string DevRoot() { return ""; }

std::string FollowLinks(const std::string& path) { return path; }

std::string DeviceForPort(const std::string& port_text) {
  const auto named = DeviceForPortText(port_text);
  return named ? named->path : std::string();
}

SerialDeviceInfo DescribeDevice(const std::string& device_path) { return SerialDeviceInfo{device_path, {}, {}, {}}; }

std::vector<std::string> SerialDevices() { return {}; }

}  // namespace zevuvuri::station
