#include <gtest/gtest.h>

#include <QAuthenticator>
#include <QNetworkProxy>

#include "FakeCredentialStorage.h"
#include "FakeSystemProxies.h"
#include "FakeTaskScheduler.h"
#include "ProxyChallenge.h"
#include "QtCorePlatform.h"
#include "QtCorePlatformPrivate.h"
#include "QtMessageRecorder.h"
#include "QtProxyTypes.h"
#include "ScopedEnvironment.h"

namespace {

TEST(ProxyChallengeTest, ProxyTypesAndTheirNames) {
    QtMessageRecorder log;
    EXPECT_EQ(QNetworkProxy::NoProxy, toQtProxyType(0));
    EXPECT_EQ(QNetworkProxy::Socks5Proxy, toQtProxyType(1));
    EXPECT_EQ(QNetworkProxy::HttpProxy, toQtProxyType(2));
    EXPECT_EQ(QNetworkProxy::NoProxy, toQtProxyType(7));
    ASSERT_EQ(1u, log.messages().size());
    EXPECT_EQ(QtCriticalMsg, log.messages()[0].type);
    EXPECT_EQ("No proxy mapping found for  7", log.messages()[0].text);
    EXPECT_STREQ("HttpCachingProxy", proxyTypeName(QNetworkProxy::HttpCachingProxy));
    EXPECT_STREQ("Unknown proxy type", proxyTypeName(QNetworkProxy::ProxyType(99)));
    EXPECT_STREQ("DigestMd5", authenticationMethodName(4));
    EXPECT_STREQ("Unknown", authenticationMethodName(5));
}

TEST(ProxyChallengeTest, ChallengesAreAnsweredFromTheKnownCredentials) {
    FakeCredentialStorage storage;
    FakeSystemProxies system;
    ProxyAuthenticator proxies(&storage, system.services());
    QtMessageRecorder log;
    const QNetworkProxy challenged(QNetworkProxy::HttpProxy, "web.example", 3128);

    QAuthenticator unanswered;
    auto answer = answerProxyChallenge(proxies, challenged, &unanswered,
                                       *QLoggingCategory::defaultCategory(), false);
    EXPECT_EQ(ProxyAuthenticator::ChallengeAnswer::CannotAsk, answer.kind);
    EXPECT_TRUE(log.contains("Using proxy of type: HttpProxy with auth method of: Unknown"));
    EXPECT_TRUE(log.contains(" proxy authentication required for web.example:3128"));

    proxies.requestCredentials();
    log.clear();
    answer = answerProxyChallenge(proxies, challenged, &unanswered,
                                  *QLoggingCategory::defaultCategory(), true);
    EXPECT_EQ(ProxyAuthenticator::ChallengeAnswer::AlreadyRequested, answer.kind);
    EXPECT_TRUE(log.contains("proxy credentials already requested"));
    EXPECT_TRUE(unanswered.user().isEmpty());

    // Accepted credentials are handed over again and tried once more.
    proxies.setCredentials(L"anna", L"p\u00e4ss");
    proxies.credentialsTried();
    proxies.credentialsAccepted();
    QAuthenticator answered;
    answer = answerProxyChallenge(proxies, challenged, &answered,
                                  *QLoggingCategory::defaultCategory(), true);
    EXPECT_EQ(ProxyAuthenticator::ChallengeAnswer::UseStored, answer.kind);
    EXPECT_EQ(QString("anna"), answered.user());
    EXPECT_EQ(QString::fromUtf8("p\xc3\xa4ss"), answered.password());
    EXPECT_EQ(ProxyAuthenticator::CredentialsTried, proxies.credentialsState());
    EXPECT_TRUE(log.contains("trying to authenticate with cached credentials"));
}

TEST(ProxyChallengeTest, ThePlatformAsksTheUserAboutTheCurrentProxy) {
    ScopedEnvironment environment;
    environment.clearProxies();
    environment.set("http_proxy", "http://web.example:3128");
    FakeTaskScheduler scheduler;
    FakeCredentialStorage storage;
    auto platform = QtCorePlatform::create(scheduler, &storage, "challenge");
    auto& d = platform->internals();
    auto proxies = platform->getProxyAuthenticator();
    QtMessageRecorder log;
    const QNetworkProxy challenged(QNetworkProxy::HttpProxy, "other.example", 8080);

    QAuthenticator first;
    d.onProxyAuthenticationRequired(challenged, &first);
    EXPECT_TRUE(log.contains("Cannot call the ui for proxy credentials"));
    EXPECT_FALSE(proxies->areCredentialsRequested());
    EXPECT_FALSE(proxies->hasCredentials());

    std::vector<std::string> asked;
    platform->setProxyCredentialsRequestHandler(
        [&](const std::string& hostPort) { asked.push_back(hostPort); });
    d.onProxyAuthenticationRequired(challenged, &first);
    d.onProxyAuthenticationRequired(challenged, &first);
    EXPECT_EQ(std::vector<std::string>{"web.example : 3128"}, asked);
    EXPECT_TRUE(proxies->areCredentialsRequested());
    EXPECT_TRUE(first.user().isEmpty());

    proxies->setCredentials(L"anna", L"pw");
    QAuthenticator second;
    d.onProxyAuthenticationRequired(challenged, &second);
    EXPECT_EQ(QString("anna"), second.user());
    EXPECT_EQ(QString("pw"), second.password());
    EXPECT_EQ(1u, asked.size());
}

}  // namespace
