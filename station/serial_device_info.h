// What the kernel knows about a serial device: its /dev/serial/by-id names,
// the USB adapter behind it, and the adapter's latency timer. Read from sysfs
// and /dev on POSIX (serial_device_info_posix.cpp); Windows offers none of it
// here (serial_device_info_win32.cpp).
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "records/unit_record.h"

namespace zevuvuri::station {

using records::UsbAdapter;

struct SerialDeviceInfo {
  std::string device;               // the device node, links followed
  std::vector<std::string> by_id;   // /dev/serial/by-id links that lead to it
  std::optional<UsbAdapter> usb;
  std::optional<int> latency_timer_ms;  // USB serial converters only
};

// $ZEVUVURI_SYSFS_ROOT or /sys, $ZEVUVURI_DEV_ROOT or /dev
// (ProcRoot: engine/port_diagnosis.h): tests point them at prepared trees.
std::string SysfsRoot();
std::string DevRoot();

// The device a path leads to once every link is followed; the path itself
// when it leads nowhere.
std::string FollowLinks(const std::string& path);

// The port text's device, links followed; empty when the text names none.
std::string DeviceForPort(const std::string& port_text);

SerialDeviceInfo DescribeDevice(const std::string& device_path);

// The serial devices the kernel has (hardware ttys, not virtual consoles or
// unfitted UART placeholders), as paths under the device root, sorted.
std::vector<std::string> SerialDevices();

}  // namespace zevuvuri::station
