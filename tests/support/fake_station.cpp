#include "tests/support/fake_station.h"

#include <fstream>
#include <iterator>

namespace zevuvuri::testing {

namespace fs = std::filesystem;

void WriteFile(const fs::path& path, const std::string& content) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << content;
}

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

FakeStation::FakeStation() {
  const fs::path sys = Root() / "sys";
  const fs::path usb = sys / "devices/pci0000:00/usb1/1-1";
  WriteFile(usb / "idVendor", "0403\n");
  WriteFile(usb / "idProduct", "6001\n");
  WriteFile(usb / "serial", "A1B2C3\n");
  WriteFile(usb / "manufacturer", "FTDI\n");
  WriteFile(usb / "product", "FT232R USB UART\n");
  fs::create_directories(usb / "1-1:1.0/ttyUSB0");
  fs::create_directories(sys / "class/tty/ttyUSB0");
  fs::create_symlink(usb / "1-1:1.0/ttyUSB0", sys / "class/tty/ttyUSB0/device");
  WriteFile(LatencyTimer(), "16\n");

  const fs::path acm = sys / "devices/pci0000:00/usb1/1-2";
  WriteFile(acm / "idVendor", "2fe3\n");
  WriteFile(acm / "idProduct", "0100\n");
  fs::create_directories(acm / "1-2:1.0");
  fs::create_directories(sys / "class/tty/ttyACM0");
  fs::create_symlink(acm / "1-2:1.0", sys / "class/tty/ttyACM0/device");
  WriteFile(sys / "class/tty/ttyACM0/dev", "166:0\n");
  fs::create_directories(sys / "class/tty/tty1");  // a virtual console: no device

  WriteFile(Dev("ttyUSB0"), "");
  WriteFile(Dev("ttyACM0"), "");
  fs::permissions(Dev("ttyUSB0"), fs::perms::all);
  // No one but root may open it, whoever runs the test.
  fs::permissions(Dev("ttyACM0"), fs::perms::none);
  fs::create_directories(ByIdLink().parent_path());
  fs::create_symlink("../../ttyUSB0", ByIdLink());

  WriteFile(Proc() / "4242/comm", "ModemManager\n");
  WriteFile(Proc() / "4243/comm", "bash\n");
  fs::create_directories(Root() / "udev");
  // Readable by the ordinary user the permission checks run as.
  for (const auto& d : {fs::path(dir_.Path()), Root()}) {
    fs::permissions(d, fs::perms::all & ~(fs::perms::group_write | fs::perms::others_write));
  }
}

std::map<std::string, std::string> FakeStation::Env() const {
  return {{"ZEVUVURI_SYSFS_ROOT", Root() / "sys"},
          {"ZEVUVURI_DEV_ROOT", Root() / "dev"},
          {"ZEVUVURI_PROC_ROOT", Proc()},
          {"ZEVUVURI_UDEV_DATA_DIR", Root() / "udev"},
          {"ZEVUVURI_PORT_DIR", dir_.Path() + "/ports"}};
}

}  // namespace zevuvuri::testing
