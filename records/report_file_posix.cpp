#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <optional>
#include <thread>
#include <utility>

#include "records/report_file.h"

namespace zevuvuri::records {
namespace {

using Clock = std::chrono::steady_clock;

constexpr auto kReaderCheck = std::chrono::milliseconds{100};
// After Ctrl-C the records still to come (the interrupted units') get this
// long in all to find room in a pipe or a device: a reader that stopped
// reading must not hold the loader past the interrupt.
constexpr auto kAfterInterrupt = std::chrono::seconds{1};

bool IsFifo(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISFIFO(st.st_mode);
}

// Whether the last byte of a regular file ends a line (an empty file does);
// `reader` is the file opened for reading, or -1 when it could not be.
bool EndsWithNewline(int reader) {
  struct stat st {};
  if (reader < 0 || ::fstat(reader, &st) != 0 || st.st_size == 0) return true;
  char last = '\n';
  return ::pread(reader, &last, 1, st.st_size - 1) != 1 || last == '\n';
}

// The same file as `fd`, opened for reading: the records' descriptor stays
// write-only, as a FIFO's must, and a file this user may only write to
// still takes records.
int OpenReader(const std::string& path, int fd) {
  const int reader = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  struct stat a {}, b {};
  if (reader >= 0 && ::fstat(fd, &a) == 0 && ::fstat(reader, &b) == 0 && a.st_dev == b.st_dev &&
      a.st_ino == b.st_ino) {
    return reader;
  }
  if (reader >= 0) ::close(reader);
  return -1;
}

// How long poll waits at a time, so that an interrupt is seen promptly.
constexpr auto kRoomCheck = std::chrono::milliseconds{50};

// Whether a pipe or a device has room for a write now.
bool HasRoom(int fd) {
  pollfd p{fd, POLLOUT, 0};
  return ::poll(&p, 1, 0) > 0 && (p.revents & POLLOUT) != 0;
}

// Writes all of `bytes`, `*done` of them so far; `*out_of_time` when a wait
// for room ran out. A regular file's descriptor blocks, and its writes never
// wait for room. A pipe's or a device's does not: a write that finds no room waits for it until
// kRecordWriteLimit has passed since the record began, or, from an
// interrupt on, until `*deadline` (set then), whichever comes first.
bool WriteAll(int fd, const std::string& bytes, const StopCheck& stop, std::optional<Clock::time_point>* deadline,
              std::size_t* done, bool* out_of_time, std::string* why) {
  *out_of_time = false;
  const Clock::time_point limit = Clock::now() + kRecordWriteLimit;
  while (*done < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + *done, bytes.size() - *done);
    if (n > 0) {
      // A pipe may take a long record in parts; a file cut short by a full
      // disk gets the error on the next call.
      *done += static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      if (stop.asked && stop.asked() && !*deadline) *deadline = Clock::now() + kAfterInterrupt;
      const Clock::time_point until = *deadline ? std::min(limit, **deadline) : limit;
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now());
      if (left.count() <= 0) {
        *out_of_time = true;
        if (*deadline) {
          *why = "interrupted: the reader took no more";
        } else {
          *why = "its reader took no more for " +
                 std::to_string(std::chrono::seconds(kRecordWriteLimit).count()) + " s";
        }
        return false;
      }
      pollfd p{fd, POLLOUT, 0};
      ::poll(&p, 1, static_cast<int>(std::min(left, kRoomCheck).count()));
      continue;
    }
    *why = n < 0 ? std::strerror(errno) : "nothing written";
    return false;
  }
  return true;
}

}  // namespace

struct ReportFile::Handle {
  int fd = -1;
  bool regular = false;
  int reader = -1;  // regular files: for the look at the last byte
  // Regular files: who the file is, and its size after the last record.
  dev_t device = 0;
  ino_t inode = 0;
  off_t size = 0;
  std::optional<Clock::time_point> deadline;  // set by the first write after an interrupt
  StopCheck stop;
  // Pipes and devices: the last record ran out of time (its reader takes
  // nothing), and whether it went out in part, so that the next one starts
  // on a line of its own.
  bool stalled = false;
  bool torn = false;
  ~Handle() {
    if (fd >= 0) ::close(fd);
    if (reader >= 0) ::close(reader);
  }
};

ReportFile::ReportFile(std::string path, std::unique_ptr<Handle> handle)
    : path_(std::move(path)), handle_(std::move(handle)) {}

ReportFile::~ReportFile() = default;

std::unique_ptr<ReportFile> ReportFile::Open(const std::string& utf8_path, std::string* error, StopCheck stop) {
  // Without O_NONBLOCK, opening a FIFO blocks in the kernel until a reader
  // comes, past Ctrl-C; with it, the loader waits here and an interrupt ends
  // the wait.
  auto handle = std::make_unique<Handle>();
  handle->stop = std::move(stop);
  const auto asked = [&check = handle->stop] { return check.asked && check.asked(); };
  for (;;) {
    handle->fd = ::open(utf8_path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NONBLOCK, 0644);
    if (handle->fd >= 0) break;
    const int open_errno = errno;
    if (open_errno == EINTR) continue;
    if (open_errno == ENXIO && IsFifo(utf8_path) && !asked()) {
      if (handle->stop.pause) handle->stop.pause(kReaderCheck);
      else std::this_thread::sleep_for(kReaderCheck);
      if (!asked()) continue;
    }
    *error = utf8_path + ": " + (asked() ? "interrupted" : std::strerror(open_errno));
    return nullptr;
  }
  // A regular file's records are written with blocking writes, whole. A
  // pipe or a device keeps O_NONBLOCK: a reader that takes nothing must not
  // hold the append (and the window thread it may run on) past
  // kRecordWriteLimit.
  struct stat st {};
  handle->regular = ::fstat(handle->fd, &st) == 0 && S_ISREG(st.st_mode);
  if (handle->regular) {
    const int flags = ::fcntl(handle->fd, F_GETFL);
    if (flags >= 0) ::fcntl(handle->fd, F_SETFL, flags & ~O_NONBLOCK);
    handle->reader = OpenReader(utf8_path, handle->fd);
    handle->device = st.st_dev;
    handle->inode = st.st_ino;
    handle->size = st.st_size;
  }
  return std::unique_ptr<ReportFile>(new ReportFile(utf8_path, std::move(handle)));
}

namespace {

enum class Change { None, Deleted, Moved, Emptied };

const char* ChangeText(Change change) {
  switch (change) {
    case Change::Deleted: return "was deleted";
    case Change::Moved: return "was moved away or replaced";
    case Change::Emptied: return "was emptied";
    case Change::None: break;
  }
  return "";
}

// Whether the path still leads to the file held, at least as long as it was
// after the last record.
Change Look(const std::string& path, int fd, dev_t device, ino_t inode, off_t size) {
  struct stat held {};
  const bool held_known = ::fstat(fd, &held) == 0;
  struct stat named {};
  if (::stat(path.c_str(), &named) != 0) {
    // Anything but "no such file" (a share away for a moment): the file
    // held keeps the record. A file held that has a name left was renamed.
    if (errno != ENOENT) return Change::None;
    return held_known && held.st_nlink > 0 ? Change::Moved : Change::Deleted;
  }
  if (named.st_dev != device || named.st_ino != inode) return Change::Moved;
  if (held_known && held.st_size < size) return Change::Emptied;
  return Change::None;
}

}  // namespace

// A file that rotation moved, deleted or emptied: the path is opened again,
// so the record lands where readers of the path (the forwarder) look. The
// file held before is let go; what it holds stays where rotation put it.
bool ReportFile::FollowPath(std::string* why) {
  Handle& h = *handle_;
  const Change change = Look(path_, h.fd, h.device, h.inode, h.size);
  if (change == Change::None) return true;
  if (change != Change::Emptied) {
    // O_NONBLOCK: a FIFO put at the path must not hold the station.
    const int fd = ::open(path_.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NONBLOCK, 0644);
    const int open_errno = errno;
    struct stat st {};
    if (fd < 0 || ::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
      *why = std::string(ChangeText(change)) + " and no fresh file could be started there: " +
             (fd < 0 ? std::strerror(open_errno) : "it is no longer a regular file");
      if (fd >= 0) ::close(fd);
      return false;
    }
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags >= 0) ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    ::close(h.fd);
    if (h.reader >= 0) ::close(h.reader);
    h.fd = fd;
    h.reader = OpenReader(path_, fd);
    h.device = st.st_dev;
    h.inode = st.st_ino;
  }
  h.size = 0;
  fresh_start_ = path_ + " " + ChangeText(change) + ": a fresh journal was started there";
  return true;
}

bool ReportFile::Append(const std::string& line, std::string* error) {
  std::string whole = line + "\n";
  std::string why;
  if (handle_->regular && !FollowPath(&why)) {
    *error = path_ + ": " + why;
    return false;
  }
  const int fd = handle_->fd;
  bool ok = true;
  if (handle_->regular) {
    // Loaders sharing the file take turns, so that the look at its last
    // byte and the write that follows belong together.
    while (::flock(fd, LOCK_EX) != 0 && errno == EINTR) {
    }
    if (!EndsWithNewline(handle_->reader)) whole = "\n" + whole;
    // O_APPEND places the write at the end in one step: a record is never
    // split by another writer's.
    std::size_t done = 0;
    bool out_of_time = false;
    ok = WriteAll(fd, whole, handle_->stop, &handle_->deadline, &done, &out_of_time, &why);
    if (ok && ::fdatasync(fd) != 0) {
      ok = false;
      why = std::strerror(errno);
    }
    // With the records of other loaders sharing the file: only a shrink
    // below this is an emptying.
    struct stat st {};
    if (::fstat(fd, &st) == 0) handle_->size = st.st_size;
    ::flock(fd, LOCK_UN);
  } else {
    // A pipe or a device. Once a record ran out of time, the next ones are
    // not waited for while there is still no room at all: each is said to
    // be lost at once, rather than holding its caller another
    // kRecordWriteLimit.
    Handle& h = *handle_;
    if (h.stalled && !HasRoom(fd)) {
      *error = path_ + ": its reader still takes no more";
      return false;
    }
    // A record cut short is ended by the next one's newline, so that a
    // reader finds every later record on a line of its own.
    if (h.torn) whole = "\n" + whole;
    std::size_t done = 0;
    ok = WriteAll(fd, whole, h.stop, &h.deadline, &done, &h.stalled, &why);
    // A torn record stays unended until some of the next one went out.
    h.torn = !ok && (done > 0 || h.torn);
  }
  if (!ok) *error = path_ + ": " + why;
  return ok;
}

std::optional<std::string> ReportFile::FreshStart() { return std::exchange(fresh_start_, std::nullopt); }

std::string HostName() {
  char name[256] = {};
  if (::gethostname(name, sizeof name - 1) != 0) return "";
  return name;
}

bool SameFile(const std::string& a, const std::string& b) {
  struct stat first {}, second {};
  return ::stat(a.c_str(), &first) == 0 && ::stat(b.c_str(), &second) == 0 && first.st_dev == second.st_dev &&
         first.st_ino == second.st_ino;
}

}  // namespace zevuvuri::records
