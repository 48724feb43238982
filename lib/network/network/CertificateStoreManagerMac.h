#pragma once

#include <string>
#include <vector>

#include "network/CertificateStoreManager.h"

namespace network {

// Copies every currently valid certificate of the system's keychains and of
// the user's keychain search list into OpenSSL's store; certificates out of
// their validity period and those that do not parse are skipped and logged.
class CertificateStoreManagerMac : public CertificateStoreManager {
public:
    void LoadSystemCertificates(SSL_CTX* context) override;

    void ImportCertificate(const unsigned char* der, int length, X509_STORE* store);

private:
    void ImportFromKeychains(const std::vector<std::string>& keychains, X509_STORE* store);
};

}  // namespace network
