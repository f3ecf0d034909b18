// The firmware image's SHA-256, from the platform's library.
#include "engine/sha256.h"

#include <gtest/gtest.h>

#include <map>

namespace zevuvuri {
namespace {

TEST(Sha256Test, KnownDigestsInPiecesAndAlongTheWay) {
  const std::map<std::string, std::string> cases = {
      {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
       "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
      {std::string(1000000, 'a'), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
  };
  for (const auto& [content, digest] : cases) {
    // In 56-byte pieces, as the data frames carry a file, looking at the
    // digest half way: taking it must not end the hash.
    Sha256 hash;
    for (std::size_t at = 0; at < content.size(); at += 56) {
      const std::size_t n = std::min<std::size_t>(56, content.size() - at);
      hash.Update({reinterpret_cast<const std::uint8_t*>(content.data()) + at, n});
      if (at == 56) {
        EXPECT_TRUE(hash.HexDigest());
      }
    }
    EXPECT_EQ(hash.HexDigest(), digest) << content.size() << " bytes";
  }
}

}  // namespace
}  // namespace zevuvuri
