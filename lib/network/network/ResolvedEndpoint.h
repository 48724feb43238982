#pragma once

#include <cstdint>

#include <boost/asio/ip/address.hpp>

namespace network {

// One address to connect to, with the port that was asked for.
struct ResolvedEndpoint {
    boost::asio::ip::address address;
    std::uint16_t port = 0;
};

}  // namespace network
