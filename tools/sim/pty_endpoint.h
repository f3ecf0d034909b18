// The module's end of the serial line: the master side of a pseudo-terminal, and the
// "comN" link that lets a loader find the slave side by port number.
#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string>

namespace zevuvuri::sim {

class PtyEndpoint {
 public:
  // Opens a new pseudo-terminal; the master is raw (so is the slave: they share their line
  // settings) and non-blocking. Returns nothing and sets *error on failure.
  static std::unique_ptr<PtyEndpoint> Open(std::string* error);
  ~PtyEndpoint();
  PtyEndpoint(const PtyEndpoint&) = delete;
  PtyEndpoint& operator=(const PtyEndpoint&) = delete;

  int Fd() const { return fd_; }
  const std::string& SlavePath() const { return slave_path_; }

  // The baud rate the loader has set on the slave side, when it is a standard rate.
  std::optional<unsigned> SlaveBaud() const;

 private:
  PtyEndpoint(int fd, std::string slave_path) : fd_(fd), slave_path_(std::move(slave_path)) {}

  int fd_;
  std::string slave_path_;
};

class PortLink {
 public:
  // $ZEVUVURI_PORT_DIR, or ~/.config/zevuvuri/ports.
  static std::filesystem::path DefaultDirectory();

  // Creates dir/comN pointing at target, creating dir if needed and replacing an old link.
  // Sets *note when it replaced a link whose target still existed.
  static std::unique_ptr<PortLink> Create(const std::filesystem::path& dir, unsigned com,
                                          const std::string& target, std::string* error,
                                          std::string* note);
  // Removes the link, unless someone has pointed it elsewhere meanwhile.
  ~PortLink();
  PortLink(const PortLink&) = delete;
  PortLink& operator=(const PortLink&) = delete;

  const std::filesystem::path& Path() const { return path_; }

 private:
  PortLink(std::filesystem::path path, std::string target)
      : path_(std::move(path)), target_(std::move(target)) {}

  std::filesystem::path path_;
  std::string target_;
};

}  // namespace zevuvuri::sim
