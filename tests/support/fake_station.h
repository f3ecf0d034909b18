// A sysfs, /dev, /proc and udev database laid out as the kernel and udev lay
// them out on a flashing station: an FTDI converter (ttyUSB0, its USB device
// two levels up, latency timer at the 16 ms default, a by-id link), a CDC-ACM
// module (ttyACM0, its USB device one level up) that only root may open, a
// virtual console, and ModemManager running. The loader reads it through
// ZEVUVURI_SYSFS_ROOT and its siblings (Env).
#pragma once

#include <filesystem>
#include <map>
#include <string>

#include "tests/support/pseudo_terminal.h"

namespace zevuvuri::testing {

class FakeStation {
 public:
  FakeStation();

  std::filesystem::path Root() const { return std::filesystem::path(dir_.Path()) / "station"; }
  std::filesystem::path Dev(const std::string& name) const { return Root() / "dev" / name; }
  std::filesystem::path ByIdLink() const {
    return Dev("serial/by-id/usb-FTDI_FT232R_USB_UART_A1B2C3-if00-port0");
  }
  std::filesystem::path LatencyTimer() const {
    return Root() / "sys/bus/usb-serial/devices/ttyUSB0/latency_timer";
  }
  std::filesystem::path UdevData(const std::string& name) const { return Root() / "udev" / name; }
  std::filesystem::path Proc() const { return Root() / "proc"; }
  std::map<std::string, std::string> Env() const;

 private:
  TempDir dir_;
};

// Writes `content` as the whole file, making its folders first.
void WriteFile(const std::filesystem::path& path, const std::string& content);
// The whole file's bytes; empty when it cannot be read.
std::string ReadFile(const std::filesystem::path& path);

}  // namespace zevuvuri::testing
