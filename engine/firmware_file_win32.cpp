#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include "engine/firmware_file.h"
#include "engine/text_encoding.h"

namespace zevuvuri {
namespace {

class Win32FirmwareFile final : public FirmwareFile {
 public:
  Win32FirmwareFile(HANDLE file, std::uint64_t size) : file_(file), size_(size) {}
  ~Win32FirmwareFile() override { ::CloseHandle(file_); }

  std::uint64_t Size() const override { return size_; }

  std::optional<std::size_t> Read(std::span<std::uint8_t> buffer) override {
    std::size_t got = 0;
    while (got < buffer.size()) {
      DWORD n = 0;
      if (!::ReadFile(file_, buffer.data() + got, static_cast<DWORD>(buffer.size() - got), &n, nullptr)) {
        return std::nullopt;
      }
      if (n == 0) break;
      got += n;
    }
    return got;
  }

 private:
  const HANDLE file_;
  const std::uint64_t size_;
};

}  // namespace

std::unique_ptr<FirmwareFile> FirmwareFile::Open(const FirmwareName& name) {
  // The name travels as UTF-8 of its UTF-16 form; other bytes would be
  // replaced on the way and could open some other file.
  if (!IsValidUtf8(name.Bytes())) return nullptr;
  // Shared for reading and writing, as the C library opens files: a file that
  // another program changes meanwhile is caught by the size check instead.
  // A directory does not open without backup semantics.
  const HANDLE file = ::CreateFileW(FromUtf8(name.Bytes()).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return nullptr;
  // A device (NUL, CON, a COM port) or a pipe is no firmware.
  LARGE_INTEGER size{};
  if (::GetFileType(file) != FILE_TYPE_DISK || !::GetFileSizeEx(file, &size) || size.QuadPart < 0) {
    ::CloseHandle(file);
    return nullptr;
  }
  return std::make_unique<Win32FirmwareFile>(file, static_cast<std::uint64_t>(size.QuadPart));
}

}  // namespace zevuvuri
