// Operator-facing explanations of why a port did not open, and which other
// processes hold a device. Shared by the window and the command line; one
// implementation per platform (port_diagnosis_posix.cpp, _win32.cpp).
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "engine/serial_port.h"

namespace zevuvuri {

// One line that says what went wrong and what to do about it.
std::string ExplainOpenFailure(std::string_view port_text, const PortOpenError& error);

// Processes other than this one that have `device` open, as "1234 (name)".
// Empty on Windows, which tells nobody who holds a COM port.
std::vector<std::string> ProcessesHolding(const std::string& device);

// $ZEVUVURI_PROC_ROOT or /proc: tests point it at a prepared tree.
std::string ProcRoot();

}  // namespace zevuvuri
