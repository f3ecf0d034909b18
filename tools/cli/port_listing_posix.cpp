#include <algorithm>
#include <charconv>
#include <filesystem>
#include <map>

#include "engine/port_name.h"
#include "tools/cli/port_listing.h"
#include "station/serial_device_info.h"

namespace fs = std::filesystem;

namespace zevuvuri::cli {

using station::DescribeDevice;
using station::SerialDeviceInfo;
using station::SerialDevices;

namespace {

std::string Canonical(const std::string& path) {
  std::error_code ec;
  const auto p = fs::canonical(path, ec);
  return ec ? path : p.string();
}

// The COM number whose default mapping (COM N is /dev/ttyS{N-1}) opens
// `device`, asked of the same rules that --port follows, so ttySC0, ttyS01 or
// a number past the COM range get none.
std::optional<std::string> DefaultComNumber(const std::string& device) {
  const std::string prefix = "/dev/ttyS";
  if (device.rfind(prefix, 0) != 0) return std::nullopt;
  const char* first = device.data() + prefix.size();
  const char* last = device.data() + device.size();
  unsigned long long n = 0;
  const auto [end, ec] = std::from_chars(first, last, n);
  if (ec != std::errc{} || end != last || first == last) return std::nullopt;
  const std::string com = std::to_string(n + 1);
  const auto named = DeviceForPortText(com);
  if (!named || !named->mapped_by.empty() || named->path != device) return std::nullopt;
  return com;
}

}  // namespace

std::vector<std::string> ListPorts() {
  std::vector<std::string> lines;
  std::map<std::string, std::vector<std::string>> com_for_device;  // canonical device -> COM numbers

  // Only the links that --port N would follow: "comN" with N as --port
  // takes it (decimal, no leading zero, at most nine digits).
  std::error_code ec;
  const std::string dir = PortDirectory();
  std::vector<std::pair<unsigned long, std::string>> links;
  for (const auto& entry : fs::directory_iterator(dir, ec)) {
    const std::string name = entry.path().filename().string();
    if (name.rfind("com", 0) != 0) continue;
    const std::string number = name.substr(3);
    const auto named = DeviceForPortText(number);
    unsigned long n = 0;
    if (!named || named->mapped_by.empty()) continue;
    std::from_chars(number.data(), number.data() + number.size(), n);  // nine digits at most: fits
    links.emplace_back(n, entry.path().string());
  }
  std::sort(links.begin(), links.end());

  const std::vector<std::string> devices = SerialDevices();
  for (const auto& [n, link] : links) com_for_device[Canonical(link)].push_back(std::to_string(n));

  lines.push_back("Serial devices:");
  if (devices.empty()) lines.push_back("  (none found)");
  for (const auto& d : devices) {
    std::string line = "  " + d;
    std::vector<std::string> coms = com_for_device[Canonical(d)];
    if (const auto com = DefaultComNumber(d)) coms.push_back(*com);
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
