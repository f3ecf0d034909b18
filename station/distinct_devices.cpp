#include "station/distinct_devices.h"

#include "station/serial_device_info.h"

namespace zevuvuri::station {

bool PortsNameDistinctDevices(const std::vector<std::string>& ports, const std::string& port_name,
                              std::string* why) {
  for (std::size_t i = 0; i < ports.size(); ++i) {
    const std::string device = DeviceForPort(ports[i]);
    for (std::size_t j = 0; j < i && !device.empty(); ++j) {
      if (DeviceForPort(ports[j]) == device) {
        *why = port_name + " " + ports[j] + " and " + port_name + " " + ports[i] + " name the same device " + device;
        return false;
      }
    }
  }
  return true;
}

}  // namespace zevuvuri::station
