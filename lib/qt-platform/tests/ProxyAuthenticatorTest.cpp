#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <thread>

#include "FakeCredentialStorage.h"
#include "FakeSystemProxies.h"
#include "ProxyAuthenticator.h"
#include "QtMessageRecorder.h"
#include "platform/cfnetwork/ProxyKeys.h"
#include "platform/systemconfiguration/ProxyDictionaryKeys.h"

using namespace platform::systemconfiguration;
using namespace platform::cfnetwork;
using platform::corefoundation::Dictionary;
using Entry = ProxyAuthenticator::ProxyEntry;

namespace {

class ProxyAuthenticatorTest : public ::testing::Test {
protected:
    static Dictionary fixedProxies(int count) {
        Dictionary settings;
        const char* hosts[] = {"web.example", "secure.example", "sox.example"};
        const char* enables[] = {kSCPropNetProxiesHTTPEnable, kSCPropNetProxiesHTTPSEnable,
                                 kSCPropNetProxiesSOCKSEnable};
        const char* hostKeys[] = {kSCPropNetProxiesHTTPProxy, kSCPropNetProxiesHTTPSProxy,
                                  kSCPropNetProxiesSOCKSProxy};
        const char* portKeys[] = {kSCPropNetProxiesHTTPPort, kSCPropNetProxiesHTTPSPort,
                                  kSCPropNetProxiesSOCKSPort};
        const long long ports[] = {3128, 8443, 1080};
        for (int i = 0; i < count; ++i) {
            settings[enables[i]] = 1LL;
            settings[hostKeys[i]] = std::string(hosts[i]);
            settings[portKeys[i]] = ports[i];
        }
        return settings;
    }

    static Dictionary scriptSettings(const std::string& url) {
        return {{kSCPropNetProxiesProxyAutoConfigEnable, 1LL},
                {kSCPropNetProxiesProxyAutoConfigURLString, url}};
    }

    static Dictionary proxy(const std::string& type, const std::string& host, long long port) {
        return {
            {kCFProxyTypeKey, type}, {kCFProxyHostNameKey, host}, {kCFProxyPortNumberKey, port}};
    }

    FakeCredentialStorage storage_;
    FakeSystemProxies system_;
    ProxyAuthenticator authenticator_{&storage_, system_.services()};
    QtMessageRecorder log_;
};

TEST_F(ProxyAuthenticatorTest, CredentialStatesFollowTheirTransitions) {
    EXPECT_EQ(ProxyAuthenticator::NoCredentials, authenticator_.credentialsState());
    EXPECT_FALSE(authenticator_.hasCredentials());
    EXPECT_FALSE(authenticator_.areCredentialsRequested());

    authenticator_.requestCredentials();
    authenticator_.requestCredentials();
    EXPECT_TRUE(authenticator_.areCredentialsRequested());

    authenticator_.credentialsAccepted();  // from 1
    EXPECT_EQ(ProxyAuthenticator::CredentialsAccepted, authenticator_.credentialsState());
    EXPECT_TRUE(authenticator_.hasCredentials());

    authenticator_.setCredentials(L"anna", L"s\u00e9cret");
    EXPECT_EQ(ProxyAuthenticator::CredentialsAvailable, authenticator_.credentialsState());
    authenticator_.credentialsAccepted();  // set but never tried: stays
    EXPECT_EQ(ProxyAuthenticator::CredentialsAvailable, authenticator_.credentialsState());
    EXPECT_TRUE(authenticator_.hasCredentials());

    authenticator_.credentialsTried();
    EXPECT_FALSE(authenticator_.hasCredentials());
    authenticator_.credentialsAccepted();
    EXPECT_EQ(ProxyAuthenticator::CredentialsAccepted, authenticator_.credentialsState());
}

TEST_F(ProxyAuthenticatorTest, StorageFailuresKeepWhatIsInMemory) {
    storage_.failStore = true;
    authenticator_.setCredentials(L"anna", L"pw");
    EXPECT_EQ(L"anna", authenticator_.getUser());
    EXPECT_EQ(ProxyAuthenticator::CredentialsAvailable, authenticator_.credentialsState());

    // A failed load leaves what is in memory.
    storage_.failLoad = true;
    authenticator_.loadStoredCredentials();
    EXPECT_EQ(L"pw", authenticator_.getPassword());
}

TEST_F(ProxyAuthenticatorTest, NextProxyWalksTheListOnce) {
    EXPECT_FALSE(authenticator_.nextProxy());
    EXPECT_EQ("", authenticator_.getHostPortKey());

    system_.settings->settings = fixedProxies(1);
    ASSERT_TRUE(authenticator_.updateFromSystemSettings());
    EXPECT_FALSE(authenticator_.nextProxy());
    EXPECT_EQ("web.example:3128", authenticator_.getHostPortKey());

    system_.settings->settings = fixedProxies(3);
    ASSERT_TRUE(authenticator_.updateFromSystemSettings());
    EXPECT_TRUE(authenticator_.nextProxy());
    EXPECT_EQ("secure.example", authenticator_.getHost());
    EXPECT_EQ(8443, authenticator_.getPort());
    EXPECT_TRUE(authenticator_.nextProxy());
    EXPECT_EQ(1u, authenticator_.getProxyType());
    EXPECT_FALSE(authenticator_.nextProxy());
    EXPECT_EQ("sox.example:1080", authenticator_.getHostPortKey());

    // Reading the settings starts from the first entry again.
    authenticator_.updateFromSystemSettings();
    EXPECT_EQ("web.example", authenticator_.getHost());
}

TEST_F(ProxyAuthenticatorTest, FixedProxiesAreListedInOrderWhenComplete) {
    system_.settings->settings = fixedProxies(3);
    ASSERT_TRUE(authenticator_.updateFromSystemSettings());
    EXPECT_EQ(
        (std::vector<Entry>{
            {L"web.example", 3128, 2}, {L"secure.example", 8443, 2}, {L"sox.example", 1080, 1}}),
        authenticator_.proxies());

    Dictionary partial = fixedProxies(3);
    partial.erase(kSCPropNetProxiesHTTPPort);                   // no port
    partial[kSCPropNetProxiesHTTPSEnable] = 0LL;                // off
    partial[kSCPropNetProxiesSOCKSPort] = std::string("1080");  // port of the wrong kind
    system_.settings->settings = partial;
    EXPECT_FALSE(authenticator_.updateFromSystemSettings());
    EXPECT_TRUE(authenticator_.proxies().empty());

    Dictionary odd = fixedProxies(2);
    odd[kSCPropNetProxiesHTTPProxy] = 42LL;     // host of the wrong kind
    odd[kSCPropNetProxiesHTTPSPort] = 70000LL;  // no port number
    odd[kSCPropNetProxiesSOCKSEnable] = true;   // a flag instead of a number
    odd[kSCPropNetProxiesSOCKSProxy] = std::string("s");
    odd[kSCPropNetProxiesSOCKSPort] = 1080.0;
    system_.settings->settings = odd;
    EXPECT_TRUE(authenticator_.updateFromSystemSettings());
    EXPECT_EQ((std::vector<Entry>{{L"s", 1080, 1}}), authenticator_.proxies());

    system_.settings->settings.reset();
    EXPECT_FALSE(authenticator_.updateFromSystemSettings());
    EXPECT_TRUE(authenticator_.proxies().empty());
}

TEST_F(ProxyAuthenticatorTest, ScriptProxiesAreAppendedWithDefaults) {
    system_.settings->settings = scriptSettings("http://pac.example/proxy.pac");
    ASSERT_TRUE(authenticator_.updateFromSystemSettings());
    EXPECT_TRUE(authenticator_.proxies().empty());

    Dictionary noPort{{kCFProxyTypeKey, std::string(kCFProxyTypeHTTP)},
                      {kCFProxyHostNameKey, std::string("noport")}};
    Dictionary noType{{kCFProxyHostNameKey, std::string("notype")}, {kCFProxyPortNumberKey, 81LL}};
    system_.autoConfiguration->result.proxies = std::vector<ProxyArrayElement>{
        proxy(kCFProxyTypeHTTP, "first", 3128),
        Dictionary{{kCFProxyTypeKey, std::string(kCFProxyTypeNone)}},
        proxy(kCFProxyTypeHTTPS, "second", 443),
        platform::corefoundation::Scalar{std::string("not a dictionary")},
        noPort,
        noType,
        proxy(kCFProxyTypeSOCKS, "sox", 1080),
        proxy(kCFProxyTypeFTP, "ftp", 21)};
    ASSERT_TRUE(authenticator_.queryProxiesForUrl(L"https://www.example/x"));
    EXPECT_EQ((std::vector<std::string>{"http://pac.example/proxy.pac https://www.example/x"}),
              system_.autoConfiguration->calls);
    const std::vector<Entry> expected{{L"first", 3128, 2},  {L"second", 443, 2},
                                      {L"noport", 8080, 2}, {L"notype", 81, 2},
                                      {L"sox", 1080, 1},    {L"ftp", 21, 0}};
    EXPECT_EQ(expected, authenticator_.proxies());

    // Without reading the settings again, a second query lists them twice.
    ASSERT_TRUE(authenticator_.queryProxiesForUrl(L"https://www.example/x"));
    EXPECT_EQ(2 * expected.size(), authenticator_.proxies().size());
}

TEST_F(ProxyAuthenticatorTest, ScriptFailuresLeaveTheListAlone) {
    system_.settings->settings = scriptSettings("http://pac.example/proxy.pac");
    authenticator_.updateFromSystemSettings();

    // An error, no array, an array of a direct connection only.
    for (int kind = 0; kind < 3; ++kind) {
        system_.autoConfiguration->result = {};
        if (kind == 0) {
            system_.autoConfiguration->result.error = "it broke";
        } else if (kind == 2) {
            system_.autoConfiguration->result.proxies = std::vector<ProxyArrayElement>{
                Dictionary{{kCFProxyTypeKey, std::string(kCFProxyTypeNone)}}};
        }
        EXPECT_FALSE(authenticator_.queryProxiesForUrl(L"http://a/")) << kind;
        EXPECT_TRUE(authenticator_.proxies().empty()) << kind;
    }
}

TEST_F(ProxyAuthenticatorTest, ScriptAddressIsForgottenWhenTheSettingsTurnItOff) {
    system_.settings->settings = scriptSettings("http://pac.example/proxy.pac");
    authenticator_.updateFromSystemSettings();
    EXPECT_EQ(L"http://pac.example/proxy.pac", authenticator_.autoConfigurationUrl());

    // Settings that cannot be read keep what was known.
    system_.settings->settings.reset();
    authenticator_.updateFromSystemSettings();
    EXPECT_EQ(L"http://pac.example/proxy.pac", authenticator_.autoConfigurationUrl());

    Dictionary off = fixedProxies(1);
    off[kSCPropNetProxiesProxyAutoConfigEnable] = 0LL;
    off[kSCPropNetProxiesProxyAutoConfigURLString] = std::string("http://pac.example/proxy.pac");
    system_.settings->settings = off;
    ASSERT_TRUE(authenticator_.updateFromSystemSettings());
    EXPECT_TRUE(authenticator_.autoConfigurationUrl().empty());
    EXPECT_TRUE(authenticator_.queryProxiesForUrl(L"http://a/"));
    EXPECT_TRUE(system_.autoConfiguration->calls.empty()) << "the old script was run";
    EXPECT_EQ((std::vector<Entry>{{L"web.example", 3128, 2}}), authenticator_.proxies());
}

TEST_F(ProxyAuthenticatorTest, ChallengeDecisionsFollowTheState) {
    system_.settings->settings = fixedProxies(2);
    authenticator_.updateFromSystemSettings();
    authenticator_.nextProxy();

    auto answer = authenticator_.beginChallenge(false);
    EXPECT_EQ(ProxyAuthenticator::ChallengeAnswer::CannotAsk, answer.kind);
    EXPECT_EQ(ProxyAuthenticator::NoCredentials, authenticator_.credentialsState());

    answer = authenticator_.beginChallenge(true);
    EXPECT_EQ(ProxyAuthenticator::ChallengeAnswer::AskUser, answer.kind);
    EXPECT_EQ("secure.example : 8443", answer.hostPort);
    EXPECT_EQ(ProxyAuthenticator::CredentialsRequested, authenticator_.credentialsState());

    EXPECT_EQ(ProxyAuthenticator::ChallengeAnswer::AlreadyRequested,
              authenticator_.beginChallenge(true).kind);

    authenticator_.setCredentials(L"anna", L"pw");
    answer = authenticator_.beginChallenge(true);
    EXPECT_EQ(ProxyAuthenticator::ChallengeAnswer::UseStored, answer.kind);
    EXPECT_EQ(L"anna", answer.user);
    EXPECT_EQ(L"pw", answer.password);
    EXPECT_EQ(ProxyAuthenticator::CredentialsTried, authenticator_.credentialsState());

    // Refused: the proxy challenges again in state 3 and the user is asked.
    EXPECT_EQ(ProxyAuthenticator::ChallengeAnswer::AskUser,
              authenticator_.beginChallenge(true).kind);

    authenticator_.credentialsAccepted();
    EXPECT_EQ(ProxyAuthenticator::ChallengeAnswer::UseStored,
              authenticator_.beginChallenge(true).kind);
    EXPECT_EQ(ProxyAuthenticator::CredentialsTried, authenticator_.credentialsState());
}

TEST_F(ProxyAuthenticatorTest, ListIsRebuiltWhileAnotherThreadReadsIt) {
    std::atomic<bool> done{false};
    std::set<std::string> seen;
    std::thread reader([&] {
        while (!done) {
            authenticator_.nextProxy();
            seen.insert(authenticator_.getHostPortKey());
            authenticator_.getHost();
            authenticator_.getPort();
            authenticator_.getUser();
        }
    });
    for (int i = 0; i < 2000; ++i) {
        system_.settings->settings = fixedProxies(i % 4);
        authenticator_.updateFromSystemSettings();
        authenticator_.setCredentials(L"user" + std::to_wstring(i), L"pw");
    }
    done = true;
    reader.join();
    for (const auto& key : seen) {
        EXPECT_TRUE(key.empty() || key == "web.example:3128" || key == "secure.example:8443" ||
                    key == "sox.example:1080")
            << key;
    }
}

TEST_F(ProxyAuthenticatorTest, CallsOutsideAreMadeWithoutTheLock) {
    // The script, the system settings and the credential storage may call
    // back into the authenticator (or run on another thread that does).
    system_.settings->settings = scriptSettings("http://pac.example/proxy.pac");
    authenticator_.updateFromSystemSettings();
    system_.autoConfiguration->onExecute = [&] { authenticator_.getHost(); };
    system_.autoConfiguration->result.proxies =
        std::vector<ProxyArrayElement>{proxy(kCFProxyTypeHTTP, "first", 3128)};
    storage_.onCall = [&] { authenticator_.getUser(); };

    EXPECT_TRUE(authenticator_.queryProxiesForUrl(L"http://a/"));
    authenticator_.setCredentials(L"anna", L"pw");
    authenticator_.loadStoredCredentials();
    EXPECT_EQ(L"anna", authenticator_.getUser());
}

}  // namespace
