#include "network/MD5Hasher.h"

#include <openssl/evp.h>

namespace network {

MD5Hasher::MD5Hasher() : EvpHasher(EVP_md5(), kDigestSize) {}

}  // namespace network
