#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <system_error>
#include <thread>

#include "engine/port_name.h"
#include "tools/cli/console.h"
#include "tools/cli/plug_watcher.h"

namespace zevuvuri::cli {

namespace fs = std::filesystem;

namespace {

constexpr std::uint32_t kFolderEvents =
    IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_ATTRIB | IN_DELETE_SELF | IN_ONLYDIR;

// The folder that holds `path`, or the nearest one above it that exists: a
// /dev/serial/by-id appears with the first USB serial device.
fs::path ExistingFolderOf(const fs::path& path) {
  std::error_code ec;
  fs::path folder = path.parent_path();
  while (!folder.empty() && folder != folder.root_path() && !fs::is_directory(folder, ec)) folder = folder.parent_path();
  return folder.empty() ? fs::path("/") : folder;
}

}  // namespace

struct PlugWatcher::Impl {
  std::vector<std::string> ports;
  int inotify = -1;
  int stop[2] = {-1, -1};  // a byte on stop[1] ends the watch thread
  std::thread thread;

  void Watch(const fs::path& path) {
    if (inotify < 0) return;
    // Adding a folder already watched changes nothing; one that was removed
    // and made again is watched anew.
    inotify_add_watch(inotify, ExistingFolderOf(path).c_str(), kFolderEvents);
  }

  // Each change wakes the main loop, which looks at the ports itself.
  void WatchLoop() {
    pollfd fds[2] = {{inotify, POLLIN, 0}, {stop[0], POLLIN, 0}};
    alignas(inotify_event) char events[4096];
    for (;;) {
      if (::poll(fds, 2, -1) < 0 && errno != EINTR) return;
      if ((fds[1].revents & (POLLIN | POLLHUP)) != 0) return;
      if ((fds[0].revents & POLLIN) == 0) continue;
      while (::read(inotify, events, sizeof events) > 0) {
      }
      WakeMainLoop();
    }
  }
};

PlugWatcher::PlugWatcher(std::vector<std::string> ports) : impl_(std::make_unique<Impl>()) {
  impl_->ports = std::move(ports);
  // Without inotify the main loop's short wait still finds every plug.
  impl_->inotify = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (impl_->inotify < 0) return;
  if (::pipe2(impl_->stop, O_CLOEXEC) != 0) {
    ::close(impl_->inotify);
    impl_->inotify = -1;
    return;
  }
  try {
    impl_->thread = std::thread([impl = impl_.get()] { impl->WatchLoop(); });
  } catch (const std::system_error&) {
  }
}

PlugWatcher::~PlugWatcher() {
  if (impl_->thread.joinable()) {
    const char byte = 0;
    [[maybe_unused]] const ssize_t n = ::write(impl_->stop[1], &byte, 1);
    impl_->thread.join();
  }
  for (int fd : {impl_->inotify, impl_->stop[0], impl_->stop[1]}) {
    if (fd >= 0) ::close(fd);
  }
}

bool PlugWatcher::Watchable(const std::string& port_text) { return DeviceForPortText(port_text).has_value(); }

// Each look asks the file system itself: a few calls, nothing listed.
void PlugWatcher::NewPass() {}

std::optional<PortPresence> PlugWatcher::Look(std::size_t slot) {
  // A COM number's unit is there when its link is: the /dev/ttyS device that
  // the number falls back to is no unit that comes and goes.
  const std::string& text = impl_->ports.at(slot);
  if (!Watchable(text)) return std::nullopt;
  const fs::path path = text[0] == '/' ? fs::path(text) : fs::path(PortDirectory()) / ("com" + text);
  impl_->Watch(path);
  struct stat name {};
  if (::lstat(path.c_str(), &name) != 0) return std::nullopt;
  if (S_ISLNK(name.st_mode)) {
    // The device behind a link comes and goes in a folder of its own (/dev,
    // /dev/pts) while the link may stay.
    std::error_code ec;
    const fs::path target = fs::read_symlink(path, ec);
    if (!ec) impl_->Watch(target.is_absolute() ? target : path.parent_path() / target);
  }
  struct stat device {};
  if (::stat(path.c_str(), &device) != 0) return std::nullopt;  // a link to nothing
  // A link is made anew with each device (udev's by-id names, a simulator's
  // comN), and its inode number may be one just freed: its time of making
  // tells it apart. The device's own times are not used: udev changes its
  // group while it stays.
  char mark[160];
  std::snprintf(mark, sizeof mark, "%llx:%llx:%lld.%09ld/%llx:%llx", static_cast<unsigned long long>(name.st_dev),
                static_cast<unsigned long long>(name.st_ino),
                S_ISLNK(name.st_mode) ? static_cast<long long>(name.st_ctim.tv_sec) : 0LL,
                S_ISLNK(name.st_mode) ? name.st_ctim.tv_nsec : 0L, static_cast<unsigned long long>(device.st_dev),
                static_cast<unsigned long long>(device.st_ino));
  return PortPresence{mark, ::access(path.c_str(), R_OK | W_OK) == 0};
}

}  // namespace zevuvuri::cli
