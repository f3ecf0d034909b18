#include "tools/cli/station_doctor.h"

namespace zevuvuri::cli {

std::vector<Finding> CheckStation(const std::vector<std::string>&) {
  return {Finding{false, "--doctor is not available on Windows: see Device Manager for the COM ports", ""}};
}

bool DoctorAvailable() { return false; }

}  // namespace zevuvuri::cli
