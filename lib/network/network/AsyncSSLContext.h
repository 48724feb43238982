#pragma once

#include <atomic>
#include <memory>
#include <mutex>

#include <boost/asio/ssl/context.hpp>

namespace network {

// The one client TLS context shared by every TLS connection: any TLS version
// but SSLv3, peers verified against OpenSSL's default paths and the system's
// trusted certificates, trusted certificates first when building chains.
//
// Nothing of OpenSSL is set up until a TLS connection asks for the context:
// a process that only speaks plain HTTP never makes it. The trusted
// certificates are loaded by the first TLS handshake that uses the context
// (LoadTrust), once per context; each is decoded only when a verification
// first looks for it.
class AsyncSSLContext {
public:
    AsyncSSLContext();
    ~AsyncSSLContext();
    AsyncSSLContext(const AsyncSSLContext&) = delete;
    AsyncSSLContext& operator=(const AsyncSSLContext&) = delete;

    // The context, made on the first call. Safe to call from several threads.
    boost::asio::ssl::context& Get();

    // Loads the system's trusted certificates and OpenSSL's default verify
    // paths into the context the first time it is called; later calls return
    // at once. Safe to call from several threads: each returns once the trust
    // is loaded.
    void LoadTrust();

    // Whether the context has been made.
    bool IsCreated() const;

private:
    std::once_flag created_;
    std::once_flag trustLoaded_;
    std::unique_ptr<boost::asio::ssl::context> context_;
    std::atomic<bool> isCreated_{false};
};

}  // namespace network
