// The COM ports this Windows machine has, from its DOS device names.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace zevuvuri {

// By number, each with the device it names (empty when it cannot be read):
// the names "COM" and a number that a port text can reach (ComNumber,
// port_name.h); a name such as "COM01" is left out.
std::vector<std::pair<unsigned long, std::wstring>> ComPorts();

}  // namespace zevuvuri
