#include <QNetworkProxy>
#include <fstream>
#include <mutex>

#include "HttpQueryFixture.h"
#include "QtCorePlatformPrivate.h"

namespace {

// A web proxy with Basic authentication in front of the test web server; the made-up host
// "target.test" leads to that server (Qt never sends requests for loopback addresses through a
// proxy).
class HttpQueryProxyTest : public HttpQueryFixture {
protected:
    void SetUp() override {
        proxy_ = std::make_unique<testsupport::ScriptServer>(
            testsupport::testSupportDirectory() + "/http_test_proxy.py",
            std::vector<std::string>{"--journal", scratch_.file("proxy"), "--user", "anna",
                                     "--password", "open-sesame", "--map",
                                     "target.test=127.0.0.1"});
        ASSERT_TRUE(proxy_->ready()) << "the test proxy did not start";
        proxyPort_ = proxy_->readyNumber("port").value_or(0);
    }
    void TearDown() override {
        HttpQueryFixture::TearDown();
        proxy_.reset();
    }
    void useProxy(bool on) {
        environment_.set("http_proxy", on ? std::optional<std::string>("http://127.0.0.1:" +
                                                                       std::to_string(proxyPort_))
                                          : std::nullopt);
    }
    // The proxy settings Qt uses now, as "<type> <host>:<port>".
    static std::string applicationProxy() {
        const auto proxy = QNetworkProxy::applicationProxy();
        return std::to_string(proxy.type()) + " " + proxy.hostName().toStdString() + ":" +
               std::to_string(proxy.port());
    }
    // Fetches `path` of "target.test"; its events and status code.
    std::pair<Events, int> fetch(const std::string& path) {
        auto request = query();
        QueryOutcome outcome;
        EXPECT_TRUE(executeAndWait(*request, outcome,
                                   "http://target.test:" + std::to_string(httpPort()) + path));
        return {outcome.events(), request->getStatusCode()};
    }

    std::unique_ptr<testsupport::ScriptServer> proxy_;
    int proxyPort_ = 0;
};

TEST_F(HttpQueryProxyTest, ChallengeAsksTheUserAndSucceedsOnceCredentialsAreGiven) {
    startServer();
    useProxy(true);
    startPlatform();
    auto proxies = platform_->internals().proxyAuthenticator();
    const std::pair<Events, int> refused{{"error:17", "finished:0"}, 407};

    // Nobody to ask: the challenge goes unanswered.
    EXPECT_EQ(refused, fetch("/echo/nobody"));
    EXPECT_EQ("3 127.0.0.1:" + std::to_string(proxyPort_), applicationProxy());
    std::mutex mutex;
    std::vector<std::string> asked;
    platform_->setProxyCredentialsRequestHandler([&](const std::string& hostPort) {
        std::lock_guard lock(mutex);
        asked.push_back(hostPort);
    });
    EXPECT_EQ(refused, fetch("/echo/asking"));
    EXPECT_EQ(ProxyAuthenticator::CredentialsRequested, proxies->credentialsState());

    proxies->setCredentials(L"anna", L"open-sesame");
    EXPECT_EQ(std::make_pair(Events{"finished:1"}, 200), fetch("/echo/through"));
    EXPECT_EQ(ProxyAuthenticator::CredentialsAccepted, proxies->credentialsState());
    const auto seen = requests("/echo/through");
    ASSERT_EQ(1u, seen.size());
    EXPECT_EQ("target.test:" + std::to_string(httpPort()), header(seen[0], "Host"));
    EXPECT_EQ(1u, journal().size()) << "only the request with credentials got through";
    std::lock_guard lock(mutex);
    // The stored credentials were good: nobody was asked again.
    EXPECT_EQ(std::vector<std::string>{"127.0.0.1 : " + std::to_string(proxyPort_)}, asked);
}

// Every URL set re-reads the system settings: a proxy configured after the platform started is
// used; a URL for which none is found keeps the proxy installed before.
TEST_F(HttpQueryProxyTest, EachUrlRereadsTheSettingsAndFindingNoneKeepsTheProxyBefore) {
    startPlatform();
    query()->setUrl("http://target.test/before");
    EXPECT_NE("3", applicationProxy().substr(0, 1));
    useProxy(true);
    query()->setUrl("http://target.test/first");
    EXPECT_EQ("3 127.0.0.1:" + std::to_string(proxyPort_), applicationProxy());
    useProxy(false);
    query()->setUrl("http://target.test/second");
    EXPECT_EQ("3 127.0.0.1:" + std::to_string(proxyPort_), applicationProxy());
}

}  // namespace
