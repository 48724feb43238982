#pragma once

#include <algorithm>
#include <chrono>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <rapidjson/document.h>

#include "network/AsyncWebSocket.h"
#include "network/IHTTPResponse.h"
#include "platform/security/TrustedCertificates.h"
#include "support/SocketTestLoop.h"
#include "support/WebSocketTestPeer.h"

namespace networktest {


inline core::NonInitializingBuffer<unsigned char> Bytes(const std::string& text) {
    return core::NonInitializingBuffer<unsigned char>(reinterpret_cast<const unsigned char*>(text.data()), text.size());
}

inline std::string Text(const core::NonInitializingBuffer<unsigned char>& payload) {
    return std::string(payload.begin(), payload.end());
}

// A payload of `size` bytes that differ from their neighbours.
inline std::string Pattern(std::size_t size) {
    std::string text(size, '\0');
    for (std::size_t i = 0; i < size; ++i) {
        text[i] = static_cast<char>((i * 131 + i / 251) & 0xFF);
    }
    return text;
}

struct Received {
    bool done = false;
    network::ITCPSocket::ErrorCode code = 0;
    std::string payload;
};

// Web sockets against "websocket_test_peer.py": the websockets echo servers,
// plain and with TLS under a test CA, and the raw server's scripts.
class WebSocketFixture : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(peer_.ready()) << "the web-socket test peer did not start";
        // The TLS context takes the trusted certificates at its first
        // handshake: the test CA is the one trusted while the test runs.
        savedSearchList_ = platform::security::TrustedCertificates::copySearchList();
        platform::security::TrustedCertificates::setSearchList({peer_.caFile()});
        loop_ = std::make_unique<networktest::SocketTestLoop>();
    }

    void TearDown() override {
        loop_.reset();
        platform::security::TrustedCertificates::setSearchList(savedSearchList_);
    }

    std::string url(const std::string& server, const std::string& path) const {
        return peer_.url(server, path);
    }

    std::shared_ptr<network::AsyncWebSocket> make() const {
        return std::make_shared<network::AsyncWebSocket>(loop_->service, loop_->tls, nullptr,
                                                         loop_->connectivity);
    }

    // The upgrade's status (0 when it did not complete in time); the body
    // of its response in `body`, when given.
    network::HTTPStatusCode connect(const std::shared_ptr<network::AsyncWebSocket>& socket,
                                    const std::string& to,
                                    std::map<std::string, std::string> headers = {},
                                    std::string* body = nullptr) const {
        network::HTTPStatusCode status = 0;
        socket->Connect(to, std::move(headers),
                        [&](network::HTTPStatusCode code,
                            std::unique_ptr<network::IHTTPResponse> response) {
                            if (body != nullptr && response) {
                                *body = Text(response->TakeBody());
                            }
                            status = code;
                        });
        loop_->runUntil([&] { return status != 0; });
        return status;
    }

    std::shared_ptr<network::AsyncWebSocket> open(const std::string& to) const {
        auto socket = make();
        EXPECT_EQ(connect(socket, to), 101u) << to;
        return socket;
    }

    // Starts a Receive whose outcome lands in the result.
    std::shared_ptr<Received> startReceive(
        const std::shared_ptr<network::AsyncWebSocket>& socket) const {
        auto received = std::make_shared<Received>();
        socket->Receive([received](network::ITCPSocket::ErrorCode code,
                                   core::NonInitializingBuffer<unsigned char>&& payload) {
            received->done = true;
            received->code = code;
            received->payload = Text(payload);
        });
        return received;
    }

    Received receive(const std::shared_ptr<network::AsyncWebSocket>& socket,
                     std::chrono::milliseconds bound = std::chrono::seconds(10)) const {
        auto received = startReceive(socket);
        loop_->runUntil([&] { return received->done; }, bound);
        return *received;
    }

    network::ITCPSocket::ErrorCode send(const std::shared_ptr<network::AsyncWebSocket>& socket,
                                        const std::string& text) const {
        int code = -1;
        socket->Send(Bytes(text),
                     [&](network::ITCPSocket::ErrorCode c) { code = static_cast<int>(c); });
        loop_->runUntil([&] { return code != -1; });
        return static_cast<network::ITCPSocket::ErrorCode>(code);
    }

    // The journal entries holding `key`, each as its value's text (numbers
    // in decimal, the raw server's frames as "opcode:payload-hex").
    std::vector<std::string> journal(const std::string& key) const {
        std::vector<std::string> values;
        std::ifstream in(peer_.journal());
        std::string line;
        while (std::getline(in, line)) {
            rapidjson::Document entry;
            entry.Parse(line.c_str());
            if (!entry.IsObject() || !entry.HasMember(key.c_str())) {
                continue;
            }
            const auto& value = entry[key.c_str()];
            if (key == "frame") {
                values.push_back(std::to_string(value.GetInt()) + ":" + entry["payload"].GetString());
            } else if (value.IsInt()) {
                values.push_back(std::to_string(value.GetInt()));
            } else if (value.IsString()) {
                values.push_back(value.GetString());
            } else if (value.IsBool()) {
                values.push_back(value.GetBool() ? "true" : "false");
            } else if (value.IsArray()) {
                std::string text;
                for (const auto& header : value.GetArray()) {
                    text += std::string(header[0].GetString()) + ": " + header[1].GetString() + "\n";
                }
                values.push_back(text);
            }
        }
        return values;
    }

    bool waitForJournal(const std::string& key, const std::string& value,
                        std::chrono::milliseconds bound = std::chrono::seconds(10)) const {
        return loop_->runUntil(
            [&] {
                const auto values = journal(key);
                return std::find(values.begin(), values.end(), value) != values.end();
            },
            bound);
    }

    networktest::WebSocketTestPeer peer_;
    std::unique_ptr<networktest::SocketTestLoop> loop_;
    std::vector<std::string> savedSearchList_;
};

}  // namespace networktest
