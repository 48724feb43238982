#include <gtest/gtest.h>

#include "ApplicationProxy.h"
#include "FakeCredentialStorage.h"
#include "ProxyAuthenticator.h"
#include "ScopedEnvironment.h"
#include "support/LocalHttpServer.h"

namespace {

// A script that names a proxy only for a bare host name.
constexpr const char* kScript = R"(
function FindProxyForURL(url, host) {
    if (url == host && host == "target.test") return "PROXY walked.example:8080";
    return "DIRECT";
}
)";

class ApplicationProxyTest : public ::testing::Test {
protected:
    ApplicationProxyTest() {
        environment_.clearProxies();
        QNetworkProxy::setApplicationProxy(QNetworkProxy(QNetworkProxy::NoProxy));
    }
    ~ApplicationProxyTest() override {
        QNetworkProxy::setApplicationProxy(QNetworkProxy(QNetworkProxy::NoProxy));
    }

    static std::string applicationProxy() {
        const auto proxy = QNetworkProxy::applicationProxy();
        return std::to_string(proxy.type()) + " " + proxy.hostName().toStdString() + ":" +
               std::to_string(proxy.port());
    }

    ScopedEnvironment environment_;
    FakeCredentialStorage storage_;
};

TEST_F(ApplicationProxyTest, ProxiesNotFoundAreWalkedThenTheSettingsAreReadAgain) {
    environment_.set("http_proxy", "http://one.example:1");
    environment_.set("https_proxy", "http://two.example:2");
    environment_.set("all_proxy", "socks5://three.example:3");
    ProxyAuthenticator proxies(&storage_);
    selectProxyForUrl(proxies, "wss://target.test:9/x");
    EXPECT_EQ("3 one.example:1", applicationProxy());
    const QUrl request("wss://target.test:9/x");
    for (const char* expected : {"3 two.example:2", "1 three.example:3", "3 one.example:1"}) {
        selectNextProxy(proxies, request);
        EXPECT_EQ(expected, applicationProxy());
    }
}

TEST_F(ApplicationProxyTest, AtTheEndOfTheListTheScriptIsAskedAboutTheHostAlone) {
    testsupport::LocalHttpServer server;
    server.setResponse("/proxy.pac", {200, kScript});
    environment_.set("auto_proxy", server.url("/proxy.pac"));
    ProxyAuthenticator proxies(&storage_);
    selectProxyForUrl(proxies, "wss://target.test:9/x");
    EXPECT_EQ("2 :0", applicationProxy()) << "a direct connection keeps the proxy as it was";

    selectNextProxy(proxies, QUrl("wss://target.test:9/x"));
    EXPECT_EQ("3 walked.example:8080", applicationProxy());
    selectNextProxy(proxies, QUrl("wss://other.test:9/x"));
    EXPECT_EQ("2 :0", applicationProxy()) << "no proxy for the host: none is used";
}

}  // namespace
