#include "network/CertificateVerifier.h"

namespace network {

CertificateVerifier::CertificateVerifier(const std::string& host)
    : verification(boost::asio::ssl::rfc2818_verification(host)) {}

bool CertificateVerifier::Verify(bool preverified, boost::asio::ssl::verify_context& context) {
    return verification.Verify(preverified, context);
}

}  // namespace network
