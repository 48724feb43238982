#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "support/ChildProcess.h"
#include "support/SquidProxy.h"
#include "support/WebSocketTestPeer.h"

namespace {

class NetWsTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(peer_.ready()); }

    std::string url(const std::string& server, const std::string& path) const { return peer_.url(server, path); }

    testsupport::ChildResult run(const std::vector<std::string>& arguments, const std::string& input = "") {
        std::vector<std::string> argv{NET_WS_PATH};
        argv.insert(argv.end(), arguments.begin(), arguments.end());
        testsupport::CommandOptions options;
        options.input = input;
        options.timeout = std::chrono::seconds(60);
        return testsupport::runCommand(argv, options);
    }

    networktest::WebSocketTestPeer peer_;
};

TEST_F(NetWsTest, SendsEachLineAndPrintsEachMessageThenTheCloseCode) {
    struct Case {
        std::string server;
        std::string path;
        std::string input;
        std::string output;
        std::string closeCode;
        int exitCode;
    };
    const Case cases[] = {
        {"raw", "/greeting", "first line\n\nlast without end", "first\nsecond\n", "close code 1005\n", 0},
        {"ws", "/close/4001", "", "", "close code 4001\n", 0},
        {"ws", "/greet", "", "welcome\n", "close code 1005\n", 0},
        {"raw", "/reserved-opcode", "", "", "close code 1002\n", 7},
        {"raw", "/missing-accept", "", "", "did not accept the upgrade (HTTP 400)\n", 40},
        {"raw", "/", "", "", ": could not connect (name lookup, TCP, TLS or proxy failed)\n", 3},
    };
    for (const auto& c : cases) {
        const auto to = c.path == "/" ? std::string("ws://127.0.0.1:1/") : url(c.server, c.path);
        const auto result = run({to}, c.input);
        ASSERT_TRUE(result.exited) << c.path << "\n" << result.errors;
        EXPECT_EQ(result.exitCode, c.exitCode) << c.path << "\n" << result.errors;
        EXPECT_EQ(result.output, c.output) << c.path;
        EXPECT_NE(result.errors.find(c.closeCode), std::string::npos) << c.path << "\n" << result.errors;
    }
    // Each line went out as one text message, then the Close.
    const auto journal = testsupport::readFile(peer_.journal());
    const std::string sent = "{\"frame\": 1, \"payload\": \"6669727374206c696e65\"}\n"
                             "{\"frame\": 1, \"payload\": \"\"}\n"
                             "{\"frame\": 1, \"payload\": \"6c61737420776974686f757420656e64\"}\n"
                             "{\"frame\": 8, \"payload\": \"\"}\n";
    EXPECT_NE(journal.find(sent), std::string::npos) << journal;
}

// Through squid with the credentials of the command line, plain and over
// TLS; wrong ones end the opening with the proxy's 407.
TEST_F(NetWsTest, GoesThroughTheProxyWithTheGivenCredentials) {
    if (!SquidProxy::installed()) {
        GTEST_SKIP() << SquidProxy::kSquid << " is not installed";
    }
    SquidProxy squid("anna", "open-sesame",
                     {static_cast<std::uint16_t>(peer_.port("ws")), static_cast<std::uint16_t>(peer_.port("wss"))});
    ASSERT_TRUE(squid.ready()) << squid.log();
    testsupport::CommandOptions options;
    options.timeout = std::chrono::seconds(60);
    // The certificate store is read from the CA file the environment names.
    options.environment = {"SSL_CERT_FILE=" + peer_.caFile()};
    for (const std::string server : {"ws", "wss"}) {
        const auto result = testsupport::runCommand(
            {NET_WS_PATH, peer_.proxiedUrl(server, "/greet"), "--proxy", squid.address(), "--proxy-user",
             "anna:open-sesame"},
            options);
        EXPECT_EQ(result.exitCode, 0) << server << "\n" << result.errors << squid.log();
        EXPECT_EQ(result.output, "welcome\n") << server;
    }
    const auto refused = testsupport::runCommand(
        {NET_WS_PATH, peer_.proxiedUrl("ws", "/echo"), "--proxy", squid.address(), "--proxy-user", "anna:wrong"},
        options);
    EXPECT_EQ(refused.exitCode, 40) << refused.errors;
    EXPECT_NE(refused.errors.find("the proxy refused the credentials (HTTP 407)"), std::string::npos)
        << refused.errors;
    EXPECT_EQ(refused.output, "");
}

TEST_F(NetWsTest, HelpExitsZeroAndAWrongCommandLine64) {
    const auto help = run({"--help"});
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_EQ(help.output.rfind("usage: ", 0), 0u) << help.output;
    for (const auto& arguments : std::vector<std::vector<std::string>>{{}, {"--bogus"}, {"ws://a", "ws://b"}}) {
        const auto wrong = run(arguments);
        EXPECT_EQ(wrong.exitCode, 64);
        EXPECT_EQ(wrong.output, "");
        const auto lines = testsupport::splitLines(wrong.errors);
        ASSERT_GE(lines.size(), 2u) << wrong.errors;
        EXPECT_EQ(lines[1].rfind("usage: ", 0), 0u) << wrong.errors;
    }
}

}  // namespace
