#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <mutex>
#include <system_error>
#include <thread>

#include "engine/port_name.h"
#include "station/plug_watcher.h"

namespace zevuvuri::station {

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

// The device node a slot's last look found, and how often the watch has
// seen that node's name removed since the slot's watch began.
struct DeviceNode {
  int folder = -1;  // the watch on its folder
  std::string name;
  unsigned long long removals = 0;
};

}  // namespace

struct PlugWatcher::Impl {
  std::vector<std::string> ports;
  int inotify = -1;
  int stop[2] = {-1, -1};  // a byte on stop[1] ends the watch thread
  std::thread thread;
  std::mutex mutex;
  std::vector<DeviceNode> nodes;  // one per slot, under mutex
  std::function<void()> wake;

  // The watch on the folder that holds `path` (or the nearest one above it
  // that exists), or -1. Adding a folder already watched changes nothing;
  // one that was removed and made again is watched anew.
  int Watch(const fs::path& path) {
    if (inotify < 0) return -1;
    return inotify_add_watch(inotify, ExistingFolderOf(path).c_str(), kFolderEvents);
  }

  // Slot `slot`'s device is now `node`, in the folder watched by `folder`;
  // returns the removals of its name seen so far.
  unsigned long long Follow(std::size_t slot, int folder, const std::string& node) {
    std::lock_guard lock(mutex);
    DeviceNode& n = nodes.at(slot);
    n.folder = folder;
    n.name = node;
    return n.removals;
  }

  void Removed(int folder, std::string_view name) {
    std::lock_guard lock(mutex);
    for (DeviceNode& n : nodes) {
      if (n.folder == folder && (name.empty() || n.name == name)) ++n.removals;
    }
  }

  // Notes each removal of a followed device node, then wakes the station,
  // which looks at the ports itself.
  void WatchLoop() {
    pollfd fds[2] = {{inotify, POLLIN, 0}, {stop[0], POLLIN, 0}};
    alignas(inotify_event) char events[4096];
    for (;;) {
      if (::poll(fds, 2, -1) < 0 && errno != EINTR) return;
      if ((fds[1].revents & (POLLIN | POLLHUP)) != 0) return;
      if ((fds[0].revents & POLLIN) == 0) continue;
      for (ssize_t n; (n = ::read(inotify, events, sizeof events)) > 0;) {
        for (ssize_t at = 0; at < n;) {
          const auto* e = reinterpret_cast<const inotify_event*>(events + at);
          if ((e->mask & (IN_DELETE | IN_MOVED_FROM)) != 0 && e->len > 0) {
            Removed(e->wd, std::string_view(e->name));
          } else if ((e->mask & (IN_DELETE_SELF | IN_IGNORED)) != 0) {
            Removed(e->wd, {});  // the folder itself went, and its nodes with it
          }
          at += static_cast<ssize_t>(sizeof(inotify_event) + e->len);
        }
      }
      if (wake) wake();
    }
  }
};

PlugWatcher::PlugWatcher(std::vector<std::string> ports, std::function<void()> wake)
    : impl_(std::make_unique<Impl>()) {
  impl_->ports = std::move(ports);
  impl_->wake = std::move(wake);
  impl_->nodes.resize(impl_->ports.size());
  // Without inotify the station's short wait still finds every plug.
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
  // The device node at the end of the links: it comes and goes in a folder
  // of its own (/dev, /dev/pts) while a link to it may stay.
  std::error_code ec;
  const fs::path node = fs::canonical(path, ec);
  if (ec) return std::nullopt;  // a link to nothing
  // Followed before it is looked at, so that no removal can fall between.
  const auto removals = impl_->Follow(slot, impl_->Watch(node), node.filename().string());
  struct stat device {};
  if (::stat(node.c_str(), &device) != 0) return std::nullopt;
  // The unit is the device, never the links that lead to it: a link made
  // anew to the same device (as setup scripts and udev do), touched or
  // given to another owner is the same unit. A device is its number and its
  // node; a board plugged again gets a new node, though a pseudo-terminal's
  // may come back with the same inode and number, which the watch's count of
  // its removals tells apart. The node's times are not used: udev changes its
  // group while it stays.
  char mark[128];
  std::snprintf(mark, sizeof mark, "%llx/%llx:%llx/%llu", static_cast<unsigned long long>(device.st_rdev),
                static_cast<unsigned long long>(device.st_dev), static_cast<unsigned long long>(device.st_ino),
                removals);
  return PortPresence{mark, ::access(path.c_str(), R_OK | W_OK) == 0};
}

}  // namespace zevuvuri::station
