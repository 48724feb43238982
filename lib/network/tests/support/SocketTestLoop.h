#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include "network/AsyncSSLContext.h"
#include "network/AsyncService.h"
#include "network/AsyncTCPSocket.h"
#include "network/NetworkConnectivity.h"

namespace networktest {

// A polled service with a TLS context and an always reachable connectivity,
// and the loop that runs its handlers until a condition holds.
struct SocketTestLoop {
    std::shared_ptr<network::AsyncService> service =
        std::make_shared<network::AsyncService>(true, "socket-test", nullptr);
    std::shared_ptr<network::AsyncSSLContext> tls = std::make_shared<network::AsyncSSLContext>();
    std::shared_ptr<network::NetworkConnectivity> connectivity =
        std::make_shared<network::NetworkConnectivity>();

    std::shared_ptr<network::AsyncTCPSocket> socket() const {
        return std::make_shared<network::AsyncTCPSocket>(service, tls, nullptr, connectivity);
    }

    // Runs handlers until `done` holds or `bound` has passed; whether it holds.
    bool runUntil(const std::function<bool()>& done,
                  std::chrono::milliseconds bound = std::chrono::seconds(15)) const {
        const auto deadline = std::chrono::steady_clock::now() + bound;
        while (!done() && std::chrono::steady_clock::now() < deadline) {
            service->GetIOContext().run_one_for(std::chrono::milliseconds(20));
        }
        return done();
    }
};

// Writes one line on the channel "Probe", where the test finds it.
inline void probe(const std::string& text) {
    common::createLogger("Probe")->info("%s", text.c_str());
}

}  // namespace networktest
