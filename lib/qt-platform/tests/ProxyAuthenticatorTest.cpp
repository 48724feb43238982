#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "support/FakeCredentialStorage.h"
#include "FakeSystemProxies.h"
#include "ProxyAuthenticator.h"
#include "QtMessageRecorder.h"
#include "platform/cfnetwork/ProxyKeys.h"
#include "platform/systemconfiguration/ProxyDictionaryKeys.h"

using namespace platform::systemconfiguration;
using namespace platform::cfnetwork;
using platform::corefoundation::Dictionary;
using Entry = ProxyAuthenticator::ProxyEntry;
using Entries = std::vector<Entry>;

namespace {

// The first `count` of an HTTP, an HTTPS and a SOCKS proxy, as the system settings list them.
Dictionary fixedProxies(int count) {
    const std::tuple<const char*, const char*, const char*, const char*, long long> proxies[] = {
        {kSCPropNetProxiesHTTPEnable, kSCPropNetProxiesHTTPProxy, kSCPropNetProxiesHTTPPort,
         "web.example", 3128},
        {kSCPropNetProxiesHTTPSEnable, kSCPropNetProxiesHTTPSProxy, kSCPropNetProxiesHTTPSPort,
         "secure.example", 8443},
        {kSCPropNetProxiesSOCKSEnable, kSCPropNetProxiesSOCKSProxy, kSCPropNetProxiesSOCKSPort,
         "sox.example", 1080}};
    Dictionary settings;
    for (int i = 0; i < count; ++i) {
        const auto& [enable, host, port, name, number] = proxies[i];
        settings[enable] = 1LL;
        settings[host] = std::string(name);
        settings[port] = number;
    }
    return settings;
}

const Entries kFixed{
    {L"web.example", 3128, 2}, {L"secure.example", 8443, 2}, {L"sox.example", 1080, 1}};

Dictionary scriptSettings() {
    return {
        {kSCPropNetProxiesProxyAutoConfigEnable, 1LL},
        {kSCPropNetProxiesProxyAutoConfigURLString, std::string("http://pac.example/proxy.pac")}};
}

Dictionary proxy(const std::string& type, const std::string& host, long long port) {
    return {{kCFProxyTypeKey, type}, {kCFProxyHostNameKey, host}, {kCFProxyPortNumberKey, port}};
}

class ProxyAuthenticatorTest : public ::testing::Test {
protected:
    FakeCredentialStorage storage_;
    FakeSystemProxies system_;
    ProxyAuthenticator authenticator_{&storage_, system_.services()};
    QtMessageRecorder log_;
};

// Each step: what happens, the state after it and, for a proxy challenge, its answer.
TEST_F(ProxyAuthenticatorTest, CredentialStatesAndChallengeAnswersFollowTheTransitions) {
    using A = ProxyAuthenticator;
    using Answer = A::ChallengeAnswer;
    system_.settings->settings = fixedProxies(2);
    authenticator_.updateFromSystemSettings();
    authenticator_.nextProxy();
    const std::tuple<std::string, A::CredentialsState, int> steps[] = {
        {"challenge, nobody to ask", A::NoCredentials, Answer::CannotAsk},
        {"accepted", A::NoCredentials, -1},
        {"challenge", A::CredentialsRequested, Answer::AskUser},
        {"challenge", A::CredentialsRequested, Answer::AlreadyRequested},
        {"request", A::CredentialsRequested, -1},
        {"accepted", A::CredentialsAccepted, -1},
        {"set", A::CredentialsAvailable, -1},
        {"accepted", A::CredentialsAvailable, -1},  // set but never tried
        {"challenge", A::CredentialsTried, Answer::UseStored},
        {"challenge", A::CredentialsRequested, Answer::AskUser},  // refused: ask the user
        {"set", A::CredentialsAvailable, -1},
        {"tried", A::CredentialsTried, -1},
        {"accepted", A::CredentialsAccepted, -1},
        {"challenge", A::CredentialsTried, Answer::UseStored},
    };
    int number = 0;
    for (const auto& [step, state, kind] : steps) {
        SCOPED_TRACE(std::to_string(++number) + ": " + step);
        Answer answer;
        int got = -1;
        if (step.rfind("challenge", 0) == 0) {
            answer = authenticator_.beginChallenge(step == "challenge");
            got = answer.kind;
        } else if (step == "accepted") {
            authenticator_.credentialsAccepted();
        } else if (step == "request") {
            authenticator_.requestCredentials();
        } else if (step == "tried") {
            authenticator_.credentialsTried();
        } else {
            authenticator_.setCredentials(L"anna", L"s\u00e9cret");
        }
        EXPECT_EQ(state, authenticator_.credentialsState());
        EXPECT_EQ(kind, got);
        EXPECT_EQ(state == A::CredentialsAvailable || state == A::CredentialsAccepted,
                  authenticator_.hasCredentials());
        EXPECT_EQ(kind == Answer::AskUser ? "secure.example : 8443" : "", answer.hostPort);
        EXPECT_EQ(kind == Answer::UseStored ? L"s\u00e9cret" : L"", answer.password);
    }
}

// The credential storage may call back into the authenticator (or run on another thread that
// does): it is called without the lock, as is the script below.
TEST_F(ProxyAuthenticatorTest, StorageFailuresKeepWhatIsInMemory) {
    storage_.onCall = [&] { authenticator_.getUser(); };
    storage_.failStore = true;
    authenticator_.setCredentials(L"anna", L"pw");
    storage_.failLoad = true;
    authenticator_.loadStoredCredentials();
    EXPECT_EQ(L"anna", authenticator_.getUser());
    EXPECT_EQ(L"pw", authenticator_.getPassword());
    EXPECT_EQ(ProxyAuthenticator::CredentialsAvailable, authenticator_.credentialsState());
}

// Each row: the system settings, whether they list a proxy, the list made of them and the
// auto-configuration script's address known after them.
TEST_F(ProxyAuthenticatorTest, FixedProxiesAreListedInOrderWhenCompleteAndScriptsWhenOn) {
    Dictionary partial = fixedProxies(3);
    partial.erase(kSCPropNetProxiesHTTPPort);                   // no port
    partial[kSCPropNetProxiesHTTPSEnable] = 0LL;                // off
    partial[kSCPropNetProxiesSOCKSPort] = std::string("1080");  // port of the wrong kind
    Dictionary odd = fixedProxies(2);
    odd[kSCPropNetProxiesHTTPProxy] = 42LL;     // host of the wrong kind
    odd[kSCPropNetProxiesHTTPSPort] = 70000LL;  // no port number
    odd[kSCPropNetProxiesSOCKSEnable] = true;   // a flag instead of a number
    odd[kSCPropNetProxiesSOCKSProxy] = std::string("s");
    odd[kSCPropNetProxiesSOCKSPort] = 1080.0;
    Dictionary off = fixedProxies(1);
    off.merge(scriptSettings());
    off[kSCPropNetProxiesProxyAutoConfigEnable] = 0LL;
    const std::wstring script = L"http://pac.example/proxy.pac";
    const std::tuple<std::optional<Dictionary>, bool, Entries, std::wstring> cases[] = {
        {fixedProxies(3), true, kFixed, L""}, {partial, false, {}, L""},
        {odd, true, {{L"s", 1080, 1}}, L""},  {scriptSettings(), true, {}, script},
        {std::nullopt, false, {}, script},  // settings that cannot be read keep what was known
        {off, true, {kFixed[0]}, L""},
    };
    int row = 0;
    for (const auto& [settings, listed, entries, url] : cases) {
        SCOPED_TRACE(++row);
        system_.settings->settings = settings;
        EXPECT_EQ(listed, authenticator_.updateFromSystemSettings());
        EXPECT_EQ(entries, authenticator_.proxies());
        EXPECT_EQ(url, authenticator_.autoConfigurationUrl());
    }
    EXPECT_TRUE(authenticator_.queryProxiesForUrl(L"http://a/"));
    EXPECT_TRUE(system_.autoConfiguration->calls.empty()) << "the old script was run";
}

TEST_F(ProxyAuthenticatorTest, NextProxyWalksTheListOnce) {
    EXPECT_FALSE(authenticator_.nextProxy());
    EXPECT_EQ("", authenticator_.getHostPortKey());
    system_.settings->settings = fixedProxies(3);
    for (int round = 0; round < 2; ++round) {
        // Reading the settings starts from the first entry again.
        ASSERT_TRUE(authenticator_.updateFromSystemSettings());
        EXPECT_EQ("web.example:3128", authenticator_.getHostPortKey());
        EXPECT_TRUE(authenticator_.nextProxy());
        EXPECT_EQ("secure.example", authenticator_.getHost());
        EXPECT_EQ(8443, authenticator_.getPort());
        EXPECT_TRUE(authenticator_.nextProxy());
        EXPECT_EQ(1u, authenticator_.getProxyType());
        EXPECT_FALSE(authenticator_.nextProxy());
        EXPECT_EQ("sox.example:1080", authenticator_.getHostPortKey());
    }
}

TEST_F(ProxyAuthenticatorTest, ScriptProxiesAreAppendedWithDefaults) {
    system_.autoConfiguration->onExecute = [&] { authenticator_.getHost(); };
    system_.settings->settings = scriptSettings();
    ASSERT_TRUE(authenticator_.updateFromSystemSettings());
    EXPECT_TRUE(authenticator_.proxies().empty());
    system_.autoConfiguration->result.proxies = std::vector<ProxyArrayElement>{
        proxy(kCFProxyTypeHTTP, "first", 3128),
        Dictionary{{kCFProxyTypeKey, std::string(kCFProxyTypeNone)}},
        proxy(kCFProxyTypeHTTPS, "second", 443),
        platform::corefoundation::Scalar{std::string("not a dictionary")},
        Dictionary{{kCFProxyTypeKey, std::string(kCFProxyTypeHTTP)},
                   {kCFProxyHostNameKey, std::string("noport")}},
        Dictionary{{kCFProxyHostNameKey, std::string("notype")}, {kCFProxyPortNumberKey, 81LL}},
        proxy(kCFProxyTypeSOCKS, "sox", 1080),
        proxy(kCFProxyTypeFTP, "ftp", 21)};
    ASSERT_TRUE(authenticator_.queryProxiesForUrl(L"https://www.example/x"));
    EXPECT_EQ((std::vector<std::string>{"http://pac.example/proxy.pac https://www.example/x"}),
              system_.autoConfiguration->calls);
    const Entries expected{{L"first", 3128, 2}, {L"second", 443, 2}, {L"noport", 8080, 2},
                           {L"notype", 81, 2},  {L"sox", 1080, 1},   {L"ftp", 21, 0}};
    EXPECT_EQ(expected, authenticator_.proxies());
    // Without reading the settings again, a second query lists them twice.
    ASSERT_TRUE(authenticator_.queryProxiesForUrl(L"https://www.example/x"));
    EXPECT_EQ(2 * expected.size(), authenticator_.proxies().size());

    // An error, no array, an array of a direct connection only: the list stays empty.
    for (int kind = 0; kind < 3; ++kind) {
        authenticator_.updateFromSystemSettings();
        system_.autoConfiguration->result = {};
        system_.autoConfiguration->result.error = kind == 0 ? "it broke" : "";
        if (kind == 2) {
            system_.autoConfiguration->result.proxies = std::vector<ProxyArrayElement>{
                Dictionary{{kCFProxyTypeKey, std::string(kCFProxyTypeNone)}}};
        }
        EXPECT_FALSE(authenticator_.queryProxiesForUrl(L"http://a/")) << kind;
        EXPECT_TRUE(authenticator_.proxies().empty()) << kind;
    }
}

TEST_F(ProxyAuthenticatorTest, ListIsRebuiltWhileAnotherThreadReadsIt) {
    std::atomic<bool> done{false}, torn{false};
    std::thread reader([&] {
        while (!done) {
            authenticator_.nextProxy();
            const auto key = authenticator_.getHostPortKey();
            torn = torn || !(key.empty() || key.find(".example:") != key.npos);
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
    EXPECT_FALSE(torn);
}

}  // namespace
