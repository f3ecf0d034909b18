#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "engine/firmware_file.h"

namespace zevuvuri {
namespace {

class PosixFirmwareFile final : public FirmwareFile {
 public:
  PosixFirmwareFile(int fd, std::uint64_t size) : fd_(fd), size_(size) {}
  ~PosixFirmwareFile() override { ::close(fd_); }

  std::uint64_t Size() const override { return size_; }

  std::optional<std::size_t> Read(std::span<std::uint8_t> buffer) override {
    std::size_t got = 0;
    while (got < buffer.size()) {
      const ssize_t n = ::read(fd_, buffer.data() + got, buffer.size() - got);
      if (n > 0) {
        got += static_cast<std::size_t>(n);
      } else if (n == 0) {
        break;
      } else if (errno != EINTR) {
        return std::nullopt;
      }
    }
    return got;
  }

 private:
  const int fd_;
  const std::uint64_t size_;
};

}  // namespace

std::unique_ptr<FirmwareFile> FirmwareFile::Open(const FirmwareName& name) {
  // Without blocking: opening a FIFO for reading would otherwise wait for a
  // writer. What it is gets decided on the descriptor itself, so nothing can
  // swap the file between the check and the reads.
  const int fd = ::open(name.Bytes().c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return nullptr;
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size < 0) {
    ::close(fd);
    return nullptr;
  }
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags >= 0) ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
  return std::make_unique<PosixFirmwareFile>(fd, static_cast<std::uint64_t>(st.st_size));
}

}  // namespace zevuvuri
