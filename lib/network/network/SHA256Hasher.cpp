#include "network/SHA256Hasher.h"

#include <openssl/evp.h>

#include "network/Hex.h"

namespace network {

SHA256Hasher::SHA256Hasher() : EvpHasher(EVP_sha256(), kDigestSize) {}

std::string SHA256Hex(const std::string& text) {
    SHA256Hasher hasher;
    hasher.Update(text.data(), text.size());
    return ToHex(hasher.Final());
}

}  // namespace network
