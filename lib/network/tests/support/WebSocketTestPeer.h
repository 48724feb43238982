#pragma once

#include <memory>
#include <string>
#include <vector>

#include "support/ScriptServer.h"
#include "support/TempDir.h"
#include "support/TestCertificates.h"

namespace networktest {

// "websocket_test_peer.py" started on loopback with a certificate for
// "localhost" (and "target.test", the name a test proxy finds at 127.0.0.1)
// under a test CA: its servers' URLs and its journal.
class WebSocketTestPeer {
public:
    WebSocketTestPeer() {
        certificates_.make("localhost", {"localhost", {"localhost", "target.test"}});
        server_ = std::make_unique<testsupport::ScriptServer>(
            testsupport::testSupportDirectory() + "/websocket_test_peer.py",
            std::vector<std::string>{"--journal", journal(), "--cert", folder_.file("localhost.pem"),
                                     "--key", certificates_.keyFile("localhost")});
    }

    bool ready() const { return server_->ready(); }
    int port(const std::string& server) const { return server_->readyNumber(server).value_or(0); }
    // "wss" is reached as localhost (the certificate's name), the others as 127.0.0.1.
    std::string url(const std::string& server, const std::string& path) const {
        const bool tls = server == "wss";
        return std::string(tls ? "wss://localhost:" : "ws://127.0.0.1:") + std::to_string(port(server)) +
               path;
    }
    // The same server as a proxy reaches it, by the name "target.test".
    std::string proxiedUrl(const std::string& server, const std::string& path) const {
        return (server == "wss" ? "wss" : "ws") + std::string("://target.test:") +
               std::to_string(port(server)) + path;
    }
    std::string journal() const { return folder_.file("journal"); }
    std::string caFile() const { return certificates_.caFile(); }

private:
    testsupport::TempDir folder_{"quorvane-websocket-peer"};
    TestCertificates certificates_{folder_.path()};
    std::unique_ptr<testsupport::ScriptServer> server_;
};

}  // namespace networktest
