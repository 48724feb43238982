#pragma once

#include <cstdint>

namespace network {

// The opcode of a web-socket frame (RFC 6455 section 5.2).
enum class WebSocketOperationCode : std::uint8_t {
    Continuation = 0,
    Text = 1,
    Binary = 2,
    Close = 8,
    Ping = 9,
    Pong = 10,
};

}  // namespace network
