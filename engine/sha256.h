// SHA-256 of the firmware image an upgrade took, computed once when it is
// taken; front ends put it into their records.
// From the platform's library: OpenSSL's EVP on POSIX (sha256_posix.cpp),
// BCrypt on Windows (sha256_win32.cpp), chosen by CMake.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>

namespace zevuvuri {

class Sha256 {
 public:
  Sha256();
  ~Sha256();
  Sha256(const Sha256&) = delete;
  Sha256& operator=(const Sha256&) = delete;

  void Update(std::span<const std::uint8_t> bytes);
  // 64 lowercase hex digits of everything given so far; nothing when the
  // library failed. The hash goes on after it.
  std::optional<std::string> HexDigest() const;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// Lowercase hex of a digest.
std::string HexOf(std::span<const std::uint8_t> digest);

}  // namespace zevuvuri
