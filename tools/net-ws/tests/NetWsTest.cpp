#include <gtest/gtest.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "MessageOutput.h"
#include "support/ChildProcess.h"
#include "support/SharedFolder.h"
#include "support/SquidProxy.h"
#include "support/TempDir.h"
#include "support/WebSocketTestPeer.h"

extern "C" char** environ;

namespace {

// An unmasked server frame (payloads under 126 bytes) in hex, for the raw
// server's "/bytes/HEX".
std::string Frame(unsigned first, const std::string& payload) {
    static const char digits[] = "0123456789abcdef";
    std::string hex;
    for (const unsigned char c : std::string{static_cast<char>(first), static_cast<char>(payload.size())} + payload) {
        hex += digits[c >> 4];
        hex += digits[c & 0x0F];
    }
    return hex;
}

// Where net-ws's standard output goes: a pipe the test reads, or one that
// cannot be written (closed; a full device; a pipe nobody reads, SIGPIPE
// ignored as a service manager has it).
enum class Output { Pipe, Closed, Full, ReaderGone };

// net-ws started with pipes on its standard streams, which the test writes
// and reads when it chooses.
class RunningNetWs {
public:
    explicit RunningNetWs(const std::string& url, Output output = Output::Pipe) {
        int in[2], out[2], err[2];
        if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) {
            return;
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, in[0], 0);
        if (output == Output::Closed) {
            posix_spawn_file_actions_addclose(&actions, 1);
        } else if (output == Output::Full) {
            posix_spawn_file_actions_addopen(&actions, 1, "/dev/full", O_WRONLY, 0);
        } else {
            posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        }
        posix_spawn_file_actions_adddup2(&actions, err[1], 2);
        if (output == Output::ReaderGone) {
            ::close(out[0]);
            out[0] = -1;
        }
        std::string shell = "/bin/sh";
        std::string script = "-c";
        std::string command = "trap '' PIPE; exec \"$0\" \"$@\"";
        std::string path = NET_WS_PATH;
        std::string target = url;
        char* direct[] = {path.data(), target.data(), nullptr};
        char* wrapped[] = {shell.data(), script.data(), command.data(),
                           path.data(),  target.data(), nullptr};
        char** argv = output == Output::Pipe ? direct : wrapped;
        if (posix_spawn(&pid_, argv[0], &actions, nullptr, argv, environ) != 0) {
            pid_ = -1;
        }
        posix_spawn_file_actions_destroy(&actions);
        ::close(in[0]);
        ::close(out[1]);
        ::close(err[1]);
        input_ = in[1];
        output_ = out[0];
        errors_ = err[0];
    }

    ~RunningNetWs() {
        CloseInput();
        if (pid_ > 0) {
            testsupport::waitForChild(pid_, std::chrono::seconds(1));
        }
        for (int fd : {output_, errors_}) {
            if (fd >= 0) {
                ::close(fd);
            }
        }
    }

    bool started() const { return pid_ > 0; }

    // Writes all of `text`; the child reads as it goes.
    bool Write(const std::string& text) {
        for (std::size_t at = 0; at < text.size();) {
            const ssize_t n = ::write(input_, text.data() + at, text.size() - at);
            if (n <= 0) {
                return false;
            }
            at += static_cast<std::size_t>(n);
        }
        return true;
    }

    void CloseInput() {
        if (input_ >= 0) {
            ::close(input_);
            input_ = -1;
        }
    }

    // Reads standard output and error to their end, then waits for the
    // child (at most `bound` in all).
    testsupport::ChildResult Finish(std::chrono::seconds bound) {
        CloseInput();
        testsupport::ChildResult result;
        std::thread errors([&] { result.errors = ReadAll(errors_); });
        result.output = ReadAll(output_);
        errors.join();
        const auto waited = testsupport::waitForChild(pid_, bound);
        pid_ = -1;
        result.exited = waited.exited;
        result.exitCode = waited.exitCode;
        return result;
    }

    // Waits for the child to end by itself, its input still open (at most
    // `bound`), then reads its standard error.
    testsupport::ChildResult WaitWithInputOpen(std::chrono::seconds bound) {
        auto result = testsupport::waitForChild(pid_, bound);
        pid_ = -1;
        result.errors = ReadAll(errors_);
        return result;
    }

private:
    static std::string ReadAll(int fd) {
        std::string text;
        char chunk[65536];
        for (ssize_t n; (n = ::read(fd, chunk, sizeof chunk)) > 0;) {
            text.append(chunk, static_cast<std::size_t>(n));
        }
        return text;
    }

    pid_t pid_ = -1;
    int input_ = -1;
    int output_ = -1;
    int errors_ = -1;
};

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

    // `program` run as user 65534 allowed one process (root is not held to
    // the limit), so that it can start no thread.
    static testsupport::ChildResult runWithOneProcess(const std::string& program,
                                                      const std::string& to) {
        testsupport::CommandOptions options;
        options.timeout = std::chrono::seconds(60);
        // The leak checker of a sanitized build needs a thread of its own at the end.
        const char* sanitizer = std::getenv("ASAN_OPTIONS");
        options.environment = {std::string("ASAN_OPTIONS=") +
                               (sanitizer ? std::string(sanitizer) + ":" : "") + "detect_leaks=0"};
        return testsupport::runCommand(
            testsupport::SharedFolder::asNobody({"/usr/bin/prlimit", "--nproc=1", program, to}),
            options);
    }

    networktest::WebSocketTestPeer peer_;
};

TEST_F(NetWsTest, SendsEachLineAndPrintsEachMessageThenTheCloseCode) {
    const std::string kNoUpgrade = "the server's 101 answer is no web-socket upgrade: ";
    struct Case {
        std::string server;
        std::string path;
        std::string input;
        std::string output;
        std::string closeCode;  // or a part of the reason the opening failed
        int exitCode;
        bool capitals = false;  // the scheme written in capitals
        bool oneProcess = false;  // run as user 65534 allowed one process: no thread starts
    };
    const Case cases[] = {
        {"raw", "/greeting", "first line\n\nlast without end", "first\nsecond\n", "close code 1005\n", 0},
        {"ws", "/close/4001", "", "", "close code 4001\n", 0},
        {"ws", "/greet", "", "welcome\n", "close code 1005\n", 0},
        {"raw", "/reserved-opcode", "", "", "close code 1002\n", 7},
        // 200,000 messages in one write, each asked for from the last.
        {"raw", "/burst", "", std::string(200000, '\n'), "close code 1000\n", 0},
        // After its Close the server hangs up without one of its own.
        {"raw", "/hang-up-on-close", "", "", "close code 1006\n", 7},
        // A Close frame no server may send.
        {"raw", "/bytes/" + Frame(0x88, "\x03\xed"), "", "", "close code 1002\n", 7},
        {"raw", "/bytes/" + Frame(0x88, "\x03\xe8\xff"), "", "", "close code 1007\n", 7},
        {"raw", "/bytes/" + Frame(0x81, "ok") + Frame(0x01, "\xe2\x82") + Frame(0x80, "!"), "", "ok\n",
         "close code 1007\n", 7},
        {"raw", "/masked", "", "", "close code 1002\n", 7},
        // A 101 that is no upgrade says which header is wrong.
        {"raw", "/answer/deflate", "", "", kNoUpgrade + "Extension 'permessage-deflate'", 40},
        {"raw", "/missing-accept", "", "", kNoUpgrade + "Missing header 'Sec-WebSocket-Accept'", 40},
        {"raw", "/wrong-accept", "", "",
         kNoUpgrade + "Invalid value for header 'Sec-WebSocket-Accept'", 40},
        {"raw", "/", "", "", ": could not connect (name lookup, TCP, TLS or proxy failed)\n", 3},
        // A URL that cannot be used is told why (no server: the URL as it stands).
        {"", "ws://anna@127.0.0.1:1/", "", "", ": user information (USER@ before the host) is not", 1},
        // Any other answer: 10 times its status class; one that is no HTTP, 2.
        {"raw", "/status/200", "", "", "did not accept the upgrade (HTTP 200)\n", 20},
        {"raw", "/status/302", "", "", "did not accept the upgrade (HTTP 302)\n", 30},
        {"raw", "/status/503", "", "", "did not accept the upgrade (HTTP 503)\n", 50},
        // A refusal's body is read and dropped, never decoded.
        {"raw", "/status/404/coded", "", "", "did not accept the upgrade (HTTP 404)\n", 40},
        {"raw", "/status/500/page", "", "", "did not accept the upgrade (HTTP 500)\n", 50},
        {"raw", "/not-http", "", "", ": the answer is not HTTP\n", 2},
        // The scheme in capitals is the same scheme.
        {"ws", "/greet", "", "welcome\n", "close code 1005\n", 0, true},
        {"ws", "/greet", "", "", ": the upgrade was not sent: no thread could be started for it: ",
         1, false, true},
    };
    const testsupport::SharedFolder nobodys;
    for (const auto& c : cases) {
        auto to = c.path == "/"     ? std::string("ws://127.0.0.1:1/")
                  : c.server.empty() ? c.path
                                     : url(c.server, c.path);
        if (c.capitals) {
            to.replace(0, 2, "WS");
        }
        if (c.oneProcess && !nobodys.usable()) {
            // Said so, without marking the whole table skipped.
            std::cout << "not run: " << c.path << " with one process: " << nobodys.why() << "\n";
            continue;
        }
        const auto result =
            c.oneProcess ? runWithOneProcess(nobodys.runnable(NET_WS_PATH), to) : run({to}, c.input);
        ASSERT_TRUE(result.exited) << c.path << "\n" << result.errors;
        EXPECT_EQ(result.exitCode, c.exitCode) << c.path << "\n" << result.errors;
        EXPECT_TRUE(result.output == c.output)
            << c.path << ": " << result.output.size() << " bytes of output\n" << result.output.substr(0, 200);
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
    // Wrong credentials, or none (none stored in an empty home either), are told alike.
    testsupport::TempDir home{"quorvane-net-ws-home"};
    options.environment.push_back("HOME=" + home.path());
    for (const auto& credentials :
         {std::vector<std::string>{"--proxy-user", "anna:wrong"}, std::vector<std::string>{}}) {
        std::vector<std::string> argv{NET_WS_PATH, peer_.proxiedUrl("ws", "/echo"), "--proxy", squid.address()};
        argv.insert(argv.end(), credentials.begin(), credentials.end());
        const auto refused = testsupport::runCommand(argv, options);
        EXPECT_EQ(refused.exitCode, 40) << refused.errors;
        EXPECT_NE(refused.errors.find(": the proxy wants credentials: none given or stored, or refused (HTTP 407)"),
                  std::string::npos)
            << refused.errors;
        EXPECT_EQ(refused.output, "");
    }
}

// The echo of a first line fills the pipe of standard output, which the
// reader does not read yet: the second line still goes out at once, and
// both echoes come out once it reads.
TEST_F(NetWsTest, ALineGoesOutWhileTheOutputIsNotRead) {
    RunningNetWs netWs(url("ws", "/echo-sizes"));
    ASSERT_TRUE(netWs.started());
    const std::string first(65536, 'a');
    const std::string second(300000, 'b');
    ASSERT_TRUE(netWs.Write(first + "\n" + second + "\n"));
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    std::string journal;
    while (std::chrono::steady_clock::now() < deadline &&
           (journal = testsupport::readFile(peer_.journal())).find("{\"echoed\": 300000}") == std::string::npos) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_NE(journal.find("{\"echoed\": 65536}\n{\"echoed\": 300000}"), std::string::npos)
        << "the second line did not reach the server while standard input was open\n" << journal;
    const auto result = netWs.Finish(std::chrono::seconds(30));
    EXPECT_EQ(result.exitCode, 0) << result.errors;
    EXPECT_TRUE(result.output == first + "\n" + second + "\n") << result.output.size() << " bytes of output";
}

// Echoes past the output's backlog wait for a reader that takes nothing for
// longer than the closing handshake may last: net-ws gives up on the
// handshake, then writes all it holds once the reader reads, and ends with
// 7. The wait has no event to follow: the run gives up after a minute.
TEST_F(NetWsTest, AnOutputUnreadPastTheClosingBoundIsStillWrittenWhole) {
    RunningNetWs netWs(url("ws", "/echo-sizes"));
    ASSERT_TRUE(netWs.started());
    const std::string line(4 << 20, 'x');
    std::string input;
    for (int i = 0; i < 5; ++i) {
        input += line + "\n";
    }
    ASSERT_TRUE(netWs.Write(input));
    netWs.CloseInput();
    const auto closed = std::chrono::steady_clock::now();
    std::string journal;
    while (std::chrono::steady_clock::now() < closed + std::chrono::seconds(30) &&
           (journal = testsupport::readFile(peer_.journal())).find("{\"echoed\": 4194304}\n{\"echoed\": 4194304}\n{\"echoed\": 4194304}\n{\"echoed\": 4194304}\n{\"echoed\": 4194304}") ==
               std::string::npos) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    std::this_thread::sleep_until(closed + std::chrono::seconds(62));
    const auto result = netWs.Finish(std::chrono::seconds(30));
    ASSERT_TRUE(result.exited) << "signal " << result.signal << "\n" << result.errors;
    EXPECT_EQ(7, result.exitCode) << result.errors;
    EXPECT_NE(std::string::npos, result.errors.find("no closing handshake within a minute")) << result.errors;
    // The echoes that filled the backlog; the last one stays unread.
    const std::size_t held = MessageOutput::kBacklog / (line.size() + 1) + 1;
    EXPECT_TRUE(result.output == input.substr(0, held * (line.size() + 1)))
        << result.output.size() << " bytes of output";
}

// An output that cannot be written stops the run, its input still open:
// net-ws closes the connection and ends with 74, saying why. Standard
// output closed at the start is held on a descriptor that cannot be
// written, not taken by one of net-ws's own (an event counter takes the
// 8 bytes of "welcome\n").
TEST_F(NetWsTest, AnOutputThatCannotBeWrittenEndsTheRunWith74) {
    const struct {
        Output output;
        std::string reason;
    } cases[] = {
        {Output::Closed, std::strerror(EBADF)},
        {Output::Full, std::strerror(ENOSPC)},
        {Output::ReaderGone, std::strerror(EPIPE)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.reason);
        RunningNetWs netWs(url("ws", "/greet"), c.output);
        ASSERT_TRUE(netWs.started());
        const auto result = netWs.WaitWithInputOpen(std::chrono::seconds(30));
        EXPECT_TRUE(result.exited) << "signal " << result.signal
                                   << (result.timedOut ? ", timed out\n" : "\n") << result.errors;
        EXPECT_EQ(74, result.exitCode) << result.errors;
        EXPECT_NE(std::string::npos,
                  result.errors.find(": writing the messages failed: " + c.reason))
            << result.errors;
    }
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
