#include "tools/cli/station_doctor.h"

namespace zevuvuri::cli {

std::vector<Finding> CheckStation(const std::vector<std::string>&) {
  return {Finding{false, "--doctor is not available on Windows: see Device Manager for the COM ports", ""},
          // No program can set a USB adapter's latency timer through the COM port functions.
          Finding{false,
                  "a USB serial adapter holds each reply up to its latency timer (16 ms by default on FTDI "
                  "adapters): lower it to 1 ms in Device Manager, Ports (COM & LPT), the adapter's Properties, "
                  "Port Settings, Advanced..., Latency Timer (msec); --pacing fast then takes each reply at once",
                  ""}};
}

bool DoctorAvailable() { return false; }

}  // namespace zevuvuri::cli
