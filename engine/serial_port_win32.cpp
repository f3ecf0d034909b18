// Windows serial device: a COM port opened for overlapped I/O. Every read and
// write waits on its own manual-reset event and on the port's stop event, so
// Interrupt ends a blocked operation cooperatively: the operation is cancelled
// with CancelIoEx and its completion awaited before the call returns, so no
// read or write outlives the port and no thread is ever killed.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <optional>

#include "engine/port_name.h"
#include "engine/serial_port.h"
#include "engine/text_encoding.h"

namespace zevuvuri {
namespace {

PortFailure FailureForError(DWORD error) {
  switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_BAD_UNIT:
    case ERROR_DEV_NOT_EXIST:
    case ERROR_NOT_READY:
      return PortFailure::NoSuchDevice;
    // A COM port that another program has open refuses a second opener with
    // ERROR_ACCESS_DENIED; the sharing error comes from share mode 0 elsewhere.
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_BUSY:
      return PortFailure::Busy;
    case ERROR_INVALID_NAME:
    case ERROR_BAD_PATHNAME:
      return PortFailure::BadPortText;
    case ERROR_INVALID_FUNCTION:
    case ERROR_NOT_SUPPORTED:
    case ERROR_INVALID_PARAMETER:
      return PortFailure::NotASerialDevice;
    default:
      return PortFailure::Other;
  }
}

// Closes the handle it owns on every path out of a scope.
class Handle {
 public:
  explicit Handle(HANDLE h = nullptr) : h_(h) {}
  ~Handle() {
    if (valid()) ::CloseHandle(h_);
  }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  HANDLE get() const { return h_; }
  bool valid() const { return h_ != nullptr && h_ != INVALID_HANDLE_VALUE; }
  HANDLE release() {
    HANDLE h = h_;
    h_ = nullptr;
    return h;
  }

 private:
  HANDLE h_;
};

// In fast pacing, a read on a quiet line ends empty after this long and the
// receive thread starts the next one.
constexpr DWORD kQuietLineReadLimitMs = 60000;

// An unnamed manual-reset event, not signalled.
HANDLE NewEvent() { return ::CreateEventW(nullptr, TRUE, FALSE, nullptr); }

class Win32SerialPort final : public SerialPort {
 public:
  Win32SerialPort(HANDLE port, HANDLE stop) : port_(port), stop_(stop) {}

  bool SetBaudRate(std::uint32_t baud) override {
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!::GetCommState(port_.get(), &dcb)) return false;
    dcb.BaudRate = baud;
    return ::SetCommState(port_.get(), &dcb) != FALSE;
  }

  bool Write(std::span<const std::uint8_t> bytes) override {
    if (interrupted_.load()) return false;
    Handle done(NewEvent());
    if (!done.valid()) return false;
    OVERLAPPED ov{};
    ov.hEvent = done.get();
    DWORD written = 0;
    if (::WriteFile(port_.get(), bytes.data(), static_cast<DWORD>(bytes.size()), nullptr, &ov)) {
      return ::GetOverlappedResult(port_.get(), &ov, &written, FALSE) && written == bytes.size();
    }
    if (::GetLastError() != ERROR_IO_PENDING) return Failed(::GetLastError());
    if (!Finish(&ov, &written)) return false;
    return written == bytes.size();
  }

  bool Drain() override {
    if (interrupted_.load()) return false;
    // For a communications device this returns once the driver has sent
    // every byte written.
    return ::FlushFileBuffers(port_.get()) != FALSE || Failed(::GetLastError());
  }

  std::size_t ReadQueuedOrOne(std::span<std::uint8_t> buffer) override {
    if (interrupted_.load() || buffer.empty()) return 0;
    const std::size_t queued = Queued();
    if (gone_.load()) return 0;
    std::size_t got = Read(buffer.first(std::clamp<std::size_t>(queued, 1, buffer.size())));
    // A 1-byte read on a quiet line completes with the first byte of an
    // arrival: the bytes that came with it are queued now and belong to the
    // same reply.
    if (queued == 0 && got == 1 && buffer.size() > 1) {
      const std::size_t more = std::min(Queued(), buffer.size() - 1);
      if (more > 0) got += Read(buffer.subspan(1, more));
    }
    return got;
  }

  bool Gone() const override { return gone_.load(); }

  void SetLowLatency() override {
    COMMTIMEOUTS timeouts{};
    if (saved_timeouts_ || !::GetCommTimeouts(port_.get(), &timeouts)) return;
    // With both of these at MAXDWORD a read returns at once with whatever is
    // queued, or waits for the first byte and returns with it; the constant
    // only bounds a wait on a quiet line, which then reads nothing.
    COMMTIMEOUTS immediate{};
    immediate.ReadIntervalTimeout = MAXDWORD;
    immediate.ReadTotalTimeoutMultiplier = MAXDWORD;
    immediate.ReadTotalTimeoutConstant = kQuietLineReadLimitMs;
    immediate.WriteTotalTimeoutMultiplier = timeouts.WriteTotalTimeoutMultiplier;
    immediate.WriteTotalTimeoutConstant = timeouts.WriteTotalTimeoutConstant;
    if (::SetCommTimeouts(port_.get(), &immediate)) saved_timeouts_ = timeouts;
  }

  ~Win32SerialPort() override {
    if (saved_timeouts_) ::SetCommTimeouts(port_.get(), &*saved_timeouts_);
  }

  void Interrupt() override {
    interrupted_.store(true);
    ::SetEvent(stop_.get());
  }

 private:
  // Bytes the driver holds for reading. The same call clears a line error,
  // after which the driver reads again; when it fails the device is gone.
  std::size_t Queued() {
    DWORD errors = 0;
    COMSTAT status{};
    if (!::ClearCommError(port_.get(), &errors, &status)) {
      Failed(::GetLastError());
      return 0;
    }
    return status.cbInQue;
  }

  // One overlapped read of buffer.size() bytes, or fewer when it fails. In
  // classic pacing no read time-outs are set, so on a quiet line it stays
  // pending until every byte has arrived; in fast pacing (SetLowLatency) it
  // completes with what is queued as soon as a byte is there, or empty after
  // a minute of quiet.
  std::size_t Read(std::span<std::uint8_t> buffer) {
    Handle done(NewEvent());
    if (!done.valid()) return 0;
    OVERLAPPED ov{};
    ov.hEvent = done.get();
    DWORD read = 0;
    if (::ReadFile(port_.get(), buffer.data(), static_cast<DWORD>(buffer.size()), nullptr, &ov)) {
      return ::GetOverlappedResult(port_.get(), &ov, &read, FALSE) ? read : 0;
    }
    if (::GetLastError() != ERROR_IO_PENDING) {
      Failed(::GetLastError());
      return 0;
    }
    return Finish(&ov, &read) ? read : 0;
  }

  // The errors a USB serial adapter gives once it has been pulled: from then
  // on nothing will arrive. Always false, for the callers' convenience.
  bool Failed(DWORD error) {
    switch (error) {
      case ERROR_ACCESS_DENIED:
      case ERROR_BAD_COMMAND:
      case ERROR_GEN_FAILURE:
      case ERROR_DEVICE_NOT_CONNECTED:
      case ERROR_DEVICE_REMOVED:
      case ERROR_INVALID_HANDLE:
      case ERROR_NOT_READY:
      case ERROR_FILE_NOT_FOUND:
        if (!interrupted_.load()) gone_.store(true);
        break;
      default:
        break;
    }
    return false;
  }

  // Waits without a time limit for a pending operation, or for Interrupt,
  // which cancels it. Either way the operation has ended when this returns,
  // so its OVERLAPPED and buffer may go.
  bool Finish(OVERLAPPED* ov, DWORD* transferred) {
    const HANDLE waits[2] = {ov->hEvent, stop_.get()};
    const DWORD woken = ::WaitForMultipleObjects(2, waits, FALSE, INFINITE);
    if (woken != WAIT_OBJECT_0) {
      ::CancelIoEx(port_.get(), ov);
      ::GetOverlappedResult(port_.get(), ov, transferred, TRUE);  // the cancellation's completion
      return false;
    }
    return ::GetOverlappedResult(port_.get(), ov, transferred, FALSE) != FALSE || Failed(::GetLastError());
  }

  const Handle port_;
  const Handle stop_;  // manual-reset, set by Interrupt
  std::atomic<bool> interrupted_{false};
  std::atomic<bool> gone_{false};
  std::optional<COMMTIMEOUTS> saved_timeouts_;  // set while the read time-outs are ours
};

std::unique_ptr<SerialPort> Fail(PortOpenError* error, PortFailure kind, std::string device, DWORD system_error) {
  if (error != nullptr) *error = PortOpenError{kind, std::move(device), static_cast<int>(system_error)};
  return nullptr;
}

}  // namespace

std::unique_ptr<SerialPort> SerialPort::Open(std::string_view port_text, PortOpenError* error) {
  const auto named = DeviceForPortText(port_text);
  if (!named) return Fail(error, PortFailure::BadPortText, "", 0);
  const std::string& device = named->path;

  // No sharing: a port that another program holds does not open.
  Handle port(::CreateFileW(FromUtf8(device).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                            FILE_FLAG_OVERLAPPED, nullptr));
  if (!port.valid()) {
    const DWORD e = ::GetLastError();
    return Fail(error, FailureForError(e), device, e);
  }

  // What the line needs, and nothing that would drop, alter or hold back a
  // byte of the binary stream, whatever an earlier program left set: no
  // XON/XOFF either way, no DSR gate on receiving, no NUL stripping, no
  // error-character replacement, no parity checking, no abort of reads and
  // writes on a line error. Stop bits stay as the driver reports them; no
  // buffer sizes or time-outs are set here (fast pacing sets read time-outs
  // of its own, and puts the previous ones back on close).
  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  if (!::GetCommState(port.get(), &dcb)) {
    const DWORD e = ::GetLastError();
    return Fail(error, PortFailure::NotASerialDevice, device, e);
  }
  dcb.BaudRate = CBR_115200;
  dcb.ByteSize = 8;
  dcb.Parity = NOPARITY;
  dcb.fParity = FALSE;
  dcb.fOutxCtsFlow = FALSE;
  dcb.fOutxDsrFlow = FALSE;
  dcb.fDtrControl = DTR_CONTROL_DISABLE;
  dcb.fRtsControl = RTS_CONTROL_DISABLE;
  dcb.fBinary = TRUE;
  dcb.fOutX = FALSE;
  dcb.fInX = FALSE;
  dcb.fDsrSensitivity = FALSE;
  dcb.fNull = FALSE;
  dcb.fErrorChar = FALSE;
  dcb.fAbortOnError = FALSE;
  if (!::SetCommState(port.get(), &dcb)) {
    const DWORD e = ::GetLastError();
    return Fail(error, PortFailure::SetupFailed, device, e);
  }

  Handle stop(NewEvent());
  if (!stop.valid()) {
    const DWORD e = ::GetLastError();
    return Fail(error, PortFailure::SetupFailed, device, e);
  }
  if (error != nullptr) *error = PortOpenError{PortFailure::None, device, 0};
  return std::make_unique<Win32SerialPort>(port.release(), stop.release());
}

}  // namespace zevuvuri
