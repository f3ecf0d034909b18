#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>

#include "engine/port_name.h"
#include "tools/cli/port_diagnosis.h"
#include "tools/cli/serial_device_info.h"

namespace fs = std::filesystem;

namespace zevuvuri::cli {
namespace {

std::string Canonical(const std::string& path) {
  std::error_code ec;
  const auto p = fs::canonical(path, ec);
  return ec ? path : p.string();
}

std::string ProcessName(const fs::path& proc_dir) {
  std::ifstream comm(proc_dir / "comm");
  std::string name;
  std::getline(comm, name);
  return name;
}

std::string GroupOf(const std::string& device) {
  struct stat st {};
  if (::stat(device.c_str(), &st) != 0) return "";
  if (const group* g = ::getgrgid(st.st_gid)) return g->gr_name;
  return std::to_string(st.st_gid);
}

}  // namespace

std::vector<std::string> ProcessesHolding(const std::string& device) {
  std::vector<std::string> holders;
  const std::string target = Canonical(device);
  const std::string self = std::to_string(::getpid());
  std::error_code ec;
  for (const auto& proc : fs::directory_iterator(ProcRoot(), ec)) {
    const std::string pid = proc.path().filename().string();
    if (pid == self || !std::all_of(pid.begin(), pid.end(), ::isdigit)) continue;
    std::error_code fd_ec;
    for (const auto& fd : fs::directory_iterator(proc.path() / "fd", fd_ec)) {
      std::error_code link_ec;
      if (fs::read_symlink(fd.path(), link_ec).string() == target) {
        holders.push_back(pid + " (" + ProcessName(proc.path()) + ")");
        break;
      }
    }
  }
  return holders;
}

std::string ExplainOpenFailure(std::string_view port_text, const PortOpenError& error) {
  const std::string text(port_text);
  const std::string& device = error.device;
  const auto named = DeviceForPortText(port_text);
  const bool numbered = named && !text.empty() && text[0] != '/';
  switch (error.kind) {
    case PortFailure::BadPortText:
      return "'" + text + "' names no serial port: give a COM port number such as 1, or a device path such as "
             "/dev/ttyUSB0";
    case PortFailure::NoSuchDevice: {
      std::string why = "no such device: " + device;
      if (numbered && !named->mapped_by.empty()) {
        why += " (COM port " + text + " is the link " + named->mapped_by + "; its device is gone: is the module " +
               "plugged in?)";
      } else if (numbered) {
        why += " (COM port " + text + " maps to it because " + PortDirectory() + "/com" + text +
               " does not exist; to use another device: mkdir -p " + PortDirectory() + " && ln -sf /dev/ttyUSB0 " +
               PortDirectory() + "/com" + text + ")";
      }
      return why;
    }
    case PortFailure::PermissionDenied: {
      const std::string group = GroupOf(device);
      std::string why = "permission denied on " + device;
      if (!group.empty()) {
        why += ": join its group '" + group + "' (sudo usermod -aG " + group + " $USER, then log in again)";
      }
      return why;
    }
    case PortFailure::Busy: {
      const auto holders = ProcessesHolding(device);
      std::string why = device + " is busy: another program holds it";
      if (!holders.empty()) {
        why += " (process";
        for (const auto& h : holders) why += " " + h;
        why += ")";
      }
      return why + "; close it and try again";
    }
    case PortFailure::NotASerialDevice:
      return device + " is not a serial port (it is no terminal device)";
    case PortFailure::SetupFailed:
      return device + " opened but could not be set up: " + std::strerror(error.system_error);
    case PortFailure::Other:
    case PortFailure::None:
      break;
  }
  return device + ": " + std::strerror(error.system_error);
}

std::vector<std::string> ListPorts() {
  std::vector<std::string> lines;
  std::map<std::string, std::vector<std::string>> com_for_device;  // canonical device -> COM numbers

  std::error_code ec;
  const std::string dir = PortDirectory();
  std::vector<std::pair<int, std::string>> links;
  for (const auto& entry : fs::directory_iterator(dir, ec)) {
    const std::string name = entry.path().filename().string();
    if (name.rfind("com", 0) != 0 || name.size() == 3) continue;
    const std::string number = name.substr(3);
    if (!std::all_of(number.begin(), number.end(), ::isdigit)) continue;
    links.emplace_back(std::stoi(number), entry.path().string());
  }
  std::sort(links.begin(), links.end());

  const std::vector<std::string> devices = SerialDevices();
  for (const auto& [n, link] : links) com_for_device[Canonical(link)].push_back(std::to_string(n));

  lines.push_back("Serial devices:");
  if (devices.empty()) lines.push_back("  (none found)");
  for (const auto& d : devices) {
    std::string line = "  " + d;
    std::vector<std::string> coms = com_for_device[Canonical(d)];
    if (d.rfind("/dev/ttyS", 0) == 0) {
      const std::string n = std::to_string(std::stoi(d.substr(9)) + 1);
      if (std::find_if(links.begin(), links.end(), [&](const auto& l) { return std::to_string(l.first) == n; }) ==
          links.end()) {
        coms.push_back(n);
      }
    }
    if (!coms.empty()) {
      line += "   COM";
      for (const auto& c : coms) line += " " + c;
    }
    const SerialDeviceInfo info = DescribeDevice(d);
    if (info.usb) {
      line += "   USB " + info.usb->vendor_id + ":" + info.usb->product_id;
      if (!info.usb->serial.empty()) line += " serial " + info.usb->serial;
      const std::string name = info.usb->manufacturer + (info.usb->manufacturer.empty() ? "" : " ") + info.usb->product;
      if (!name.empty()) line += " (" + name + ")";
    }
    lines.push_back(line);
    for (const auto& id : info.by_id) lines.push_back("      " + id);
  }
  lines.push_back("COM links in " + dir + ":");
  if (links.empty()) lines.push_back("  (none)");
  for (const auto& [n, link] : links) {
    std::error_code link_ec;
    const auto target = fs::read_symlink(link, link_ec);
    lines.push_back("  COM " + std::to_string(n) + " -> " + (link_ec ? link : target.string()) +
                    (fs::exists(link, link_ec) ? "" : "   (missing)"));
  }
  return lines;
}

}  // namespace zevuvuri::cli
