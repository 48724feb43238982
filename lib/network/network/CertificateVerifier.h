#pragma once

#include <string>

#include <boost/asio/ssl/rfc2818_verification.hpp>

#include "network/ICertificateVerifier.h"
#include "network/verbose_verification.h"

namespace network {

// The check of one handshake: the chain as OpenSSL verified it and the
// leaf's match of the expected host name, logged step by step.
class CertificateVerifier : public ICertificateVerifier {
public:
    explicit CertificateVerifier(const std::string& host);

    bool Verify(bool preverified, boost::asio::ssl::verify_context& context) override;

private:
    verbose_verification<boost::asio::ssl::rfc2818_verification> verification;
};

}  // namespace network
