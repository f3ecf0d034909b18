// Operator-facing explanations of why a port did not open, and the list of
// serial devices on this machine.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "engine/serial_port.h"

namespace zevuvuri::cli {

// One line that says what went wrong and what to do about it.
std::string ExplainOpenFailure(std::string_view port_text, const PortOpenError& error);

// Processes other than this one that have `device` open, as "1234 (name)".
std::vector<std::string> ProcessesHolding(const std::string& device);

// Lines for --list-ports.
std::vector<std::string> ListPorts();

}  // namespace zevuvuri::cli
