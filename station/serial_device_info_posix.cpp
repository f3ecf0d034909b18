#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "engine/port_name.h"
#include "station/serial_device_info.h"

namespace fs = std::filesystem;

namespace zevuvuri::station {
namespace {

std::string RootFrom(const char* variable, const char* fallback) {
  const char* value = std::getenv(variable);
  return value != nullptr && *value != '\0' ? value : fallback;
}

std::string FirstLine(const fs::path& file) {
  std::ifstream in(file);
  std::string line;
  std::getline(in, line);
  return line;
}

// The USB device (the directory with idVendor) above a tty's sysfs device:
// the interface's parent for ttyACM, one more step up for ttyUSB.
std::optional<fs::path> UsbDeviceDirectory(const std::string& tty_name) {
  std::error_code ec;
  fs::path dir = fs::canonical(fs::path(SysfsRoot()) / "class/tty" / tty_name / "device", ec);
  if (ec) return std::nullopt;
  for (int depth = 0; depth < 4 && !dir.empty() && dir != dir.root_path(); ++depth) {
    if (fs::exists(dir / "idVendor", ec)) return dir;
    dir = dir.parent_path();
  }
  return std::nullopt;
}

}  // namespace

std::string SysfsRoot() { return RootFrom("ZEVUVURI_SYSFS_ROOT", "/sys"); }
std::string DevRoot() { return RootFrom("ZEVUVURI_DEV_ROOT", "/dev"); }

std::string FollowLinks(const std::string& path) {
  std::error_code ec;
  const auto p = fs::canonical(path, ec);
  return ec ? path : p.string();
}

std::string DeviceForPort(const std::string& port_text) {
  const auto named = DeviceForPortText(port_text);
  return named ? FollowLinks(named->path) : std::string();
}

SerialDeviceInfo DescribeDevice(const std::string& device_path) {
  SerialDeviceInfo info;
  info.device = FollowLinks(device_path);
  std::error_code ec;
  std::vector<std::string> by_id;
  for (const auto& entry : fs::directory_iterator(fs::path(DevRoot()) / "serial/by-id", ec)) {
    if (FollowLinks(entry.path().string()) == info.device) by_id.push_back(entry.path().string());
  }
  std::sort(by_id.begin(), by_id.end());
  info.by_id = std::move(by_id);

  const std::string name = fs::path(info.device).filename().string();
  if (const auto usb = UsbDeviceDirectory(name)) {
    info.usb = UsbAdapter{FirstLine(*usb / "idVendor"), FirstLine(*usb / "idProduct"), FirstLine(*usb / "serial"),
                          FirstLine(*usb / "manufacturer"), FirstLine(*usb / "product")};
  }
  const std::string latency = FirstLine(fs::path(SysfsRoot()) / "bus/usb-serial/devices" / name / "latency_timer");
  if (!latency.empty() && std::all_of(latency.begin(), latency.end(), ::isdigit) && latency.size() < 6) {
    info.latency_timer_ms = std::stoi(latency);
  }
  return info;
}

std::vector<std::string> SerialDevices() {
  std::vector<std::string> devices;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(fs::path(SysfsRoot()) / "class/tty", ec)) {
    const std::string name = entry.path().filename().string();
    std::error_code dev_ec;
    if (!fs::exists(entry.path() / "device", dev_ec)) continue;  // virtual terminals have no device
    // Most ttyS entries are placeholders for UARTs that are not fitted.
    if (name.rfind("ttyS", 0) == 0 && FirstLine(entry.path() / "type") == "0") continue;
    devices.push_back(DevRoot() + "/" + name);
  }
  std::sort(devices.begin(), devices.end());
  return devices;
}

}  // namespace zevuvuri::station
