#include <gtest/gtest.h>

#include "ApplicationProxy.h"
#include "FakeCredentialStorage.h"
#include "ProxyAuthenticator.h"
#include "ScopedEnvironment.h"
#include "support/ScriptServer.h"
#include "support/TempDir.h"

#include <fstream>

namespace {

// "<Qt proxy type> <host>:<port>"
std::string applicationProxy() {
    const auto proxy = QNetworkProxy::applicationProxy();
    return QString("%1 %2:%3")
        .arg(proxy.type())
        .arg(proxy.hostName())
        .arg(proxy.port())
        .toStdString();
}

TEST(ApplicationProxyTest, AtTheEndOfTheProxiesTheScriptIsAskedAboutTheHostAlone) {
    ScopedEnvironment environment;
    FakeCredentialStorage storage;
    QNetworkProxy::setApplicationProxy(
        QNetworkProxy(QNetworkProxy::HttpProxy, "before.example", 1));
    const QUrl request("wss://target.test:9/x");

    // A script that names a proxy for the bare host name only.
    testsupport::TempDir root;
    std::ofstream(root.file("proxy.pac")) << R"(function FindProxyForURL(url, host) {
        return url == host && host == "target.test" ? "PROXY walked.example:8080" : "DIRECT"; })";
    testsupport::ScriptServer server(testsupport::testSupportDirectory() + "/http_test_server.py",
                                     {"--journal", "/dev/null", "--root", root.path()});
    ASSERT_TRUE(server.ready());
    environment.set("auto_proxy", "http://127.0.0.1:" + std::to_string(*server.readyNumber("http")) +
                                      "/files/proxy.pac");
    ProxyAuthenticator scripted(&storage);
    selectProxyForUrl(scripted, request.toString());
    EXPECT_EQ("3 before.example:1", applicationProxy()) << "without a proxy for the URL it stays";
    selectNextProxy(scripted, request);
    EXPECT_EQ("3 walked.example:8080", applicationProxy());
    selectNextProxy(scripted, QUrl("wss://other.test:9/x"));
    EXPECT_EQ("2 :0", applicationProxy()) << "without a proxy for the host none is used";
    QNetworkProxy::setApplicationProxy(QNetworkProxy(QNetworkProxy::NoProxy));
}

}  // namespace
