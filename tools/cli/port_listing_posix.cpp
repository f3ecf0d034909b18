#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <map>

#include "engine/port_name.h"
#include "tools/cli/port_listing.h"
#include "tools/cli/serial_device_info.h"

namespace fs = std::filesystem;

namespace zevuvuri::cli {
namespace {

std::string Canonical(const std::string& path) {
  std::error_code ec;
  const auto p = fs::canonical(path, ec);
  return ec ? path : p.string();
}

}  // namespace

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
