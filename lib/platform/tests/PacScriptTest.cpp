#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <cstring>
#include <thread>

#include "platform/cfnetwork/PacScript.h"
#include "platform/cfnetwork/ProxyAutoConfiguration.h"
#include "platform/cfnetwork/ProxyKeys.h"
#include "support/ProcessState.h"
#include "support/ScriptServer.h"
#include "support/TempDir.h"

#include <boost/filesystem.hpp>
#include <fstream>

using namespace platform::cfnetwork;
using platform::corefoundation::Dictionary;
using platform::corefoundation::integerValue;
using platform::corefoundation::stringValue;

namespace {

constexpr const char* kScript = R"(
function FindProxyForURL(url, host) {
    if (host == "direct.example") return "DIRECT";
    if (shExpMatch(url, "*/socks/*")) return "SOCKS sox:1080";
    return "PROXY first:3128; HTTPS second:443; PROXY noport; DIRECT";
}
)";

// The test web server, serving "proxy.pac" (the script) and "big.pac" (the
// script after 5000 spaces) under "/files/".
struct PacServer {
    testsupport::TempDir root;
    testsupport::ScriptServer web{testsupport::testSupportDirectory() + "/http_test_server.py",
                                  {"--journal", root.file("journal"), "--root", root.path()}};
    PacServer() {
        std::ofstream(root.file("proxy.pac")) << kScript;
        std::ofstream(root.file("big.pac")) << std::string(5000, ' ') << kScript;
    }
    std::string url(const std::string& path) const {
        return "http://127.0.0.1:" + std::to_string(web.readyNumber("http").value_or(0)) + path;
    }
};

const Dictionary& dictionaryAt(const std::vector<ProxyArrayElement>& proxies, std::size_t i) {
    return std::get<Dictionary>(proxies.at(i));
}

TEST(PacScriptTest, AnswersBecomeProxyDictionaries) {
    const auto proxies = parsePacProxies(
        " proxy a:1 ;https [::1]:443;SOCKS5 s;direct; FTP f:21; PROXY :3; "
        "PROXY b:x; PROXY c:70000;;");
    ASSERT_EQ(4u, proxies.size());
    EXPECT_EQ(kCFProxyTypeHTTP, stringValue(dictionaryAt(proxies, 0), kCFProxyTypeKey));
    EXPECT_EQ("a", stringValue(dictionaryAt(proxies, 0), kCFProxyHostNameKey));
    EXPECT_EQ(1, integerValue(dictionaryAt(proxies, 0), kCFProxyPortNumberKey));
    EXPECT_EQ(kCFProxyTypeHTTPS, stringValue(dictionaryAt(proxies, 1), kCFProxyTypeKey));
    EXPECT_EQ("::1", stringValue(dictionaryAt(proxies, 1), kCFProxyHostNameKey));
    EXPECT_EQ(kCFProxyTypeSOCKS, stringValue(dictionaryAt(proxies, 2), kCFProxyTypeKey));
    EXPECT_FALSE(dictionaryAt(proxies, 2).count(kCFProxyPortNumberKey));
    EXPECT_EQ(kCFProxyTypeNone, stringValue(dictionaryAt(proxies, 3), kCFProxyTypeKey));
    EXPECT_FALSE(dictionaryAt(proxies, 3).count(kCFProxyHostNameKey));
    EXPECT_TRUE(parsePacProxies("").empty());
}

TEST(PacScriptTest, EvaluatesTheScriptForEachUrl) {
    EXPECT_EQ("DIRECT", evaluatePacScript(kScript, "http://direct.example/", "direct.example")
                            .proxies.value_or("?"));
    EXPECT_EQ("SOCKS sox:1080",
              evaluatePacScript(kScript, "http://x/socks/y", "x").proxies.value_or("?"));

    const auto broken =
        evaluatePacScript("function FindProxyForURL(url, host) { return x.y; }", "http://x/", "x");
    EXPECT_FALSE(broken.proxies);
    EXPECT_NE(std::string::npos, broken.error.find("not defined")) << broken.error;

    const auto unparsable = evaluatePacScript("function (", "http://x/", "x");
    EXPECT_FALSE(unparsable.proxies);
    EXPECT_FALSE(unparsable.error.empty());
}

TEST(PacScriptTest, EvaluationsFromSeveralThreadsTakeTurns) {
    std::vector<std::thread> threads;
    std::atomic<int> right{0};
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 10; ++i) {
                if (evaluatePacScript(kScript, "http://x/socks/", "x").proxies ==
                    std::optional<std::string>("SOCKS sox:1080")) {
                    ++right;
                }
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(40, right.load());
}

TEST(PacScriptTest, FetchesFromAServerAndAFileWithinTheSizeCap) {
    PacServer server;
    PacFetchLimits limits;
    limits.maxScriptSize = 4096;

    const auto fetched = fetchPacScript(server.url("/files/proxy.pac"), limits);
    EXPECT_EQ(kScript, fetched.script.value_or("")) << fetched.error;

    const auto big = fetchPacScript(server.url("/files/big.pac"), limits);
    EXPECT_FALSE(big.script);
    EXPECT_NE(std::string::npos, big.error.find("larger than 4096")) << big.error;

    const auto missing = fetchPacScript(server.url("/files/missing.pac"), limits);
    EXPECT_FALSE(missing.script);
    EXPECT_NE(std::string::npos, missing.error.find("404")) << missing.error;

    testsupport::TempDir folder;
    std::ofstream(folder.file("local.pac")) << kScript;
    // A file URL as a system hands it over: its path percent-encoded, so a
    // folder with a blank or a non-ASCII letter in its name is reached too.
    std::string url = "file://";
    for (const unsigned char c : folder.file("local.pac")) {
        static const char kHex[] = "0123456789ABCDEF";
        if (std::isalnum(c) || std::strchr("/-._~", c) != nullptr) {
            url += static_cast<char>(c);
        } else {
            url += {'%', kHex[c >> 4], kHex[c & 15]};
        }
    }
    EXPECT_EQ(kScript, fetchPacScript(url, limits).script) << url;

    EXPECT_FALSE(fetchPacScript("ftp://127.0.0.1/x.pac", limits).script);
}

TEST(PacScriptTest, FetchNeverGoesThroughTheEnvironmentsProxy) {
    PacServer server;
    PacServer proxy;  // would answer 404 for any proxied request
    std::optional<testsupport::ScopedEnvironment> environment{std::in_place};
    environment->set("http_proxy", proxy.url(""));
    environment->set("no_proxy", "");
    const auto fetched = fetchPacScript(server.url("/files/proxy.pac"), {});
    environment.reset();
    EXPECT_EQ(kScript, fetched.script.value_or("")) << fetched.error;
    EXPECT_EQ(0, boost::filesystem::file_size(proxy.root.file("journal")));
}

TEST(PacScriptTest, ExecuteGivesTheProxyArrayOrAnError) {
    PacServer server;
    ProxyAutoConfiguration pac;

    const auto result = pac.execute(server.url("/files/proxy.pac"), "https://www.example/x");
    ASSERT_FALSE(result.error) << *result.error;
    ASSERT_TRUE(result.proxies);
    ASSERT_EQ(4u, result.proxies->size());
    EXPECT_EQ("second", stringValue(dictionaryAt(*result.proxies, 1), kCFProxyHostNameKey));
    EXPECT_FALSE(dictionaryAt(*result.proxies, 2).count(kCFProxyPortNumberKey));

    // A bare host is both the URL and the host the script is asked about.
    const auto bare = pac.execute(server.url("/files/proxy.pac"), "direct.example");
    ASSERT_TRUE(bare.proxies) << bare.error.value_or("");
    ASSERT_EQ(1u, bare.proxies->size());
    EXPECT_EQ(kCFProxyTypeNone, stringValue(dictionaryAt(*bare.proxies, 0), kCFProxyTypeKey));

    const auto badTarget = pac.execute(server.url("/files/proxy.pac"), "not a url");
    EXPECT_TRUE(badTarget.error);
    EXPECT_FALSE(badTarget.proxies);

    const auto missing = pac.execute(server.url("/files/missing.pac"), "https://www.example/x");
    EXPECT_TRUE(missing.error);
}

TEST(PacScriptTest, AServerThatNeverAnswersEndsWithinTheDefaultBound) {
    // A listener that never accepts: the connection is made, no answer comes.
    const int silent = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ASSERT_EQ(0, ::bind(silent, reinterpret_cast<sockaddr*>(&address), length));
    ASSERT_EQ(0, ::listen(silent, 4));
    ::getsockname(silent, reinterpret_cast<sockaddr*>(&address), &length);
    ProxyAutoConfiguration pac;
    const PacFetchLimits defaults;
    const auto start = std::chrono::steady_clock::now();
    const auto result = pac.execute(
        "http://127.0.0.1:" + std::to_string(ntohs(address.sin_port)) + "/proxy.pac",
        "http://www.example/");
    const auto took = std::chrono::steady_clock::now() - start;
    ::close(silent);
    EXPECT_TRUE(result.error);
    EXPECT_FALSE(result.proxies);
    EXPECT_GE(took, defaults.totalTimeout - std::chrono::milliseconds(100));
    EXPECT_LT(took, defaults.totalTimeout + std::chrono::seconds(3));
}

}  // namespace
