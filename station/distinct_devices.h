// Two port texts for one device would have the second upgrade fail as "busy"
// against the first.
#pragma once

#include <string>
#include <vector>

namespace zevuvuri::station {

// False and `*why` when two of `ports` lead to one device; `port_name` goes
// before each port's text in it ("--port 3").
bool PortsNameDistinctDevices(const std::vector<std::string>& ports, const std::string& port_name, std::string* why);

}  // namespace zevuvuri::station
