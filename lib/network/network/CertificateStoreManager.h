#pragma once

#include <memory>

#include <openssl/ssl.h>

#include "common/logging/ILogger.h"

namespace network {

// Loads the system's trusted certificates into a TLS context.
class CertificateStoreManager {
public:
    // The loader of this platform's store.
    static std::shared_ptr<CertificateStoreManager> Create();

    virtual ~CertificateStoreManager() = default;
    virtual void LoadSystemCertificates(SSL_CTX* context) = 0;

    // Makes OpenSSL prefer trusted certificates when it builds a chain.
    void SetTrustedFirst(SSL_CTX* context);

protected:
    CertificateStoreManager();

    std::unique_ptr<common::ILogger> logger;
};

}  // namespace network
