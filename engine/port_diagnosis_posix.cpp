#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>

#include "engine/port_diagnosis.h"
#include "engine/port_name.h"

namespace fs = std::filesystem;

namespace zevuvuri {
namespace {

// Pseudo-terminal slaves live on a devpts file system, and each instance of
// it (a container's, a sandbox's own) numbers its terminals from 0 under the
// same device numbers: /dev/pts/1 of two instances has one st_rdev.
constexpr unsigned long kDevptsMagic = 0x1cd1;

// What a device is, whatever path leads to it: a character device is its
// device number, also through another node or a link; a pseudo-terminal is
// that and its instance; anything else is its file.
struct DeviceIdentity {
  bool character = false;
  dev_t rdev = 0;
  bool pseudo_terminal = false;
  dev_t dev = 0;
  ino_t ino = 0;

  // `path` may be a /proc/PID/fd/N link: statx and statfs follow it to the
  // open file itself, whichever name the holder opened it by. The cached
  // attributes do (AT_STATX_DONT_SYNC): a holder's file on a network file
  // system whose server is gone must not hold up the answer.
  static std::optional<DeviceIdentity> Of(const std::string& path) {
    struct statx st {};
    if (::statx(AT_FDCWD, path.c_str(), AT_STATX_DONT_SYNC, STATX_TYPE | STATX_INO, &st) != 0) return std::nullopt;
    DeviceIdentity id;
    id.character = S_ISCHR(st.stx_mode);
    id.rdev = makedev(st.stx_rdev_major, st.stx_rdev_minor);
    id.dev = makedev(st.stx_dev_major, st.stx_dev_minor);
    id.ino = st.stx_ino;
    struct statfs fs {};
    id.pseudo_terminal = id.character && ::statfs(path.c_str(), &fs) == 0 &&
                         static_cast<unsigned long>(fs.f_type) == kDevptsMagic;
    return id;
  }

  bool SameAs(const DeviceIdentity& other) const {
    if (character != other.character) return false;
    if (!character) return dev == other.dev && ino == other.ino;
    if (rdev != other.rdev) return false;
    return !pseudo_terminal || !other.pseudo_terminal || dev == other.dev;
  }
};

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
  // Compared by identity, not by name: the text of a holder's fd link is the
  // path in its own mount namespace, which may name another device.
  const auto target = DeviceIdentity::Of(device);
  if (!target) return holders;
  const std::string self = std::to_string(::getpid());
  std::error_code ec;
  for (const auto& proc : fs::directory_iterator(ProcRoot(), ec)) {
    const std::string pid = proc.path().filename().string();
    if (pid == self || !std::all_of(pid.begin(), pid.end(), ::isdigit)) continue;
    std::error_code fd_ec;
    for (const auto& fd : fs::directory_iterator(proc.path() / "fd", fd_ec)) {
      const auto held = DeviceIdentity::Of(fd.path().string());
      if (held && held->SameAs(*target)) {
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
