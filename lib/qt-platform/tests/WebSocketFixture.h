#pragma once

#include <gtest/gtest.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkProxy>
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "FakeCredentialStorage.h"
#include "FakeTaskScheduler.h"
#include "HttpQueryFixture.h"
#include "IWebSocket.h"
#include "QtCorePlatform.h"
#include "ScopedEnvironment.h"
#include "support/ScriptServer.h"
#include "support/TempDir.h"

using SocketHandle = std::unique_ptr<IWebSocket, std::function<void(IWebSocket*)>>;
using Events = std::vector<std::string>;

// What a socket's handlers were called with, in order, on the test's thread
// (which runs the main thread's tasks): "connected:<host>:<port>:<user>:<password>",
// "disconnected", "error:<code>", "ssl:<code>,...", "text:<text>",
// "binary:<hex>", "pong:<hex>", "proxy:<host>:<port>" and "sent:<0|1>".
class SocketEvents {
public:
    void watch(IWebSocket& socket) {
        socket.setConnectedHandler(
            [this](std::string host, std::uint16_t port, std::wstring user, std::wstring password) {
                add("connected:" + host + ":" + std::to_string(port) + ":" + narrow(user) + ":" +
                    narrow(password));
            });
        socket.setDisconnectedHandler([this] { add("disconnected"); });
        socket.setErrorHandler([this](std::int32_t code) { add("error:" + std::to_string(code)); });
        socket.setSslErrorsHandler([this](std::vector<int> codes) {
            std::string text = "ssl:";
            for (std::size_t i = 0; i < codes.size(); ++i) {
                text += (i > 0 ? "," : "") + std::to_string(codes[i]);
            }
            add(text);
        });
        socket.setTextMessageHandler([this](std::string text) { add("text:" + text); });
        socket.setBinaryMessageHandler(
            [this](std::vector<std::uint8_t> data) { add("binary:" + hex(data)); });
        socket.setPongHandler([this](std::uint64_t, std::vector<std::uint8_t> payload) {
            add("pong:" + hex(payload));
        });
        socket.setProxyAuthenticationRequiredHandler([this](std::string host, std::uint16_t port) {
            add("proxy:" + host + ":" + std::to_string(port));
        });
    }

    IWebSocket::MessageSentHandler sent() {
        return [this](bool whole) { add(whole ? "sent:1" : "sent:0"); };
    }

    const Events& all() const { return events_; }
    int count(const std::string& event) const {
        return static_cast<int>(std::count(events_.begin(), events_.end(), event));
    }
    void clear() { events_.clear(); }

    static std::string hex(const std::vector<std::uint8_t>& data) {
        static const char* const kDigits = "0123456789abcdef";
        std::string text;
        for (const auto byte : data) {
            text += kDigits[byte >> 4];
            text += kDigits[byte & 15];
        }
        return text;
    }

private:
    void add(std::string event) { events_.push_back(std::move(event)); }
    static std::string narrow(const std::wstring& text) {
        return std::string(text.begin(), text.end());
    }

    Events events_;
};

// A platform with a fake scheduler, and the test peer: a web-socket echo
// server (plain and, when asked, TLS with a self-signed certificate for
// "quorvane.test") and, when asked, a tunnelling proxy that wants the user
// "anna" with the password "open-sesame" and leads "target.test" to the echo
// server (Qt sends nothing for loopback through a proxy).
class WebSocketFixture : public ::testing::Test {
protected:
    void SetUp() override { environment_.clearProxies(); }

    void TearDown() override {
        sockets_.clear();
        platform_.reset();
        // The application proxy is process-wide; leave none behind.
        QNetworkProxy::setApplicationProxy(QNetworkProxy(QNetworkProxy::NoProxy));
        peer_.reset();
    }

    void startPeer(bool tls = false, bool proxy = false) {
        std::vector<std::string> arguments{"--journal", journalPath_};
        if (tls) {
            ASSERT_TRUE(makeSelfSignedCertificate(scratch_.path()));
            arguments.insert(arguments.end(), {"--cert", scratch_.file("cert.pem"), "--key",
                                               scratch_.file("key.pem")});
        }
        if (proxy) {
            arguments.insert(arguments.end(), {"--proxy-user", "anna", "--proxy-password",
                                               "open-sesame", "--map", "target.test=127.0.0.1"});
        }
        const auto script =
            std::filesystem::path(__FILE__).parent_path() / "websocket_test_peer.py";
        peer_ = std::make_unique<testsupport::ScriptServer>(script.string(), arguments);
        ASSERT_TRUE(peer_->ready()) << "the web-socket test peer did not start";
    }

    int port(const std::string& name) const { return peer_->readyNumber(name).value_or(0); }
    std::string wsUrl(const std::string& path) const {
        return "ws://127.0.0.1:" + std::to_string(port("ws")) + path;
    }

    // A socket of the platform (started when need be), watched by `events`.
    IWebSocket& socket(SocketEvents& events) {
        if (!platform_) {
            platform_ = QtCorePlatform::create(scheduler_, &storage_, "web-socket-test");
        }
        sockets_.push_back(platform_->createWebSocket());
        events.watch(*sockets_.back());
        return *sockets_.back();
    }

    // Runs the main thread's tasks until `events` holds `event` `times` times.
    bool waitFor(const SocketEvents& events, const std::string& event, int times = 1) {
        return scheduler_.runUntil([&] { return events.count(event) >= times; });
    }

    // The peer's journal entries that have `key`, in order.
    std::vector<QJsonObject> journal(const std::string& key) const {
        std::vector<QJsonObject> entries;
        std::ifstream in(journalPath_);
        std::string line;
        while (std::getline(in, line)) {
            const auto entry = QJsonDocument::fromJson(QByteArray::fromStdString(line)).object();
            if (entry.contains(QString::fromStdString(key))) {
                entries.push_back(entry);
            }
        }
        return entries;
    }

    ScopedEnvironment environment_;
    testsupport::TempDir scratch_{"quorvane-websocket"};
    std::string journalPath_ = scratch_.file("journal.jsonl");
    FakeTaskScheduler scheduler_;
    FakeCredentialStorage storage_;
    std::unique_ptr<QtCorePlatform> platform_;
    std::vector<SocketHandle> sockets_;
    std::unique_ptr<testsupport::ScriptServer> peer_;
};
