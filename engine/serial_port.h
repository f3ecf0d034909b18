// The platform's serial device, as the link needs it. One implementation per
// platform (serial_port_posix.cpp, serial_port_win32.cpp), chosen by CMake.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>

namespace zevuvuri {

// Why a port did not open, mapped once from the platform's error code.
enum class PortFailure {
  None,
  BadPortText,       // the text names no device at all (empty, 0, letters)
  NoSuchDevice,
  PermissionDenied,
  Busy,              // another program (or another loader) holds it
  NotASerialDevice,  // it exists but is no terminal: a regular file, /dev/null
  SetupFailed,       // opened, but the line settings or the receive thread failed
  Other,
};

struct PortOpenError {
  PortFailure kind = PortFailure::None;
  std::string device;    // the device the port text resolved to, when it names one
  int system_error = 0;  // errno or GetLastError() of the failing call
};

// Write and Drain: the worker. Read: the receive thread. Interrupt and Gone:
// any thread, any time before destruction.
class SerialPort {
 public:
  virtual ~SerialPort() = default;  // releases the device

  // Opens the device that the port text names, exclusively, in raw mode at
  // 115200 baud, 8 data bits, no parity, no flow control, DTR and RTS off.
  static std::unique_ptr<SerialPort> Open(std::string_view port_text, PortOpenError* error);

  // Changes only the baud rate.
  virtual bool SetBaudRate(std::uint32_t baud) = 0;

  // Returns when every byte has been handed to the driver, the write failed,
  // or Interrupt was called.
  virtual bool Write(std::span<const std::uint8_t> bytes) = 0;

  // Returns once every byte written has left the port, or at once when
  // Interrupt was called before it, so that a change of line speed after it
  // cannot cut the last bytes short. Interrupt does not end a drain under
  // way; it is short, since no flow control can hold the bytes back.
  virtual bool Drain() = 0;

  // Reads the bytes already queued (up to buffer.size()) or, when nothing is
  // queued, waits for the next arrival and then takes everything queued with
  // it, so that a reply and the bytes sent behind it land in one append.
  // Returns the count read; 0 after a failed read, a hang-up or an Interrupt.
  // No time limit of its own.
  virtual std::size_t ReadQueuedOrOne(std::span<std::uint8_t> buffer) = 0;

  // For fast pacing: asks the driver to hand over every arrival at once
  // (POSIX: the serial driver's low-latency flag, which makes USB adapters
  // lower their latency timer; Windows: read time-outs that complete a read
  // as soon as a byte is there). Quietly does nothing where the driver does
  // not take it, such as a pseudo-terminal. The port's previous settings come
  // back when it is released.
  virtual void SetLowLatency() = 0;

  // True once a read or write has found the device gone (a USB adapter
  // pulled, a hang-up): nothing will arrive any more, and the port must be
  // released so that the device's name can be given to it again.
  virtual bool Gone() const = 0;

  // Wakes a blocked Write or Read; every later one returns at once.
  virtual void Interrupt() = 0;
};

}  // namespace zevuvuri
