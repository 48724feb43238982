#include <gtest/gtest.h>

#include "network/AsyncNetworkFactory.h"
#include "network/AsyncTCPSocket.h"
#include "support/SocketTestLoop.h"
#include "support/SocketTestPeer.h"

namespace {

using networktest::SocketTestLoop;

// The factory's sockets are distinct but share its TLS context and its
// connectivity monitor, the one GetNetworkConnectivity gives: switching
// that off stops every socket of the factory from connecting.
TEST(AsyncNetworkFactoryTest, SocketsShareTheFactorysTLSContextAndConnectivity) {
    const auto [echo, port] = networktest::StartSocketTestPeer("echo");
    SocketTestLoop loop;
    network::AsyncNetworkFactory factory(loop.service, nullptr);
    const auto first = std::dynamic_pointer_cast<network::AsyncTCPSocket>(factory.CreateTCPSocket());
    const auto second = std::dynamic_pointer_cast<network::AsyncTCPSocket>(factory.CreateTCPSocket());
    ASSERT_TRUE(first && second);
    EXPECT_NE(first, second);
    EXPECT_EQ(first->GetSSLContext(), second->GetSSLContext());
    const auto connectivity = factory.GetNetworkConnectivity();
    EXPECT_EQ(connectivity, first->GetNetworkConnectivity());
    EXPECT_EQ(connectivity, second->GetNetworkConnectivity());

    const auto connect = [&](network::ITCPSocket& socket) {
        int code = -1;
        socket.AsyncConnect("127.0.0.1", static_cast<std::uint16_t>(port), false,
                            [&](network::ITCPSocket::ErrorCode c) { code = static_cast<int>(c); });
        loop.runUntil([&] { return code != -1; });
        return code;
    };
    connectivity->SetDisabled(true);
    EXPECT_EQ(10, connect(*first));
    EXPECT_EQ(10, connect(*second));
    connectivity->SetDisabled(false);
    EXPECT_EQ(0, connect(*first));
}

}  // namespace
