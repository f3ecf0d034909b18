#include <openssl/evp.h>

#include "engine/sha256.h"

namespace zevuvuri {

struct Sha256::State {
  std::unique_ptr<EVP_MD_CTX, void (*)(EVP_MD_CTX*)> context{EVP_MD_CTX_new(), &EVP_MD_CTX_free};
  bool ok = false;
};

Sha256::Sha256() : state_(std::make_unique<State>()) {
  state_->ok = state_->context && EVP_DigestInit_ex(state_->context.get(), EVP_sha256(), nullptr) == 1;
}

Sha256::~Sha256() = default;

void Sha256::Update(std::span<const std::uint8_t> bytes) {
  if (state_->ok) state_->ok = EVP_DigestUpdate(state_->context.get(), bytes.data(), bytes.size()) == 1;
}

std::optional<std::string> Sha256::HexDigest() const {
  if (!state_->ok) return std::nullopt;
  // Finished on a copy, so that the running hash can take more bytes.
  std::unique_ptr<EVP_MD_CTX, void (*)(EVP_MD_CTX*)> copy(EVP_MD_CTX_new(), &EVP_MD_CTX_free);
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (!copy || EVP_MD_CTX_copy_ex(copy.get(), state_->context.get()) != 1 ||
      EVP_DigestFinal_ex(copy.get(), digest, &length) != 1) {
    return std::nullopt;
  }
  return HexOf({digest, length});
}

}  // namespace zevuvuri
