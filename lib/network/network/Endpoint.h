#pragma once

#include <cstdint>
#include <string>

namespace network {

// A host text and a port. Ordered by port, then by host byte by byte (a host
// that is a prefix of another comes first).
struct Endpoint {
    std::string host;
    std::uint16_t port = 0;

    friend bool operator==(const Endpoint& a, const Endpoint& b) {
        return a.port == b.port && a.host == b.host;
    }
    friend bool operator<(const Endpoint& a, const Endpoint& b) {
        if (a.port != b.port) {
            return a.port < b.port;
        }
        return a.host.compare(b.host) < 0;
    }
};

}  // namespace network
