#pragma once

#include <boost/asio/ssl/context.hpp>

namespace network {

// The one client TLS context shared by every TLS connection: any TLS version
// but SSLv3, peers verified against OpenSSL's default paths and the system's
// trusted certificates, trusted certificates first when building chains.
class AsyncSSLContext : public boost::asio::ssl::context {
public:
    AsyncSSLContext();
};

}  // namespace network
