#include "network/CertificateStoreManager.h"

#include <openssl/x509_vfy.h>

#include "network/CertificateStoreManagerMac.h"

namespace network {

CertificateStoreManager::CertificateStoreManager()
    : logger(common::createLogger("CertificateStoreManager")) {}

std::shared_ptr<CertificateStoreManager> CertificateStoreManager::Create() {
    return std::make_shared<CertificateStoreManagerMac>();
}

void CertificateStoreManager::SetTrustedFirst(SSL_CTX* context) {
    X509_VERIFY_PARAM* parameter = X509_VERIFY_PARAM_new();
    if (!parameter) {
        return;
    }
    if (X509_VERIFY_PARAM_set_flags(parameter, X509_V_FLAG_TRUSTED_FIRST) != 1) {
        logger->warn("Failed to set X509 flag 'trusted certificate first'.");
    } else if (SSL_CTX_set1_param(context, parameter) != 1) {
        logger->warn("Failed to set parameter X509 'trusted certificate first'.");
    }
    X509_VERIFY_PARAM_free(parameter);
}

}  // namespace network
