// The far end of a real pseudo-terminal, for tests that talk to the link the
// way a module on a serial line would.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace zevuvuri::testing {

class PseudoTerminal {
 public:
  PseudoTerminal();   // opens a master; the slave is the "serial port"
  ~PseudoTerminal();  // closes the master (the module vanishes)
  PseudoTerminal(const PseudoTerminal&) = delete;
  PseudoTerminal& operator=(const PseudoTerminal&) = delete;

  const std::string& SlavePath() const { return slave_path_; }
  void Write(const std::vector<std::uint8_t>& bytes);
  // Reads until `count` bytes have arrived or `limit` passed; returns what came.
  std::vector<std::uint8_t> Read(std::size_t count, std::chrono::milliseconds limit);
  // What is there, waiting up to `limit` for the first byte; nothing when no
  // slave side is open.
  std::vector<std::uint8_t> ReadSome(std::chrono::milliseconds limit);
  void Close();

 private:
  int master_ = -1;
  std::string slave_path_;
};

// A scratch directory removed with everything in it at destruction.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  const std::string& Path() const { return path_; }

 private:
  std::string path_;
};

}  // namespace zevuvuri::testing
