#include "network/SHA1Hasher.h"

#include <openssl/evp.h>

namespace network {

SHA1Hasher::SHA1Hasher() : EvpHasher(EVP_sha1(), kDigestSize) {}

}  // namespace network
