#include <QNetworkProxy>
#include <fstream>
#include <mutex>

#include "HttpQueryFixture.h"
#include "QtCorePlatformPrivate.h"

namespace {

using namespace std::chrono_literals;
using Events = std::vector<std::string>;

// A web proxy with Basic authentication in front of the test web server; the
// made-up host "target.test" leads to that server (Qt never sends requests
// for loopback addresses through a proxy).
class HttpQueryProxyTest : public HttpQueryFixture {
protected:
    void startProxy() {
        proxyJournal_ = scratch_.file("proxy.jsonl");
        proxy_ = std::make_unique<testsupport::ScriptServer>(
            testsupport::testSupportDirectory() + "/http_test_proxy.py",
            std::vector<std::string>{"--journal", proxyJournal_, "--user", "anna", "--password",
                                     "open-sesame", "--map", "target.test=127.0.0.1"});
        ASSERT_TRUE(proxy_->ready()) << "the test proxy did not start";
        proxyPort_ = proxy_->readyNumber("port").value_or(0);
    }

    void TearDown() override {
        HttpQueryFixture::TearDown();
        proxy_.reset();
    }

    std::string targetUrl(const std::string& path) const {
        return "http://target.test:" + std::to_string(httpPort()) + path;
    }

    // The proxy's verdicts ("missing", "wrong", "ok"), in order.
    std::vector<std::string> proxyVerdicts() const {
        std::vector<std::string> verdicts;
        std::ifstream in(proxyJournal_);
        std::string line;
        while (std::getline(in, line)) {
            const auto at = line.find("\"auth\": \"");
            if (at != std::string::npos) {
                const auto start = at + 9;
                verdicts.push_back(line.substr(start, line.find('"', start) - start));
            }
        }
        return verdicts;
    }

    Events fetch(const std::string& path, int* status = nullptr) {
        auto request = query();
        QueryOutcome outcome;
        outcome.watch(*request);
        request->setUrl(targetUrl(path));
        request->execute();
        EXPECT_TRUE(runUntilFinished(outcome));
        if (status != nullptr) {
            *status = request->getStatusCode();
        }
        return outcome.events();
    }

    std::unique_ptr<testsupport::ScriptServer> proxy_;
    std::string proxyJournal_;
    int proxyPort_ = 0;
};

TEST_F(HttpQueryProxyTest, ChallengeAsksTheUserAndSucceedsOnceCredentialsAreGiven) {
    startServer();
    startProxy();
    environment_.set("http_proxy", "http://127.0.0.1:" + std::to_string(proxyPort_));
    startPlatform();
    auto proxies = platform_->internals().proxyAuthenticator();

    // Nobody to ask: the challenge goes unanswered.
    EXPECT_EQ((Events{"error:17", "finished:0"}), fetch("/echo/nobody"));
    EXPECT_EQ(QNetworkProxy::HttpProxy, QNetworkProxy::applicationProxy().type());
    EXPECT_EQ(proxyPort_, QNetworkProxy::applicationProxy().port());

    std::mutex mutex;
    std::vector<std::string> asked;
    platform_->setProxyCredentialsRequestHandler([&](const std::string& hostPort) {
        std::lock_guard lock(mutex);
        asked.push_back(hostPort);
    });
    EXPECT_EQ((Events{"error:17", "finished:0"}), fetch("/echo/asking"));
    {
        std::lock_guard lock(mutex);
        EXPECT_EQ(std::vector<std::string>{"127.0.0.1 : " + std::to_string(proxyPort_)}, asked);
    }
    EXPECT_EQ(ProxyAuthenticator::CredentialsRequested, proxies->credentialsState());

    proxies->setCredentials(L"anna", L"open-sesame");
    int status = 0;
    EXPECT_EQ(Events{"finished:1"}, fetch("/echo/through", &status));
    EXPECT_EQ(200, status);
    EXPECT_EQ(ProxyAuthenticator::CredentialsAccepted, proxies->credentialsState());
    const auto seen = requests("/echo/through");
    ASSERT_EQ(1u, seen.size());
    EXPECT_EQ("target.test:" + std::to_string(httpPort()), header(seen[0], "Host"));
    EXPECT_TRUE(requests("/echo/nobody").empty());
    EXPECT_TRUE(requests("/echo/asking").empty());
    {
        std::lock_guard lock(mutex);
        EXPECT_EQ(1u, asked.size()) << "the stored credentials were good: nobody was asked";
    }
    const auto verdicts = proxyVerdicts();
    ASSERT_FALSE(verdicts.empty());
    EXPECT_EQ("missing", verdicts.front());
    EXPECT_EQ("ok", verdicts.back());
}

// Every URL set re-reads the system settings: a proxy configured after the
// platform started is used; a URL for which none is found keeps the proxy
// installed before.
TEST_F(HttpQueryProxyTest, EachUrlRereadsTheSettingsAndFindingNoneKeepsTheProxyBefore) {
    startProxy();
    startPlatform();
    query()->setUrl("http://target.test/before");
    EXPECT_NE(QNetworkProxy::HttpProxy, QNetworkProxy::applicationProxy().type());

    environment_.set("http_proxy", "http://127.0.0.1:" + std::to_string(proxyPort_));
    query()->setUrl("http://target.test/first");
    EXPECT_EQ(QNetworkProxy::HttpProxy, QNetworkProxy::applicationProxy().type());
    EXPECT_EQ(proxyPort_, QNetworkProxy::applicationProxy().port());

    environment_.unset("http_proxy");
    query()->setUrl("http://target.test/second");
    EXPECT_EQ(QNetworkProxy::HttpProxy, QNetworkProxy::applicationProxy().type());
    EXPECT_EQ(proxyPort_, QNetworkProxy::applicationProxy().port());
    EXPECT_EQ("127.0.0.1", QNetworkProxy::applicationProxy().hostName().toStdString());
}

}  // namespace
