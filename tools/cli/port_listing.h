// The serial devices of this machine, for --list-ports. One implementation
// per platform (port_listing_posix.cpp, port_listing_win32.cpp).
#pragma once

#include <string>
#include <vector>

namespace zevuvuri::cli {

// Lines for --list-ports.
std::vector<std::string> ListPorts();

}  // namespace zevuvuri::cli
