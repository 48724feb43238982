#include "network/AsyncSSLContext.h"

#include <openssl/err.h>

#include "network/CertificateStoreManager.h"

namespace network {

AsyncSSLContext::AsyncSSLContext() : boost::asio::ssl::context(boost::asio::ssl::context::sslv23) {
    SSL_CTX* context = native_handle();
    SSL_CTX_set_options(context, SSL_OP_NO_SSLv3);
    ERR_clear_error();
    SSL_CTX_set_default_verify_paths(context);
    SSL_CTX_set_verify(context, SSL_VERIFY_PEER, SSL_CTX_get_verify_callback(context));
    if (auto manager = CertificateStoreManager::Create()) {
        manager->LoadSystemCertificates(context);
        manager->SetTrustedFirst(context);
    }
}

}  // namespace network
