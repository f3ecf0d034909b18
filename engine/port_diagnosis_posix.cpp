#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "engine/port_diagnosis.h"
#include "engine/port_name.h"

namespace fs = std::filesystem;

namespace zevuvuri {
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

std::string ProcRoot() {
  const char* value = std::getenv("ZEVUVURI_PROC_ROOT");
  return value != nullptr && *value != '\0' ? value : "/proc";
}

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

}  // namespace zevuvuri
