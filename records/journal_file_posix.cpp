#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "records/journal_file.h"

namespace zevuvuri::records {
namespace {

PathLook Classify(int err) {
  return err == ENOENT || err == ENOTDIR ? PathLook::Missing : PathLook::Unreadable;
}

class PosixJournalFile final : public JournalFile {
 public:
  PosixJournalFile(int fd, std::string path, FileIdentity identity)
      : fd_(fd), path_(std::move(path)), identity_(identity) {}
  ~PosixJournalFile() override { ::close(fd_); }

  FileIdentity Identity() const override { return identity_; }

  bool Size(std::uint64_t* size, std::string* error) override {
    struct stat st {};
    if (::fstat(fd_, &st) != 0) {
      *error = path_ + ": " + std::strerror(errno);
      return false;
    }
    *size = static_cast<std::uint64_t>(st.st_size);
    return true;
  }

  bool ReadAt(std::uint64_t offset, char* bytes, std::size_t size, std::size_t* got, std::string* error) override {
    for (;;) {
      const ssize_t n = ::pread(fd_, bytes, size, static_cast<off_t>(offset));
      if (n >= 0) {
        *got = static_cast<std::size_t>(n);
        return true;
      }
      if (errno == EINTR) continue;
      *error = path_ + ": cannot be read: " + std::strerror(errno);
      return false;
    }
  }

 private:
  const int fd_;
  const std::string path_;
  const FileIdentity identity_;
};

class PosixJournalLock final : public JournalLock {
 public:
  explicit PosixJournalLock(int fd) : fd_(fd) {}
  ~PosixJournalLock() override { ::close(fd_); }  // the flock goes with its descriptor

 private:
  const int fd_;
};

}  // namespace

PathLook IdentityAt(const std::string& utf8_path, FileIdentity* identity, std::string* error) {
  struct stat st {};
  if (::stat(utf8_path.c_str(), &st) != 0) {
    *error = utf8_path + ": " + std::strerror(errno);
    return Classify(errno);
  }
  *identity = {static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino)};
  return PathLook::Found;
}

PathLook JournalFile::Open(const std::string& utf8_path, std::unique_ptr<JournalFile>* file, std::string* error) {
  const int fd = ::open(utf8_path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    const int err = errno;
    *error = utf8_path + ": cannot be read: " + std::strerror(err);
    return Classify(err);
  }
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    *error = utf8_path + ": not a regular file";
    ::close(fd);
    return PathLook::Unreadable;
  }
  *file = std::make_unique<PosixJournalFile>(
      fd, utf8_path, FileIdentity{static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino)});
  return PathLook::Found;
}

std::string JournalLockPath(const std::string& journal_utf8_path) { return journal_utf8_path + ".lock"; }

JournalLock::Outcome JournalLock::Take(const std::string& journal_utf8_path, std::unique_ptr<JournalLock>* lock,
                                       std::string* error) {
  const std::string path = JournalLockPath(journal_utf8_path);
  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) {
    *error = path + ": " + std::strerror(errno);
    return Outcome::Failed;
  }
  // flock belongs to the open file description: a second forwarder in this
  // very process, with its own open, is refused as another process would be.
  while (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    if (errno == EINTR) continue;
    const int err = errno;
    ::close(fd);
    if (err == EWOULDBLOCK) return Outcome::HeldElsewhere;
    *error = path + ": " + std::strerror(err);
    return Outcome::Failed;
  }
  *lock = std::make_unique<PosixJournalLock>(fd);
  return Outcome::Taken;
}

}  // namespace zevuvuri::records
