// The forwarder's hold on a journal: the file it reads through its own
// descriptor (which keeps reading the same file when the path is renamed,
// removed or replaced), the file's identity to tell whether the path still
// names it, and the lock that makes one forwarder per journal. One
// implementation per platform (journal_file_posix.cpp, journal_file_win32.cpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace zevuvuri::records {

// Which file, wherever it is named: POSIX device and inode, Windows volume
// serial number and file index.
struct FileIdentity {
  std::uint64_t volume = 0;
  std::uint64_t index = 0;
  bool operator==(const FileIdentity&) const = default;
};

enum class PathLook {
  Found,
  Missing,     // nothing by that name
  Unreadable,  // there, but this user may not read it (or it cannot be looked at)
};

// The identity of the file `utf8_path` names now.
PathLook IdentityAt(const std::string& utf8_path, FileIdentity* identity, std::string* error);

// One journal file, opened for reading. Used from one thread at a time.
class JournalFile {
 public:
  // Found: `*file` set. Otherwise `*error` says why.
  static PathLook Open(const std::string& utf8_path, std::unique_ptr<JournalFile>* file, std::string* error);
  virtual ~JournalFile() = default;

  virtual FileIdentity Identity() const = 0;
  // The file's size now, through the descriptor: false and `*error` when it
  // cannot be had.
  virtual bool Size(std::uint64_t* size, std::string* error) = 0;
  // Up to `size` bytes at `offset`: `*got` is 0 at the end. False and `*error`
  // on a read error.
  virtual bool ReadAt(std::uint64_t offset, char* bytes, std::size_t size, std::size_t* got,
                      std::string* error) = 0;
};

// "<journal>.lock", held while this forwarder sends the journal's records.
// Released when destroyed (and by the system when the process ends).
class JournalLock {
 public:
  enum class Outcome { Taken, HeldElsewhere, Failed };
  // Never waits: HeldElsewhere when another forwarder (this process or
  // another) holds it; Failed and `*error` when the lock file cannot be made.
  static Outcome Take(const std::string& journal_utf8_path, std::unique_ptr<JournalLock>* lock,
                      std::string* error);
  virtual ~JournalLock() = default;
};

std::string JournalLockPath(const std::string& journal_utf8_path);

}  // namespace zevuvuri::records
