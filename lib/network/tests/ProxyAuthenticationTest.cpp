#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "network/BasicAuthentication.h"
#include "network/DigestAuthentication.h"
#include "network/NetworkConnectivity.h"
#include "network/ProxyAuthenticationScheme.h"
#include "support/ProxyTestSupport.h"

namespace {

using networktest::TestProxyAuthenticator;
using namespace std::string_literals;

std::shared_ptr<network::INetworkConnectivity> Connectivity() {
    return std::make_shared<network::NetworkConnectivity>();
}

TEST(BasicAuthenticationTest, EncodesTheRfc7617ExampleAndNothingForAnIncompletePair) {
    struct Case {
        std::wstring user, password;
        std::string authorization;
    };
    for (const auto& c : std::vector<Case>{{L"Aladdin", L"open sesame", "QWxhZGRpbjpvcGVuIHNlc2FtZQ=="},
                                           {L"Aladdin", L"", ""},
                                           {L"", L"open sesame", ""},
                                           {L"Aladdin", L"open\r\nsesame", ""},
                                           {L"Alad\ndin", L"open sesame", ""}}) {
        TestProxyAuthenticator proxy(c.user, c.password);
        network::BasicAuthentication basic(proxy.authenticator, Connectivity());
        EXPECT_EQ(c.authorization, basic.GetAuthorization()) << "password " << c.password.size();
    }
}

TEST(BasicAuthenticationTest, OffersEachPairOnceAndAChangedPairAgain) {
    TestProxyAuthenticator proxy(L"", L"");
    network::BasicAuthentication basic(proxy.authenticator, Connectivity());
    struct Step {
        std::wstring user, password;
        bool hasCredentials;
    };
    int step = 0;
    for (const auto& s : std::vector<Step>{{L"", L"", false},
                                           {L"", L"", false},
                                           {L"anna", L"wrong", true},
                                           {L"anna", L"wrong", false},
                                           {L"anna", L"right", true},
                                           {L"anna", L"right", false},
                                           {L"anna", L"bad\r\n", false},
                                           {L"anna", L"right", true}}) {
        proxy.authenticator->setCredentials(s.user, s.password);
        EXPECT_EQ(s.hasCredentials, basic.HasCredentials()) << "step " << step;
        ++step;
    }
}

TEST(DigestAuthenticationTest, AnswersTheRfc2617ExampleWithEveryParameterInOrder) {
    TestProxyAuthenticator proxy(L"Mufasa", L"Circle Of Life");
    network::DigestAuthentication digest(proxy.authenticator, Connectivity(), "GET",
                                         "/dir/index.html", "0a4f113b");
    digest.ProcessChallenge(
        "realm=\"testrealm@host.com\", qop=\"auth,auth-int\", "
        "nonce=\"dcd98b7102dd2f0e8b11d0f600bfb0c093\", opaque=\"5ccc069c403ebaf9f0171e9517f40e41\"");
    EXPECT_TRUE(digest.HasCredentials());
    EXPECT_EQ("username=\"Mufasa\", realm=\"testrealm@host.com\", "
              "nonce=\"dcd98b7102dd2f0e8b11d0f600bfb0c093\", uri=\"/dir/index.html\", qop=auth, "
              "nc=00000001, cnonce=\"0a4f113b\", response=\"6629fae49393a05397450978507c4ef1\", "
              "opaque=\"5ccc069c403ebaf9f0171e9517f40e41\"",
              digest.GetAuthorization());
}

// RFC 7616 section 3.9.1: the same challenge answered with MD5 and with
// SHA-256; the algorithm named goes back with the answer.
TEST(DigestAuthenticationTest, AnswersTheRfc7616ExampleWithMd5AndSha256) {
    TestProxyAuthenticator proxy(L"Mufasa", L"Circle of Life");
    for (const auto& [algorithm, response] : std::vector<std::pair<std::string, std::string>>{
             {"MD5", "8ca523f5e9506fed4657c9700eebdbec"},
             {"SHA-256", "753927fa0e85d155564e2e272a28d1802ca10daf4496794697cf8db5856cb6c1"}}) {
        network::DigestAuthentication digest(proxy.authenticator, Connectivity(), "GET",
                                             "/dir/index.html",
                                             "f2/wE4q74E6zIJEtWaHKaf5wv/H5QzzpXusqGemxURZJ");
        digest.ProcessChallenge(
            "realm=\"http-auth@example.org\", qop=\"auth, auth-int\", algorithm=" + algorithm +
            ", nonce=\"7ypf/xlj9XXwfDPEoM4URrv/xwf94BcCAzFZH4GiTo0v\", "
            "opaque=\"FQhe/qaU925kfnzjCev0ciny7QMkPqMAFRtzCUYo5tdS\"");
        const auto authorization = digest.GetAuthorization();
        EXPECT_NE(std::string::npos, authorization.find("response=\"" + response + "\""))
            << algorithm << ": " << authorization;
        EXPECT_NE(std::string::npos, authorization.find(", algorithm=" + algorithm)) << authorization;
    }
}

TEST(DigestAuthenticationTest, QuotesEscapedRefusesLineBreaksAndDrawsAFreshClientNonce) {
    struct Case {
        std::wstring user;
        std::string challenge;
        std::string contains;  // "" when nothing may be offered
    };
    for (const auto& c : std::vector<Case>{
             {L"anna", "realm=\"r\", nonce=\"n\"", "nonce=\"n\", uri=\"host.test:443\""},
             {L"anna", "realm=\"r\", nonce=\"n\"", ", opaque=\"\""},
             {L"an\"na\\", "realm=\"a\\\"b\\\\c\", nonce=\"n\"",
              "username=\"an\\\"na\\\\\", realm=\"a\\\"b\\\\c\""},
             {L"anna", "realm=\"r\", nonce=\"n\", stale=TRUE", "realm=\"r\""},
             {L"an\rna", "realm=\"r\", nonce=\"n\"", ""},
             {L"anna", "realm=\"r\nX-Injected: 1\", nonce=\"n\"", ""},
             {L"anna", "realm=\"r\", nonce=\"n\0\""s, ""},
             {L"anna", "realm=\"r\", nonce=\"n\", opaque=\"o\r\"", ""}}) {
        TestProxyAuthenticator proxy(c.user, L"secret");
        network::DigestAuthentication digest(proxy.authenticator, Connectivity(), "host.test:443");
        digest.ProcessChallenge(c.challenge);
        const auto first = digest.GetAuthorization();
        EXPECT_EQ(!c.contains.empty(), digest.HasCredentials()) << c.challenge;
        if (c.contains.empty()) {
            EXPECT_EQ("", first) << c.challenge;
            continue;
        }
        EXPECT_NE(std::string::npos, first.find(c.contains)) << first;
        EXPECT_NE(first, digest.GetAuthorization()) << "the client nonce is drawn anew";
    }
}

TEST(DigestAuthenticationTest, NotesAStaleNonce) {
    TestProxyAuthenticator proxy(L"anna", L"secret");
    network::DigestAuthentication digest(proxy.authenticator, Connectivity(), "host.test:443");
    for (const auto& [challenge, stale] : std::vector<std::pair<std::string, bool>>{
             {"nonce=\"a\", stale=true", true},
             {"nonce=\"a\", stale=FALSE", false},
             {"nonce=\"a\", stale=\"True\"", true},
             {"nonce=\"a\"", false}}) {
        digest.ProcessChallenge(challenge);
        EXPECT_EQ(stale, digest.IsStale()) << challenge;
    }
}

TEST(ParseAuthParamsTest, SplitsQuotedAndPlainValues) {
    using Params = std::map<std::string, std::string>;
    const std::vector<std::pair<std::string, Params>> cases{
        {"realm=\"a, b\", nonce=x", {{"realm", "a, b"}, {"nonce", "x"}}},
        {" qop =  auth  ,nc=1", {{"qop", "auth"}, {"nc", "1"}}},
        {"flag, realm=r", {{"flag", ""}, {"realm", "r"}}},
        {"realm=\"q\" junk, nonce=n", {{"realm", "q"}, {"nonce", "n"}}},
        {"realm=first, realm=second", {{"realm", "first"}}},
        {"realm=\"open, nonce=n", {{"realm", "open, nonce=n"}}},
        {"realm=\"a\\\"b\\\\c\", x=y", {{"realm", "a\"b\\c"}, {"x", "y"}}},
        {"last", {{"last", ""}}},
        {"\t\r\n", {}},
    };
    for (const auto& [text, expected] : cases) {
        EXPECT_EQ(expected, network::ParseAuthParams(text)) << text;
    }
}

// One "Proxy-Authenticate" field may hold several challenges; a comma also
// parts the parameters of one, and may stand inside a quoted string.
TEST(ProxyAuthenticationSchemeTest, AFieldIsSplitIntoItsChallenges) {
    using Challenges = std::vector<std::string>;
    const std::vector<std::pair<std::string, Challenges>> cases{
        {"Basic realm=\"p\", Digest realm=\"d\", nonce=\"n\"",
         {"Basic realm=\"p\"", "Digest realm=\"d\", nonce=\"n\""}},
        {"Digest realm=\"a, Basic b\", nonce=n, Basic realm=x",
         {"Digest realm=\"a, Basic b\", nonce=n", "Basic realm=x"}},
        {"Newauth realm=\"apps\", type=1, title=\"Login to \\\"apps, x\\\"\", Basic realm=\"s\"",
         {"Newauth realm=\"apps\", type=1, title=\"Login to \\\"apps, x\\\"\"",
          "Basic realm=\"s\""}},
        {"Digest realm = d , nonce = n", {"Digest realm = d , nonce = n"}},
        {"Negotiate abc==, NTLM, Basic", {"Negotiate abc==", "NTLM", "Basic"}},
        {" ,Basic realm=x,, ", {"Basic realm=x"}},
        {"realm=x, Basic", {"Basic"}},
        {"Basic realm=\"open, Digest", {"Basic realm=\"open, Digest"}},
        // A backslash escapes the quote after it: the string goes on.
        {"Digest realm=\"x\\\", Basic y\", nonce=n", {"Digest realm=\"x\\\", Basic y\", nonce=n"}},
        {"", {}},
    };
    for (const auto& [field, challenges] : cases) {
        EXPECT_EQ(challenges, network::SplitChallenges(field)) << field;
    }
}

TEST(ProxyAuthenticationSchemeTest, PrefersDigestThenBasicWhateverTheOrderAndCase) {
    const std::vector<std::pair<std::vector<std::string>, std::size_t>> cases{
        {{"Basic", "Digest"}, 1},
        {{"Digest", "Basic"}, 0},
        {{"NTLM", "BASIC"}, 1},
        {{"negotiate", "dIgEsT", "digest"}, 1},
        {{"NTLM", "Negotiate"}, network::kNoAuthenticationScheme},
        {{}, network::kNoAuthenticationScheme}};
    for (const auto& [offered, index] : cases) {
        EXPECT_EQ(index, network::SelectAuthenticationScheme(offered))
            << ::testing::PrintToString(offered);
    }
    TestProxyAuthenticator proxy(L"anna", L"secret");
    using Method = network::SocketSignals::ProxyAuthenticationMethod;
    for (const auto& [scheme, method] : std::vector<std::pair<std::string, Method>>{
             {"BASIC", Method::Basic}, {"digest", Method::Digest}, {"NTLM", Method::None}}) {
        const auto made =
            network::CreateAuthentication(scheme, proxy.authenticator, Connectivity(), "h:1");
        EXPECT_EQ(method, made ? network::SchemeToProxyAuthenticationMethod(made->GetScheme())
                               : Method::None)
            << scheme;
    }
}

}  // namespace
