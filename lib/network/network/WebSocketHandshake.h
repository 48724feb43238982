#pragma once

#include <map>
#include <string>
#include <vector>

#include "network/AsyncHTTPRequest.h"
#include "network/IHTTPResponse.h"

namespace network {

// The client's half of the opening handshake (RFC 6455 section 4.1): the
// random key, the upgrade request's headers, and the checks of a 101 answer
// (the upgrade to "websocket", the "Connection: upgrade" token, the accept
// value, and no extension or subprotocol the request did not ask for).
class WebSocketHandshake {
public:
    // Draws the key from the secure random source; throws when it cannot be
    // read.
    WebSocketHandshake();

    const std::string& Key() const { return key_; }
    // The value "Sec-WebSocket-Accept" must have: the key's SHA-1 digest with
    // the RFC's constant, in base64.
    static std::string AcceptValueFor(const std::string& key);

    // The protocol's headers, then the caller's in byte order of their names
    // (a caller header with one of the protocol's names is sent as well, not
    // instead); notes which extensions and subprotocols the caller asks for.
    void AddHeaders(AsyncHTTPRequest& request, const std::map<std::string, std::string>& headers);

    // Checks the headers of a 101 answer; empty when the upgrade stands,
    // else the log line that says why not.
    std::string Check(IHTTPResponse& response) const;

private:
    std::string key_;
    std::vector<std::string> extensions_;    // names asked for, lower-cased
    std::vector<std::string> subprotocols_;  // as asked for
};

}  // namespace network
