// The SHA-256 of a firmware file, for the per-unit record. From the
// platform's library: OpenSSL's EVP on POSIX (sha256_posix.cpp), BCrypt on
// Windows (sha256_win32.cpp), chosen by CMake.
#pragma once

#include <optional>
#include <string>

namespace zevuvuri::cli {

// 64 lowercase hex digits; nothing when the file cannot be read whole.
std::optional<std::string> Sha256OfFile(const std::string& utf8_path);

}  // namespace zevuvuri::cli
