#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "support/HTTPTestPeer.h"

namespace networktest {

// The answers, requests and sockets the tests of AsyncHTTPConnection share.

inline std::string Ok(const std::string& body, const std::string& extra = "") {
    return "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) + "\r\n" + extra +
           "\r\n" + body;
}

inline std::unique_ptr<network::IHTTPRequest> Request(
    const std::shared_ptr<network::AsyncHTTPConnection>& connection, const std::string& method,
    const std::string& body, const std::vector<std::pair<std::string, std::string>>& headers = {}) {
    auto request = connection->CreateRequest();
    request->SetMethod(method);
    request->SetBody(core::NonInitializingBuffer<unsigned char>(
        reinterpret_cast<const unsigned char*>(body.data()), body.size()));
    for (const auto& [name, value] : headers) {
        request->AddHeader(name, value);
    }
    return request;
}

// A socket of `loop` connected to `peer`, with `timeoutMs` as its time-out
// (0: the default); null when it did not connect in time.
inline std::shared_ptr<network::AsyncTCPSocket> ConnectedSocket(const SocketTestLoop& loop,
                                                                const HTTPTestPeer& peer,
                                                                std::uint64_t timeoutMs = 0) {
    auto socket = loop.socket();
    if (timeoutMs != 0) {
        socket->SetTimeout(timeoutMs);
    }
    bool connected = false;
    socket->AsyncConnect("127.0.0.1", static_cast<std::uint16_t>(peer.port()), false,
                         [&](network::ITCPSocket::ErrorCode) { connected = true; });
    return loop.runUntil([&] { return connected; }) ? socket : nullptr;
}

}  // namespace networktest
