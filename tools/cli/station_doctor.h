// --doctor: what commonly breaks a flashing station, and how to fix it. One
// implementation per platform (station_doctor_posix.cpp, station_doctor_win32.cpp).
#pragma once

#include <string>
#include <vector>

namespace zevuvuri::cli {

struct Finding {
  bool problem = false;
  std::string text;  // what was found
  std::string fix;   // what to do about it, for problems
};

// Checks every serial device the kernel has and the devices that `port_texts`
// name: whether this user may open them, whether other processes hold them,
// the USB latency timer, and ModemManager probing CDC-ACM devices.
std::vector<Finding> CheckStation(const std::vector<std::string>& port_texts);

// False when this platform has no checks to run.
bool DoctorAvailable();

}  // namespace zevuvuri::cli
