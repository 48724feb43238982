#pragma once

#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/ScriptServer.h"
#include "support/TestCertificates.h"

namespace networktest {

// A running "socket_test_peer.py" and its port.
struct SocketTestPeer {
    std::unique_ptr<testsupport::ScriptServer> server;
    int port = 0;
};

// Starts the peer in `mode`, speaking TLS with the certificate `cert` of
// `certificates` when one is named, with `extra` arguments.
inline SocketTestPeer StartSocketTestPeer(const std::string& mode,
                                          const TestCertificates* certificates = nullptr,
                                          const std::string& cert = {},
                                          const std::vector<std::string>& extra = {}) {
    std::vector<std::string> arguments{mode};
    if (certificates != nullptr && !cert.empty()) {
        arguments.insert(arguments.end(), {"--cert", certificates->certificateFile(cert), "--key",
                                           certificates->keyFile(cert)});
    }
    arguments.insert(arguments.end(), extra.begin(), extra.end());
    auto server = std::make_unique<testsupport::ScriptServer>(
        std::string(NETWORK_TEST_SUPPORT_DIR) + "/socket_test_peer.py", arguments);
    EXPECT_TRUE(server->ready()) << "the " << mode << " peer did not start";
    const int port = server->readyNumber("port").value_or(0);
    return {std::move(server), port};
}

}  // namespace networktest
