#include "network/verbose_verification_base.h"

#include <openssl/x509.h>
#include <openssl/x509_vfy.h>

#include <string>

namespace network {

verbose_verification_base::verbose_verification_base()
    : logger(common::createLogger("verbose_verification_base")) {}

bool verbose_verification_base::Verify(bool preverified,
                                       boost::asio::ssl::verify_context& context) {
    X509_STORE_CTX* chain = context.native_handle();
    std::string subject = "unknown certificate";
    if (X509* certificate = X509_STORE_CTX_get_current_cert(chain)) {
        char name[256] = {};
        X509_NAME_oneline(X509_get_subject_name(certificate), name, sizeof name);
        subject = name;
    }
    if (!preverified) {
        const int error = X509_STORE_CTX_get_error(chain);
        logger->warn("Pre-verify error with %s, code %d: %s", subject.c_str(), error,
                     X509_verify_cert_error_string(error));
    }
    const bool verified = Check(preverified, context);
    if (verified) {
        logger->debug("Verifying %s succeeds", subject.c_str());
    } else {
        logger->warn("Verifying %s fails", subject.c_str());
    }
    return verified;
}

}  // namespace network
