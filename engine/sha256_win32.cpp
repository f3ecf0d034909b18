#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <bcrypt.h>

#include "engine/sha256.h"

namespace zevuvuri {

struct Sha256::State {
  BCRYPT_ALG_HANDLE algorithm = nullptr;
  BCRYPT_HASH_HANDLE hash = nullptr;
  bool ok = false;
};

Sha256::Sha256() : state_(std::make_unique<State>()) {
  state_->ok = BCRYPT_SUCCESS(::BCryptOpenAlgorithmProvider(&state_->algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0)) &&
               BCRYPT_SUCCESS(::BCryptCreateHash(state_->algorithm, &state_->hash, nullptr, 0, nullptr, 0, 0));
}

Sha256::~Sha256() {
  if (state_->hash != nullptr) ::BCryptDestroyHash(state_->hash);
  if (state_->algorithm != nullptr) ::BCryptCloseAlgorithmProvider(state_->algorithm, 0);
}

void Sha256::Update(std::span<const std::uint8_t> bytes) {
  if (state_->ok) {
    state_->ok = BCRYPT_SUCCESS(
        ::BCryptHashData(state_->hash, const_cast<PUCHAR>(bytes.data()), static_cast<ULONG>(bytes.size()), 0));
  }
}

std::optional<std::string> Sha256::HexDigest() const {
  if (!state_->ok) return std::nullopt;
  // Finished on a duplicate, so that the running hash can take more bytes.
  BCRYPT_HASH_HANDLE copy = nullptr;
  if (!BCRYPT_SUCCESS(::BCryptDuplicateHash(state_->hash, &copy, nullptr, 0, 0))) return std::nullopt;
  std::uint8_t digest[32];
  const bool ok = BCRYPT_SUCCESS(::BCryptFinishHash(copy, digest, sizeof digest, 0));
  ::BCryptDestroyHash(copy);
  if (!ok) return std::nullopt;
  return HexOf(digest);
}

}  // namespace zevuvuri
