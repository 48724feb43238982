#pragma once

#include <functional>
#include <string>

#include "network/ICertificateVerifier.h"
#include "network/verbose_verification.h"

namespace network {

// The check of one handshake: the chain as OpenSSL verified it and the
// leaf's match of the expected host, logged step by step. Names are matched
// by OpenSSL's host matcher (X509_check_host, X509_check_ip_asc for an
// address) as curl matches them: a wildcard only as the whole leftmost label
// of a name with at least two more ("*" and "l*st" match nothing).
class CertificateVerifier : public ICertificateVerifier {
public:
    explicit CertificateVerifier(const std::string& host);

    bool Verify(bool preverified, boost::asio::ssl::verify_context& context) override;

private:
    verbose_verification<std::function<bool(bool, boost::asio::ssl::verify_context&)>> verification;
};

}  // namespace network
