#include "ProxyAuthenticator.h"
#include "QtCorePlatformPrivate.h"
#include "WebSocketFixture.h"

namespace {

// Web sockets through the peer's tunnelling proxy, which the system settings
// name; "target.test" leads through it to the echo server.
class WebSocketProxyTest : public WebSocketFixture {
protected:
    void SetUp() override {
        WebSocketFixture::SetUp();
        startPeer(false, true);
        proxyHost_ = "127.0.0.1:" + std::to_string(port("proxy"));
        environment_.set("http_proxy", "http://" + proxyHost_);
    }

    std::string targetUrl() const {
        return "ws://target.test:" + std::to_string(port("ws")) + "/tunnel";
    }

    // The proxy's verdicts on the credentials of each CONNECT, in order.
    std::vector<std::string> verdicts() const {
        std::vector<std::string> all;
        for (const auto& entry : journal("connect")) {
            all.push_back(entry.value("auth").toString().toStdString());
        }
        return all;
    }

    std::string proxyHost_;
};

TEST_F(WebSocketProxyTest, TheUserIsAskedForCredentialsAndTheConnectionUsesThem) {
    SocketEvents events;
    auto& ws = socket(events);
    ws.open(targetUrl());
    ASSERT_TRUE(waitFor(events, "disconnected")) << ::testing::PrintToString(events.all());
    const std::string asked = "proxy:" + proxyHost_;
    EXPECT_EQ((Events{asked, "error:12", "disconnected"}), events.all());

    ws.setProxyCredentials(L"anna", L"open-sesame");
    ws.open(targetUrl());
    const std::string connected = "connected:" + proxyHost_ + ":anna:open-sesame";
    ASSERT_TRUE(waitFor(events, connected)) << ::testing::PrintToString(events.all());
    ws.sendTextMessage("through", {});
    ASSERT_TRUE(waitFor(events, "text:through"));
    EXPECT_EQ(ProxyAuthenticator::CredentialsAccepted,
              platform_->internals().proxyAuthenticator()->credentialsState());
    EXPECT_EQ((std::vector<std::string>{"missing", "missing", "ok"}), verdicts());
    EXPECT_EQ(1u, journal("open").size());
}

TEST_F(WebSocketProxyTest, WrongCredentialsEndInOneErrorAndOneDisconnect) {
    SocketEvents events;
    auto& ws = socket(events);
    ws.setProxyCredentials(L"anna", L"wrong");
    ws.open(targetUrl());
    ASSERT_TRUE(waitFor(events, "disconnected")) << ::testing::PrintToString(events.all());
    // Opened once more (the user is being asked): whatever the first attempt
    // still had to report comes before this one's.
    ws.open(targetUrl());
    ASSERT_TRUE(waitFor(events, "disconnected", 2)) << ::testing::PrintToString(events.all());
    EXPECT_EQ(
        (Events{"proxy:" + proxyHost_, "error:12", "disconnected", "error:12", "disconnected"}),
        events.all());
    EXPECT_EQ((std::vector<std::string>{"missing", "wrong", "missing"}), verdicts());
    EXPECT_TRUE(journal("open").empty());
}

}  // namespace
