// POSIX serial device: termios for the line, poll() on the device and on a
// wake-up pipe so that blocked reads and writes can be ended cooperatively.
#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <optional>

#include "engine/port_diagnosis.h"
#include "engine/port_name.h"
#include "engine/serial_port.h"

namespace zevuvuri {
namespace {

PortFailure FailureForErrno(int error) {
  switch (error) {
    case ENOENT:
    case ENXIO:
    case ENODEV:
    case ENOTDIR:
      return PortFailure::NoSuchDevice;
    case EACCES:
    case EPERM:
    case EROFS:
      return PortFailure::PermissionDenied;
    case EBUSY:
    case EWOULDBLOCK:
      return PortFailure::Busy;
    case ENOTTY:
    case EINVAL:
    case EISDIR:
      return PortFailure::NotASerialDevice;
    default:
      return PortFailure::Other;
  }
}

bool SpeedFor(std::uint32_t baud, speed_t* speed) {
  switch (baud) {
    case 1200: *speed = B1200; return true;
    case 2400: *speed = B2400; return true;
    case 4800: *speed = B4800; return true;
    case 9600: *speed = B9600; return true;
    case 19200: *speed = B19200; return true;
    case 38400: *speed = B38400; return true;
    case 57600: *speed = B57600; return true;
    case 115200: *speed = B115200; return true;
    case 230400: *speed = B230400; return true;
    default: return false;
  }
}

// Raw bytes both ways: no line editing, echo or signals, no CR/LF translation,
// and no XON/XOFF, which would swallow 0x11 and 0x13 bytes of the firmware.
// Stop bits stay as the driver has them.
void MakeRaw(termios* t) {
  t->c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF |
                                       IXANY | INPCK);
  t->c_oflag &= ~static_cast<tcflag_t>(OPOST);
  t->c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
  t->c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CRTSCTS);
  t->c_cflag |= CS8 | CREAD | CLOCAL;
  t->c_cc[VMIN] = 0;
  t->c_cc[VTIME] = 0;
}

class PosixSerialPort final : public SerialPort {
 public:
  PosixSerialPort(int fd, int wake_read, int wake_write) : fd_(fd), wake_read_(wake_read), wake_write_(wake_write) {}

  ~PosixSerialPort() override {
    if (saved_serial_) ::ioctl(fd_, TIOCSSERIAL, &*saved_serial_);
    ::ioctl(fd_, TIOCNXCL);  // the exclusive flag would otherwise outlive us on a pseudo-terminal
    ::close(fd_);            // also releases the flock
    ::close(wake_read_);
    ::close(wake_write_);
  }

  bool SetBaudRate(std::uint32_t baud) override {
    speed_t speed{};
    termios t{};
    if (!SpeedFor(baud, &speed) || ::tcgetattr(fd_, &t) != 0) return false;
    ::cfsetispeed(&t, speed);
    ::cfsetospeed(&t, speed);
    return ::tcsetattr(fd_, TCSANOW, &t) == 0;
  }

  bool Write(std::span<const std::uint8_t> bytes) override {
    std::size_t done = 0;
    while (done < bytes.size()) {
      if (interrupted_.load()) return false;
      const ssize_t n = ::write(fd_, bytes.data() + done, bytes.size() - done);
      if (n > 0) {
        done += static_cast<std::size_t>(n);
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && errno != EAGAIN) return Failed(errno);
      if (!WaitFor(POLLOUT)) return false;  // the driver's queue is full: wait for room
    }
    return true;
  }

  bool Drain() override {
    for (;;) {
      if (interrupted_.load()) return false;
      if (::tcdrain(fd_) == 0) return true;
      if (errno != EINTR) return Failed(errno);
    }
  }

  std::size_t ReadQueuedOrOne(std::span<std::uint8_t> buffer) override {
    if (interrupted_.load() || buffer.empty()) return 0;
    if (Queued() == 0 && !WaitFor(POLLIN)) return 0;
    // Everything queued now, at least the byte that woke us: a reply and the
    // bytes that came with it are one arrival.
    const std::size_t want = std::clamp<std::size_t>(Queued(), 1, buffer.size());
    for (;;) {
      const ssize_t n = ::read(fd_, buffer.data(), want);
      if (n > 0) return static_cast<std::size_t>(n);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && errno == EAGAIN) return 0;  // a spurious wake-up
      // End of file on a terminal is a hang-up; EIO is a device that is gone.
      if (n == 0) gone_.store(true);
      if (n < 0) Failed(errno);
      return 0;
    }
  }

  bool Gone() const override { return gone_.load(); }

  void SetLowLatency() override {
    serial_struct settings{};
    if (saved_serial_ || ::ioctl(fd_, TIOCGSERIAL, &settings) != 0) return;  // ptys and some drivers have none
    const serial_struct previous = settings;
    settings.flags |= ASYNC_LOW_LATENCY;
    if (::ioctl(fd_, TIOCSSERIAL, &settings) == 0) saved_serial_ = previous;
  }

  void Interrupt() override {
    interrupted_.store(true);
    const char byte = 1;
    [[maybe_unused]] ssize_t ignored = ::write(wake_write_, &byte, 1);
  }

 private:
  std::size_t Queued() const {
    int queued = 0;
    if (::ioctl(fd_, FIONREAD, &queued) != 0 || queued < 0) return 0;
    return static_cast<std::size_t>(queued);
  }

  // Errors that mean the device itself went away, as opposed to one failed
  // call: from then on nothing will arrive.
  bool Failed(int error) {
    if (error == EIO || error == ENXIO || error == ENODEV || error == EPIPE) gone_.store(true);
    return false;
  }

  // Waits without a time limit until the device is ready for `events`; false
  // when interrupted or the device hung up without being ready.
  bool WaitFor(short events) {
    for (;;) {
      pollfd fds[2] = {{fd_, events, 0}, {wake_read_, POLLIN, 0}};
      const int n = ::poll(fds, 2, -1);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 || fds[1].revents != 0 || interrupted_.load()) return false;
      if (fds[0].revents & events) return true;
      if (fds[0].revents & (POLLHUP | POLLERR | POLLNVAL)) {
        gone_.store(true);
        return false;
      }
    }
  }

  const int fd_;
  const int wake_read_;
  const int wake_write_;
  std::atomic<bool> interrupted_{false};
  std::atomic<bool> gone_{false};
  std::optional<serial_struct> saved_serial_;  // set while the low-latency flag is ours
};

std::unique_ptr<SerialPort> Fail(PortOpenError* error, PortFailure kind, std::string device, int system_error,
                                 int fd_to_close = -1) {
  if (fd_to_close >= 0) ::close(fd_to_close);
  if (error != nullptr) *error = PortOpenError{kind, std::move(device), system_error};
  return nullptr;
}

}  // namespace

std::unique_ptr<SerialPort> SerialPort::Open(std::string_view port_text, PortOpenError* error) {
  const auto named = DeviceForPortText(port_text);
  if (!named) return Fail(error, PortFailure::BadPortText, "", 0);
  const std::string& path = named->path;

  const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return Fail(error, FailureForErrno(errno), path, errno);

  // No sharing: a port that another loader (flock) or another program
  // (TIOCEXCL) holds does not open.
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) return Fail(error, PortFailure::Busy, path, errno, fd);

  termios t{};
  if (::tcgetattr(fd, &t) != 0) {
    const int e = errno;
    return Fail(error, e == ENOTTY || e == EINVAL ? PortFailure::NotASerialDevice : FailureForErrno(e), path, e, fd);
  }
  if (::ioctl(fd, TIOCEXCL) != 0) return Fail(error, PortFailure::SetupFailed, path, errno, fd);
  // flock and TIOCEXCL keep out only those who open after us, and only the
  // ones that cooperate. A terminal program or a logger that already has the
  // device open would eat the module's replies or write into the stream.
  if (!ProcessesHolding(path).empty()) {
    ::ioctl(fd, TIOCNXCL);
    return Fail(error, PortFailure::Busy, path, EBUSY, fd);
  }

  MakeRaw(&t);
  ::cfsetispeed(&t, B115200);
  ::cfsetospeed(&t, B115200);
  if (::tcsetattr(fd, TCSANOW, &t) != 0) {
    const int e = errno;
    ::ioctl(fd, TIOCNXCL);
    return Fail(error, PortFailure::SetupFailed, path, e, fd);
  }
  // DTR and RTS off. A pseudo-terminal has no modem lines: its refusal is fine.
  int lines = TIOCM_DTR | TIOCM_RTS;
  ::ioctl(fd, TIOCMBIC, &lines);
  // Bytes left queued by an earlier session (a module that went on talking
  // after the last loader closed the port) are no answer to this one.
  ::tcflush(fd, TCIOFLUSH);

  int wake[2];
  if (::pipe2(wake, O_CLOEXEC | O_NONBLOCK) != 0) {
    const int e = errno;
    ::ioctl(fd, TIOCNXCL);
    return Fail(error, PortFailure::SetupFailed, path, e, fd);
  }
  if (error != nullptr) *error = PortOpenError{PortFailure::None, path, 0};
  return std::make_unique<PosixSerialPort>(fd, wake[0], wake[1]);
}

}  // namespace zevuvuri
