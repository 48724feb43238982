#include "network/WebSocketHandshake.h"

#include <algorithm>
#include <optional>
#include <string_view>

#include "network/Base64.h"
#include "network/HTTPListElements.h"
#include "network/Random.h"
#include "network/SHA1Hasher.h"

namespace network {

namespace {

// RFC 6455 section 1.3: appended to the key before hashing it.
constexpr char kAcceptGUID[] = "258EAFA5-E914-47DA-95CA-C5AB0DC85B11";
constexpr char kNegotiating[] = " while negotiating web socket connection";

std::string Lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; });
    return text;
}

// An extension's name: what comes before its first parameter.
std::string ExtensionName(std::string_view element) {
    return Lower(std::string(TrimmedHTTPBlanks(element.substr(0, element.find(';')))));
}

}  // namespace

WebSocketHandshake::WebSocketHandshake() {
    // The 16 bytes of a random version-4 UUID.
    unsigned char uuid[16];
    MakeRandomBytes(uuid, sizeof uuid, 0);
    uuid[6] = static_cast<unsigned char>((uuid[6] & 0x0F) | 0x40);
    uuid[8] = static_cast<unsigned char>((uuid[8] & 0x3F) | 0x80);
    key_ = Base64Encode(uuid, sizeof uuid);
}

std::string WebSocketHandshake::AcceptValueFor(const std::string& key) {
    SHA1Hasher hasher;
    const std::string text = key + kAcceptGUID;
    hasher.Update(text.data(), text.size());
    return Base64Encode(hasher.Final());
}

void WebSocketHandshake::AddHeaders(AsyncHTTPRequest& request,
                                    const std::map<std::string, std::string>& headers) {
    request.AddHeader("Cache-Control", "no-cache");
    request.AddHeader("Pragma", "no-cache");
    request.AddHeader("Upgrade", "websocket");
    request.AddHeader("Connection", "upgrade");
    request.AddHeader("Sec-WebSocket-Key", key_);
    request.AddHeader("Sec-WebSocket-Version", "13");
    for (const auto& [name, value] : headers) {
        request.AddHeader(name, value);
        if (HeaderNameEquals(name, "Sec-WebSocket-Extensions")) {
            ForEachListElement(value, [this](std::string_view element) {
                extensions_.push_back(ExtensionName(element));
            });
        } else if (HeaderNameEquals(name, "Sec-WebSocket-Protocol")) {
            ForEachListElement(value, [this](std::string_view element) {
                subprotocols_.emplace_back(element);
            });
        }
    }
}

std::string WebSocketHandshake::Check(IHTTPResponse& response) const {
    const auto upgrades = response.GetHeaders("Upgrade");
    if (upgrades.empty() || std::any_of(upgrades.begin(), upgrades.end(), [](const std::string& value) {
            return !HeaderNameEquals(TrimmedHTTPBlanks(value), "websocket");
        })) {
        return std::string("Missing or wrong header 'Upgrade'") + kNegotiating;
    }
    bool upgradeToken = false;
    for (const auto& connection : response.GetHeaders("Connection")) {
        ForEachListElement(connection, [&upgradeToken](std::string_view token) {
            upgradeToken = upgradeToken || HeaderNameEquals(token, "upgrade");
        });
    }
    if (!upgradeToken) {
        return std::string("Missing token 'upgrade' in header 'Connection'") + kNegotiating;
    }
    const std::string accept = response.GetHeader("Sec-WebSocket-Accept");
    if (accept.empty()) {
        return std::string("Missing header 'Sec-WebSocket-Accept'") + kNegotiating;
    }
    if (accept != AcceptValueFor(key_)) {
        return std::string("Invalid value for header 'Sec-WebSocket-Accept'") + kNegotiating;
    }
    for (const auto& value : response.GetHeaders("Sec-WebSocket-Extensions")) {
        std::optional<std::string> refused;
        ForEachListElement(value, [&](std::string_view element) {
            auto name = ExtensionName(element);
            if (!refused && std::find(extensions_.begin(), extensions_.end(), name) == extensions_.end()) {
                refused = std::move(name);
            }
        });
        if (refused) {
            return "Extension '" + *refused + "' not asked for" + kNegotiating;
        }
    }
    const auto protocols = response.GetHeaders("Sec-WebSocket-Protocol");
    if (protocols.size() > 1) {
        return std::string("More than one header 'Sec-WebSocket-Protocol'") + kNegotiating;
    }
    if (!protocols.empty()) {
        const std::string chosen(TrimmedHTTPBlanks(protocols.front()));
        if (std::find(subprotocols_.begin(), subprotocols_.end(), chosen) == subprotocols_.end()) {
            return "Subprotocol '" + chosen + "' not asked for" + kNegotiating;
        }
    }
    return {};
}

}  // namespace network
