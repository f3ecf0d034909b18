#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <bcrypt.h>

#include <cstdio>
#include <memory>
#include <vector>

#include "engine/text_encoding.h"
#include "tools/cli/sha256.h"

namespace zevuvuri::cli {

std::optional<std::string> Sha256OfFile(const std::string& utf8_path) {
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(_wfopen(FromUtf8(utf8_path).c_str(), L"rb"), &std::fclose);
  if (!file) return std::nullopt;
  BCRYPT_ALG_HANDLE algorithm = nullptr;
  if (!BCRYPT_SUCCESS(::BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0))) {
    return std::nullopt;
  }
  BCRYPT_HASH_HANDLE hash = nullptr;
  std::optional<std::string> result;
  if (BCRYPT_SUCCESS(::BCryptCreateHash(algorithm, &hash, nullptr, 0, nullptr, 0, 0))) {
    std::vector<unsigned char> buffer(65536);
    bool ok = true;
    std::size_t n = 0;
    while (ok && (n = std::fread(buffer.data(), 1, buffer.size(), file.get())) > 0) {
      ok = BCRYPT_SUCCESS(::BCryptHashData(hash, buffer.data(), static_cast<ULONG>(n), 0));
    }
    unsigned char digest[32];
    if (ok && !std::ferror(file.get()) && BCRYPT_SUCCESS(::BCryptFinishHash(hash, digest, sizeof digest, 0))) {
      std::string hex;
      for (unsigned char d : digest) {
        char b[3];
        std::snprintf(b, sizeof b, "%02x", d);
        hex += b;
      }
      result = hex;
    }
    ::BCryptDestroyHash(hash);
  }
  ::BCryptCloseAlgorithmProvider(algorithm, 0);
  return result;
}

}  // namespace zevuvuri::cli
