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
    if (::GetLastError() != ERROR_IO_PENDING) return false;
    if (!Finish(&ov, &written)) return false;
    return written == bytes.size();
  }

  std::size_t ReadQueuedOrOne(std::span<std::uint8_t> buffer) override {
    if (interrupted_.load() || buffer.empty()) return 0;
    Handle done(NewEvent());
    if (!done.valid()) return 0;
    // The same call clears a line error, after which the driver reads again.
    DWORD errors = 0;
    COMSTAT status{};
    DWORD want = 1;
    if (::ClearCommError(port_.get(), &errors, &status) && status.cbInQue > 0) {
      want = std::min<DWORD>(status.cbInQue, static_cast<DWORD>(buffer.size()));
    }
    OVERLAPPED ov{};
    ov.hEvent = done.get();
    DWORD read = 0;
    // No read time-outs are set, so a 1-byte read on a quiet line stays
    // pending until a byte arrives.
    if (::ReadFile(port_.get(), buffer.data(), want, nullptr, &ov)) {
      return ::GetOverlappedResult(port_.get(), &ov, &read, FALSE) ? read : 0;
    }
    if (::GetLastError() != ERROR_IO_PENDING) return 0;
    return Finish(&ov, &read) ? read : 0;
  }

  void Interrupt() override {
    interrupted_.store(true);
    ::SetEvent(stop_.get());
  }

 private:
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
    return ::GetOverlappedResult(port_.get(), ov, transferred, FALSE) != FALSE;
  }

  const Handle port_;
  const Handle stop_;  // manual-reset, set by Interrupt
  std::atomic<bool> interrupted_{false};
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

  // Only what the line needs changes; stop bits, XON/XOFF, error characters
  // and the like stay as the driver reports them, and no buffer sizes or
  // time-outs are set.
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
