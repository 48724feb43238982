#include "network/MD5Hasher.h"

#include <openssl/evp.h>

#include "network/Hex.h"

namespace network {

MD5Hasher::MD5Hasher() : EvpHasher(EVP_md5(), kDigestSize) {}

std::string MD5Hex(const std::string& text) {
    MD5Hasher hasher;
    hasher.Update(text.data(), text.size());
    return ToHex(hasher.Final());
}

}  // namespace network
