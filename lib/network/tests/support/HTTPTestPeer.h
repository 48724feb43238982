#pragma once

#include <zlib.h>

#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include <rapidjson/document.h>

#include "network/AsyncHTTPConnection.h"
#include "support/ScriptServer.h"
#include "support/SocketTestLoop.h"
#include "support/TempDir.h"

namespace networktest {

// One step of a scripted connection of "http_test_peer.py".
struct PeerStep {
    std::string response;
    bool close = false;
    bool drip = false;
    bool hang = false;
    // Sent 50 ms after the response, unasked: a stray answer on a kept
    // connection (sent before the close, when there is one).
    std::string later = "";
    // Sent right behind the response in a write of its own, arriving with
    // it (over TLS, as a record of its own).
    std::string then = "";
    // The peer shuts its sending side down after the response and goes on
    // reading (plain connections only).
    bool shutdown = false;
    // After the response the peer neither reads nor closes.
    bool stall = false;
};

// The certificate and key a peer speaks TLS with.
struct PeerTLS {
    std::string certificate;
    std::string key;
};

// The scripted peer, started on loopback, with the requests it logged.
class HTTPTestPeer {
public:
    explicit HTTPTestPeer(const std::vector<std::vector<PeerStep>>& connections,
                          const PeerTLS& tls = {})
        : scheme_(tls.certificate.empty() ? "http" : "https") {
        std::string script = "{\"connections\": [";
        for (std::size_t c = 0; c < connections.size(); ++c) {
            script += c == 0 ? "[" : ", [";
            for (std::size_t s = 0; s < connections[c].size(); ++s) {
                const auto& step = connections[c][s];
                script += (s == 0 ? "{" : ", {") + std::string("\"response\": ") + Quote(step.response) +
                          ", \"close\": " + Bool(step.close) + ", \"drip\": " + Bool(step.drip) +
                          ", \"hang\": " + Bool(step.hang) + ", \"later\": " + Quote(step.later) +
                          ", \"then\": " + Quote(step.then) +
                          ", \"shutdown\": " + Bool(step.shutdown) +
                          ", \"stall\": " + Bool(step.stall) +
                          "}";
            }
            script += "]";
        }
        script += "]}";
        std::ofstream(folder_.file("script.json")) << script;
        std::vector<std::string> arguments{folder_.file("script.json"),
                                           folder_.file("requests.log")};
        if (!tls.certificate.empty()) {
            arguments.insert(arguments.end(), {"--cert", tls.certificate, "--key", tls.key});
        }
        server_ = std::make_unique<testsupport::ScriptServer>(
            std::string(NETWORK_TEST_SUPPORT_DIR) + "/http_test_peer.py", arguments);
        port_ = server_->readyNumber("port").value_or(0);
    }

    int port() const { return port_; }
    std::string url(const std::string& path, const std::string& host = "127.0.0.1") const {
        return scheme_ + "://" + host + ":" + std::to_string(port_) + path;
    }

    // True once every "later" text of the script has been sent (and the
    // connection closed, where its step closes it).
    bool laterSent(std::size_t expected = 1) const { return logged("later", expected); }
    // True once `expected` steps have shut their connection's sending side.
    bool shutDown(std::size_t expected = 1) const { return logged("shutdown", expected); }
    // The same for the connection with the index `connection` alone (a
    // response tells its index for "{connection}").
    bool laterSentOn(int connection) const { return logged("later", 1, connection); }
    bool shutDownOn(int connection) const { return logged("shutdown", 1, connection); }

    // (connection index, request bytes), in the order they were read.
    std::vector<std::pair<int, std::string>> requests() const {
        std::vector<std::pair<int, std::string>> result;
        std::ifstream log(folder_.file("requests.log"));
        std::string line;
        while (std::getline(log, line)) {
            // Read as UTF-16: the characters of the log are the bytes sent.
            rapidjson::GenericDocument<rapidjson::UTF16<>> document;
            document.Parse<0, rapidjson::UTF8<>>(line.c_str());
            if (!document.IsObject() || !document.HasMember(L"request")) {
                continue;
            }
            const auto& request = document[L"request"];
            const std::string latin1(request.GetString(),
                                     request.GetString() + request.GetStringLength());
            result.emplace_back(document[L"connection"].GetInt(), latin1);
        }
        return result;
    }

private:
    // Whether the log holds `expected` lines marking `event` done, on the
    // connection `connection` when it is not negative.
    bool logged(const std::string& event, std::size_t expected, int connection = -1) const {
        std::ifstream log(folder_.file("requests.log"));
        const std::string on = "{\"connection\": " + std::to_string(connection) + ", ";
        std::size_t count = 0;
        for (std::string line; std::getline(log, line);) {
            count += line.find("\"" + event + "\": true") != std::string::npos &&
                             (connection < 0 || line.rfind(on, 0) == 0)
                         ? 1
                         : 0;
        }
        return count >= expected;
    }

    static std::string Bool(bool b) { return b ? "true" : "false"; }
    static std::string Quote(const std::string& text) {
        std::string out = "\"";
        for (const unsigned char c : text) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\u%04x", c);
            out += c < 0x20 || c >= 0x7f || c == '"' || c == '\\' ? escape : std::string(1, char(c));
        }
        return out + "\"";
    }

    std::string scheme_;
    testsupport::TempDir folder_{"quorvane-http-peer"};
    std::unique_ptr<testsupport::ScriptServer> server_;
    int port_ = 0;
};

// The outcome of one request.
struct Fetched {
    bool done = false;
    network::HTTPStatusCode code = 0;
    std::unique_ptr<network::IHTTPResponse> response;
    std::string body;
};

inline Fetched Fetch(const SocketTestLoop& loop,
                     const std::shared_ptr<network::AsyncHTTPConnection>& connection,
                     const std::string& url,
                     std::unique_ptr<network::IHTTPRequest> request = nullptr,
                     std::chrono::milliseconds bound = std::chrono::seconds(20)) {
    auto fetched = std::make_shared<Fetched>();
    if (!request) {
        request = connection->CreateRequest();
    }
    connection->Submit(url, std::move(request),
                       [fetched](network::HTTPStatusCode code,
                                 std::unique_ptr<network::IHTTPResponse> response) {
                           fetched->done = true;
                           fetched->code = code;
                           if (response) {
                               auto body = response->TakeBody();
                               fetched->body.assign(body.begin(), body.end());
                           }
                           fetched->response = std::move(response);
                       });
    loop.runUntil([&] { return fetched->done; }, bound);
    return std::move(*fetched);
}

inline std::shared_ptr<network::AsyncHTTPConnection> OnDemandConnection(
    const SocketTestLoop& loop, std::shared_ptr<network::HTTPCookieStore> store = nullptr) {
    auto connection = network::AsyncHTTPConnection::Create(
        loop.service, loop.tls, nullptr, loop.connectivity,
        store ? store : std::make_shared<network::HTTPCookieStore>());
    connection->SetKeepAlive(true);
    return connection;
}


}  // namespace networktest
