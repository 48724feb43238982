#include "network/CertificateVerifier.h"

#include <openssl/x509v3.h>

#include <boost/asio/ip/address.hpp>

namespace network {

namespace {

// What Boost.Asio's host_name_verification does, with the flag that refuses
// partial-label wildcards.
bool MatchesHost(const std::string& host, bool preverified,
                 boost::asio::ssl::verify_context& context) {
    if (!preverified) {
        return false;
    }
    X509_STORE_CTX* chain = context.native_handle();
    // Only the leaf names the host; the chain above it was checked already.
    if (X509_STORE_CTX_get_error_depth(chain) > 0) {
        return true;
    }
    X509* certificate = X509_STORE_CTX_get_current_cert(chain);
    if (certificate == nullptr) {
        return false;
    }
    boost::system::error_code notAddress;
    boost::asio::ip::make_address(host, notAddress);
    if (!notAddress) {
        return X509_check_ip_asc(certificate, host.c_str(), 0) == 1;
    }
    return X509_check_host(certificate, host.data(), host.size(),
                           X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS, nullptr) == 1;
}

}  // namespace

CertificateVerifier::CertificateVerifier(const std::string& host)
    : verification([host](bool preverified, boost::asio::ssl::verify_context& context) {
          return MatchesHost(host, preverified, context);
      }) {}

bool CertificateVerifier::Verify(bool preverified, boost::asio::ssl::verify_context& context) {
    return verification.Verify(preverified, context);
}

}  // namespace network
