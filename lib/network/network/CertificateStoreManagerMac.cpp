#include "network/CertificateStoreManagerMac.h"

#include <openssl/err.h>
#include <openssl/x509.h>

#include <chrono>
#include <ctime>

#include "network/KeychainCertificateIndex.h"
#include "platform/security/TrustedCertificates.h"

namespace network {

using platform::security::TrustedCertificates;

void CertificateStoreManagerMac::LoadSystemCertificates(SSL_CTX* context) {
    X509_STORE* store = SSL_CTX_get_cert_store(context);
    if (!store) {
        return;
    }
    std::vector<std::string> keychains;
    if (TrustedCertificates::openKeychain(TrustedCertificates::kSystemRootCertificates)) {
        keychains.push_back(TrustedCertificates::kSystemRootCertificates);
    }
    for (auto& keychain : TrustedCertificates::copySearchList()) {
        keychains.push_back(std::move(keychain));
    }
    ImportFromKeychains(keychains, store);
}

namespace {

// Whole seconds since 1970-01-01 UTC.
std::time_t Now() {
    return static_cast<std::time_t>(std::chrono::duration_cast<std::chrono::microseconds>(
                                        std::chrono::system_clock::now().time_since_epoch())
                                        .count() /
                                    1000000);
}

}  // namespace

void CertificateStoreManagerMac::ImportFromKeychains(const std::vector<std::string>& keychains,
                                                     X509_STORE* store) {
    auto certificates = TrustedCertificates::copyCertificates(keychains);
    if (!certificates) {
        return;
    }
    const std::time_t now = Now();
    const auto self = weak_from_this().lock();
    if (!self) {
        // Not shared: nothing could import later, so everything is imported now.
        for (const auto& der : *certificates) {
            ImportCertificateAt(der.data(), static_cast<int>(der.size()), store, now);
        }
        return;
    }
    KeychainCertificateIndex::Attach(
        store, std::move(*certificates),
        [self, now](const unsigned char* der, int length, X509_STORE* into) {
            self->ImportCertificateAt(der, length, into, now);
        });
}

void CertificateStoreManagerMac::ImportCertificate(const unsigned char* der, int length,
                                                   X509_STORE* store) {
    ImportCertificateAt(der, length, store, Now());
}

void CertificateStoreManagerMac::ImportCertificateAt(const unsigned char* der, int length,
                                                     X509_STORE* store, std::time_t now) {
    const unsigned char* cursor = der;
    X509* certificate = d2i_X509(nullptr, &cursor, length);
    if (!certificate) {
        logger->warn("OpenSSL error %lu when parsing certificate", ERR_get_error());
        return;
    }
    char subject[256] = {};
    X509_NAME_oneline(X509_get_subject_name(certificate), subject, sizeof subject);

    // X509_cmp_time: -1 when the time is at or before `now`, 1 after, 0 when
    // it cannot be compared.
    if (X509_cmp_time(X509_get0_notBefore(certificate), &now) != -1) {
        logger->trace("Certificate not yet valid: %s", subject);
    } else if (X509_cmp_time(X509_get0_notAfter(certificate), &now) != 1) {
        logger->trace("Certificate already expired: %s", subject);
    } else if (X509_STORE_add_cert(store, certificate) == 1) {
        logger->trace("Certificate imported: %s", subject);
    } else {
        logger->warn("OpenSSL error %lu when importing certificate: %s", ERR_get_error(), subject);
    }
    X509_free(certificate);
}

}  // namespace network
