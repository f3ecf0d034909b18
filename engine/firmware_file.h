// The firmware file while an upgrade takes its image: a regular file, opened
// from its exact name, measured once and read whole at the start of the
// upgrade. One implementation per platform (firmware_file_posix.cpp, _win32.cpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>

#include "engine/firmware_name.h"

namespace zevuvuri {

class FirmwareFile {
 public:
  virtual ~FirmwareFile() = default;  // closes the file

  // Opens the file `name` names for reading raw bytes, without ever blocking:
  // only a regular file is firmware. A directory, a pipe, a socket or a
  // device (/dev/zero would stream zeros for ever, a FIFO would block the
  // worker) gives nullptr, as does a file that cannot be opened or measured.
  static std::unique_ptr<FirmwareFile> Open(const FirmwareName& name);

  // The size in bytes when the file was opened, 64 bits wide on every platform.
  virtual std::uint64_t Size() const = 0;

  // Reads the next bytes into `buffer`, filling it unless the file ends
  // first; 0 at the end. Nothing after a read error. Unbuffered: every
  // piece is the file's bytes as they are when it is read.
  virtual std::optional<std::size_t> Read(std::span<std::uint8_t> buffer) = 0;
};

}  // namespace zevuvuri
