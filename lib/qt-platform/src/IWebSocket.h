#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// One web-socket connection through Qt. Open it on a ws, wss or https URL
// (https is opened as wss), exchange text, binary messages and pings, and
// close it; the same object can be opened again after a disconnect. Text
// crosses as UTF-8, bytes as byte vectors, proxy credentials as wide strings.
//
// Every handler but the message-sent ones belongs to the handler set, which
// resetHandlers replaces: a report posted for the old set and not yet run is
// dropped. Handlers run as tasks of the socket's own queue
// "QtCorePlatform::WebSocket" (the main thread), in the order of the events;
// a failed connection reports its error before its one disconnect.
class IWebSocket {
public:
    using BinaryMessageHandler = std::function<void(std::vector<std::uint8_t> data)>;
    using TextMessageHandler = std::function<void(std::string text)>;
    // The proxy in use: host, port, user and password; empty and 0 without one.
    using ConnectedHandler = std::function<void(std::string host, std::uint16_t port,
                                                std::wstring user, std::wstring password)>;
    using DisconnectedHandler = std::function<void()>;
    // Qt's socket error code (QAbstractSocket::SocketError): 0 and 2 to 22
    // as they are, -1 for anything else.
    using ErrorHandler = std::function<void(std::int32_t error)>;
    // The certificate errors of a handshake, when the ignore list covers none.
    using SslErrorsHandler = std::function<void(std::vector<int> codes)>;
    using PongHandler =
        std::function<void(std::uint64_t elapsedMs, std::vector<std::uint8_t> payload)>;
    // The challenging proxy's host and port; answer with setProxyCredentials
    // and open again.
    using ProxyAuthenticationRequiredHandler =
        std::function<void(std::string host, std::uint16_t port)>;
    // True when the whole message was handed to the connection.
    using MessageSentHandler = std::function<void(bool sent)>;

    virtual ~IWebSocket() = default;

    // Chooses the proxy for `url` (it becomes the process's proxy) and starts
    // the opening; an opening while the socket is not unconnected is refused
    // with a warning.
    virtual void open(const std::string& url) = 0;
    // Closes with code 1000, or abandons an opening under way; the
    // disconnected handler follows once.
    virtual void close() = 0;
    // A header of the next opening; the same name again replaces the value.
    virtual void setHeader(const std::string& name, const std::string& value) = 0;
    virtual void setProxyCredentials(const std::wstring& user, const std::wstring& password) = 0;
    virtual void sendBinaryMessage(const std::vector<std::uint8_t>& data,
                                   MessageSentHandler handler) = 0;
    virtual void sendTextMessage(const std::string& text, MessageSentHandler handler) = 0;
    // The payload is at most 125 bytes.
    virtual void ping(const std::vector<std::uint8_t>& payload) = 0;
    // Qt's certificate error codes (0 to 24; anything else is -1) that a
    // handshake may pass with.
    virtual void setIgnoredSslErrors(const std::vector<int>& codes) = 0;
    virtual void resetHandlers() = 0;
    virtual void setBinaryMessageHandler(BinaryMessageHandler handler) = 0;
    virtual void setTextMessageHandler(TextMessageHandler handler) = 0;
    virtual void setConnectedHandler(ConnectedHandler handler) = 0;
    virtual void setDisconnectedHandler(DisconnectedHandler handler) = 0;
    virtual void setErrorHandler(ErrorHandler handler) = 0;
    virtual void setSslErrorsHandler(SslErrorsHandler handler) = 0;
    virtual void setPongHandler(PongHandler handler) = 0;
    virtual void setProxyAuthenticationRequiredHandler(
        ProxyAuthenticationRequiredHandler handler) = 0;
};
