#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "engine/port_diagnosis.h"
#include "engine/port_name.h"
#include "station/serial_device_info.h"
#include "tools/cli/station_doctor.h"

namespace fs = std::filesystem;

namespace zevuvuri::cli {

using station::DescribeDevice;
using station::SerialDeviceInfo;
using station::SerialDevices;
using station::SysfsRoot;

namespace {

// A 64 KiB firmware is 1171 data frames, each waiting for its reply.
constexpr int kFramesPer64KiB = 1171;
// The sequence paces data frames at 10 ms; a timer at 1 ms hides under it.
constexpr int kHarmlessLatencyMs = 1;

std::string FirstLine(const fs::path& file) {
  std::ifstream in(file);
  std::string line;
  std::getline(in, line);
  return line;
}

std::string GroupOf(const struct stat& st) {
  if (const group* g = ::getgrgid(st.st_gid)) return g->gr_name;
  return std::to_string(st.st_gid);
}

// Whether udev has marked a tty for ModemManager to leave alone.
bool IgnoredByModemManager(const std::string& tty_name) {
  const std::string numbers = FirstLine(fs::path(SysfsRoot()) / "class/tty" / tty_name / "dev");
  if (numbers.empty()) return false;
  const char* dir = std::getenv("ZEVUVURI_UDEV_DATA_DIR");
  std::ifstream data(fs::path(dir != nullptr && *dir != '\0' ? dir : "/run/udev/data") / ("c" + numbers));
  std::string line;
  while (std::getline(data, line)) {
    if (line == "E:ID_MM_DEVICE_IGNORE=1") return true;
  }
  return false;
}

std::vector<std::string> ModemManagerProcesses() {
  std::vector<std::string> pids;
  std::error_code ec;
  for (const auto& proc : fs::directory_iterator(ProcRoot(), ec)) {
    const std::string pid = proc.path().filename().string();
    if (!std::all_of(pid.begin(), pid.end(), ::isdigit)) continue;
    if (FirstLine(proc.path() / "comm") == "ModemManager") pids.push_back(pid);
  }
  std::sort(pids.begin(), pids.end());
  return pids;
}

void CheckAccess(const std::string& device, std::vector<Finding>* findings) {
  struct stat st {};
  if (::stat(device.c_str(), &st) != 0) {
    findings->push_back({true, device + ": no such device", "plug the module in, or check the port's name"});
    return;
  }
  // Opening the device would toggle its modem lines and could reset a board:
  // ask the kernel whether this user could, without opening.
  if (::access(device.c_str(), R_OK | W_OK) != 0) {
    const std::string group = GroupOf(st);
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
    findings->push_back({true,
                         device + ": this user may not open it (group '" + group + "', mode " + mode + ")",
                         "join its group: sudo usermod -aG " + group + " $USER, then log in again"});
    return;
  }
  findings->push_back({false, device + ": this user may open it", ""});
}

void CheckHolders(const std::string& device, std::vector<Finding>* findings) {
  const auto holders = ProcessesHolding(device);
  if (holders.empty()) return;
  std::string list;
  for (const auto& h : holders) list += (list.empty() ? "" : ", ") + h;
  findings->push_back({true, device + ": held by process " + list,
                       "close that program (a terminal, another loader) before flashing; the loader opens ports "
                       "exclusively"});
}

void CheckLatency(const SerialDeviceInfo& info, std::vector<Finding>* findings) {
  if (!info.latency_timer_ms) return;
  const int ms = *info.latency_timer_ms;
  const std::string name = fs::path(info.device).filename().string();
  const std::string file = SysfsRoot() + "/bus/usb-serial/devices/" + name + "/latency_timer";
  if (ms <= kHarmlessLatencyMs) {
    findings->push_back({false, info.device + ": USB latency timer " + std::to_string(ms) + " ms", ""});
    return;
  }
  char cost[200];
  std::snprintf(cost, sizeof cost,
                ": USB latency timer %d ms: the adapter holds each reply up to %d ms, up to %d ms more per "
                "frame (%.1f s more on a 64 KiB firmware)",
                ms, ms, ms, ms * kFramesPer64KiB / 1000.0);
  findings->push_back({true, info.device + cost,
                       "run the loader with --pacing fast, which sets the driver's low-latency flag (the timer "
                       "drops to 1 ms while the port is open, no root needed); or for every program: echo 1 | "
                       "sudo tee " + file +
                           "; to keep it, a udev rule: ACTION==\"add\", SUBSYSTEM==\"usb-serial\", "
                           "ATTR{latency_timer}=\"1\" in /etc/udev/rules.d/99-serial-latency.rules"});
}

void CheckModemManager(const std::vector<SerialDeviceInfo>& devices, std::vector<Finding>* findings) {
  const auto pids = ModemManagerProcesses();
  if (pids.empty()) {
    findings->push_back({false, "ModemManager is not running", ""});
    return;
  }
  bool probed = false;
  for (const auto& info : devices) {
    const std::string name = fs::path(info.device).filename().string();
    if (name.rfind("ttyACM", 0) != 0 || IgnoredByModemManager(name)) continue;
    probed = true;
    std::string rule = "ENV{ID_MM_DEVICE_IGNORE}=\"1\"";
    if (info.usb) {
      rule = "ATTRS{idVendor}==\"" + info.usb->vendor_id + "\", ATTRS{idProduct}==\"" + info.usb->product_id +
             "\", " + rule;
    }
    findings->push_back(
        {true,
         info.device + ": ModemManager (process " + pids.front() +
             ") probes this CDC-ACM device with AT commands and holds it for seconds after it appears",
         "keep it away with a udev rule: " + rule +
             " in /etc/udev/rules.d/99-modemmanager-ignore.rules, then sudo udevadm control --reload && sudo "
             "udevadm trigger; or, if the station has no modem: sudo systemctl disable --now ModemManager"});
  }
  if (!probed) {
    findings->push_back({false, "ModemManager is running (process " + pids.front() +
                                    "), but leaves this station's CDC-ACM devices alone (none, or marked ignored)",
                         ""});
  }
}

}  // namespace

bool DoctorAvailable() { return true; }

std::vector<Finding> CheckStation(const std::vector<std::string>& port_texts) {
  std::vector<Finding> findings;
  std::vector<std::string> paths = SerialDevices();
  for (const auto& text : port_texts) {
    const auto named = DeviceForPortText(text);
    if (!named) {
      findings.push_back({true, "'" + text + "' names no serial port",
                          "give a COM port number such as 1, or a device path such as /dev/ttyUSB0"});
      continue;
    }
    paths.push_back(named->path);
  }
  if (paths.empty()) findings.push_back({false, "no serial devices found", ""});

  std::vector<SerialDeviceInfo> devices;
  for (const auto& path : paths) {
    SerialDeviceInfo info = DescribeDevice(path);
    if (std::any_of(devices.begin(), devices.end(), [&](const auto& d) { return d.device == info.device; })) continue;
    CheckAccess(info.device, &findings);
    CheckHolders(info.device, &findings);
    CheckLatency(info, &findings);
    devices.push_back(std::move(info));
  }
  CheckModemManager(devices, &findings);
  return findings;
}

}  // namespace zevuvuri::cli
