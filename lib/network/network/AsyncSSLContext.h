#pragma once

#include <mutex>

#include <boost/asio/ssl/context.hpp>

namespace network {

// The one client TLS context shared by every TLS connection: any TLS version
// but SSLv3, peers verified against OpenSSL's default paths and the system's
// trusted certificates, trusted certificates first when building chains.
//
// The trusted certificates are loaded by the first TLS handshake that uses
// the context (LoadTrust), once per context: a process that only speaks
// plain HTTP never reads them.
class AsyncSSLContext : public boost::asio::ssl::context {
public:
    AsyncSSLContext();

    // Loads the system's trusted certificates and OpenSSL's default verify
    // paths into the context the first time it is called; later calls return
    // at once. Safe to call from several threads: each returns once the trust
    // is loaded.
    void LoadTrust();

private:
    std::once_flag trustLoaded_;
};

}  // namespace network
