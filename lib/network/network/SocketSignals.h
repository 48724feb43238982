#pragma once

#include <cstdint>

#include <boost/signals2/signal.hpp>

namespace network {

// The process-wide notifications shared by all sockets of one factory.
class SocketSignals {
public:
    enum class ProxyAuthenticationMethod : std::uint32_t { None = 0, Basic = 1, Digest = 2 };

    // Emitted by a socket when it engages a proxy authentication scheme.
    boost::signals2::signal<void(ProxyAuthenticationMethod)> proxyAuthentication;
    // Every socket listens to it while connected and closes itself, quietly,
    // when it is emitted.
    boost::signals2::signal<void()> closeAll;
};

}  // namespace network
