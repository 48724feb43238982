#pragma once

#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "network/CertificateStoreManager.h"

namespace network {

// Trusts every currently valid certificate of the system's keychains and of
// the user's keychain search list; certificates out of their validity period
// and those that do not parse are skipped and logged. The keychains are read
// when the trust is loaded, but a certificate is decoded and checked only
// when a verification first asks for its subject (its validity judged at the
// time of loading), each at most once.
class CertificateStoreManagerMac : public CertificateStoreManager,
                                   public std::enable_shared_from_this<CertificateStoreManagerMac> {
public:
    void LoadSystemCertificates(SSL_CTX* context) override;

    void ImportCertificate(const unsigned char* der, int length, X509_STORE* store);

private:
    void ImportFromKeychains(const std::vector<std::string>& keychains, X509_STORE* store);
    void ImportCertificateAt(const unsigned char* der, int length, X509_STORE* store,
                             std::time_t now);
};

}  // namespace network
