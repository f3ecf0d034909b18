// Two port texts for one device would have the second upgrade fail as "busy"
// against the first.
#pragma once

#include <string>
#include <vector>

namespace zevuvuri::station {

// False and `*why` when two of `ports` lead to one device.
bool PortsNameDistinctDevices(const std::vector<std::string>& ports, std::string* why);

}  // namespace zevuvuri::station
