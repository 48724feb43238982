#pragma once

#include <boost/asio/ssl/verify_context.hpp>

namespace network {

// Checks one certificate of the peer's chain during a TLS handshake.
class ICertificateVerifier {
public:
    virtual ~ICertificateVerifier() = default;
    virtual bool Verify(bool preverified, boost::asio::ssl::verify_context& context) = 0;
};

}  // namespace network
