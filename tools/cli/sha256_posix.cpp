#include <openssl/evp.h>

#include <cstdio>
#include <memory>

#include "tools/cli/sha256.h"

namespace zevuvuri::cli {

std::optional<std::string> Sha256OfFile(const std::string& utf8_path) {
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(utf8_path.c_str(), "rb"), &std::fclose);
  if (!file) return std::nullopt;
  std::unique_ptr<EVP_MD_CTX, void (*)(EVP_MD_CTX*)> context(EVP_MD_CTX_new(), &EVP_MD_CTX_free);
  if (!context || EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr) != 1) return std::nullopt;
  unsigned char buffer[65536];
  std::size_t n = 0;
  while ((n = std::fread(buffer, 1, sizeof buffer, file.get())) > 0) {
    if (EVP_DigestUpdate(context.get(), buffer, n) != 1) return std::nullopt;
  }
  if (std::ferror(file.get())) return std::nullopt;
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (EVP_DigestFinal_ex(context.get(), digest, &length) != 1) return std::nullopt;
  std::string hex;
  for (unsigned int i = 0; i < length; ++i) {
    char b[3];
    std::snprintf(b, sizeof b, "%02x", digest[i]);
    hex += b;
  }
  return hex;
}

}  // namespace zevuvuri::cli
