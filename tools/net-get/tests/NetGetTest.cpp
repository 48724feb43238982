#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>

#include "ProxyAuthenticator.h"
#include "common/credentialstorage/CredentialStorage.h"
#include "network/Base64.h"
#include "support/ChildProcess.h"
#include "support/ScriptServer.h"
#include "support/TempDir.h"

namespace {

using testsupport::readFile;

class NetGetTest : public ::testing::Test {
protected:
    // Starts the scripted peer: one connection per answer, each closed after it.
    void Serve(const std::vector<std::string>& answers) {
        std::string script = "{\"connections\": [";
        for (std::size_t i = 0; i < answers.size(); ++i) {
            std::string quoted;
            for (const char c : answers[i]) {
                quoted += c == '\r' ? "\\r" : c == '\n' ? "\\n" : c == '"' ? "\\\"" : std::string(1, c);
            }
            script += (i == 0 ? "" : ", ") + std::string("[{\"response\": \"") + quoted +
                      "\", \"close\": true}]";
        }
        script += "]}";
        std::ofstream(folder_.file("script.json")) << script;
        peer_ = std::make_unique<testsupport::ScriptServer>(
            std::string(NETWORK_TEST_SUPPORT_DIR) + "/http_test_peer.py",
            std::vector<std::string>{folder_.file("script.json"), folder_.file("requests.log")});
        ASSERT_TRUE(peer_->ready());
    }

    std::string url(const std::string& path) const {
        return "http://127.0.0.1:" + std::to_string(peer_->readyNumber("port").value_or(0)) + path;
    }

    testsupport::ChildResult run(const std::vector<std::string>& arguments) {
        std::vector<std::string> argv{NET_GET_PATH};
        argv.insert(argv.end(), arguments.begin(), arguments.end());
        testsupport::CommandOptions options;
        options.timeout = std::chrono::seconds(60);
        return testsupport::runCommand(argv, options);
    }

    testsupport::TempDir folder_{"quorvane-net-get"};
    std::unique_ptr<testsupport::ScriptServer> peer_;
};

TEST_F(NetGetTest, SendsTheRequestAndPrintsTheAnswer) {
    Serve({"HTTP/1.1 200 OK\r\nX-Answer: yes\r\nContent-Length: 5\r\n\r\nhello",
           "HTTP/1.1 200 OK\r\nContent-Length: 4\r\n\r\nfile"});
    const auto sent = run({url("/form"), "-X", "PUT", "-H", "X-Token: t1", "-H",
                           "Content-Type: text/plain", "-d", "data"});
    ASSERT_TRUE(sent.exited) << sent.errors;
    EXPECT_EQ(sent.exitCode, 0) << sent.errors;
    EXPECT_EQ(sent.output, "hello");
    EXPECT_NE(sent.errors.find("HTTP 200\nX-Answer: yes\nContent-Length: 5\n"), std::string::npos)
        << sent.errors;
    const std::string log = readFile(folder_.file("requests.log"));
    EXPECT_NE(log.find("PUT /form HTTP/1.1"), std::string::npos) << log;
    EXPECT_NE(log.find("Content-Type: text/plain\\r\\nContent-Length: 4"), std::string::npos) << log;
    EXPECT_NE(log.find("X-Token: t1\\r\\n\\r\\ndata"), std::string::npos) << log;

    const auto saved = run({url("/file"), "-o", folder_.file("out.bin")});
    EXPECT_EQ(saved.exitCode, 0) << saved.errors;
    EXPECT_EQ(saved.output, "");
    EXPECT_EQ(readFile(folder_.file("out.bin")), "file");
}

// The body goes into the file as it arrives (here more than one piece of
// the connection's body sink); a body cut short leaves no file behind.
TEST_F(NetGetTest, ABodyCutShortLeavesNoFile) {
    std::string body(3 << 19, 'x');
    for (std::size_t i = 0; i < body.size(); i += 4096) {
        body[i] = static_cast<char>('a' + (i / 4096) % 26);
    }
    const std::string length = std::to_string(body.size());
    Serve({"HTTP/1.1 200 OK\r\nContent-Length: " + length + "\r\n\r\n" + body,
           "HTTP/1.1 200 OK\r\nContent-Length: " + length + "0\r\n\r\n" + body});
    const auto whole = run({url("/whole"), "-o", folder_.file("whole.bin")});
    EXPECT_EQ(whole.exitCode, 0) << whole.errors;
    EXPECT_TRUE(readFile(folder_.file("whole.bin")) == body) << "the file differs from the body";
    const auto cut = run({url("/cut"), "-o", folder_.file("cut.bin")});
    EXPECT_EQ(cut.exitCode, 5) << cut.errors;
    EXPECT_FALSE(std::filesystem::exists(folder_.file("cut.bin")));
}

TEST_F(NetGetTest, ExitsWithTheFailureOrTheStatusClass) {
    Serve({"HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n",
           "HTTP/1.1 503 Busy\r\nContent-Length: 0\r\n\r\n", "", "SSH-2.0-OpenSSH\r\n\r\n"});
    struct Case {
        std::vector<std::string> arguments;
        int exitCode;
    };
    const Case cases[] = {
        {{url("/missing")}, 40},
        {{url("/busy")}, 50},
        {{url("/silent")}, 5},
        {{url("/other")}, 2},
        {{"http://127.0.0.1:1/"}, 3},
        {{"no url"}, 1},
        {{"-o"}, 64},
        {{"not-a-url"}, 1},
        {{url("/"), "-H", "NoColon"}, 64},
        {{url("/"), "-H", "Content-Length: 1", "-d", "abc"}, 64},
        {{}, 64},
    };
    for (const auto& c : cases) {
        const auto result = run(c.arguments);
        ASSERT_TRUE(result.exited);
        EXPECT_EQ(result.exitCode, c.exitCode)
            << (c.arguments.empty() ? "" : c.arguments.front()) << "\n" << result.errors;
    }
}

// The proxy (a scripted peer) asks for credentials and closes; the CONNECT on
// the next connection carries those of the command line or, without them,
// those of the credential storage, and the request goes through the tunnel.
TEST_F(NetGetTest, GoesThroughTheProxyWithTheGivenOrStoredCredentials) {
    const std::string home = folder_.path();
    const auto stored = testsupport::runInChild([&] {
        ::setenv("HOME", home.c_str(), 1);
        return common::credentialstorage::CredentialStorage().store(
                   ProxyAuthenticator::kCredentialsLabel, L"anna", L"from-storage")
                   ? 0
                   : 1;
    });
    ASSERT_EQ(0, stored.exitCode);
    struct Case {
        std::vector<std::string> credentials;
        std::string pair;
    };
    for (const auto& c : std::vector<Case>{{{"--proxy-user", "anna:s:cret"}, "anna:s:cret"},
                                           {{}, "anna:from-storage"}}) {
        std::ofstream(folder_.file("script.json"))
            << "{\"connections\": [[{\"response\": \"HTTP/1.0 407 Auth\\r\\n"
               "Proxy-Authenticate: Basic realm=\\\"p\\\"\\r\\n\\r\\n\", \"close\": true}], "
               "[{\"response\": \"HTTP/1.1 200 Connection established\\r\\n\\r\\n\"}, "
               "{\"response\": \"HTTP/1.1 200 OK\\r\\nContent-Length: 2\\r\\n\\r\\nok\"}]]}";
        std::remove(folder_.file("requests.log").c_str());
        peer_ = std::make_unique<testsupport::ScriptServer>(
            std::string(NETWORK_TEST_SUPPORT_DIR) + "/http_test_peer.py",
            std::vector<std::string>{folder_.file("script.json"), folder_.file("requests.log")});
        ASSERT_TRUE(peer_->ready());
        std::vector<std::string> argv{NET_GET_PATH, "http://target.test:8080/x", "--proxy",
                                      "127.0.0.1:" + std::to_string(peer_->readyNumber("port").value_or(0))};
        argv.insert(argv.end(), c.credentials.begin(), c.credentials.end());
        testsupport::CommandOptions options;
        options.environment = {"HOME=" + home};
        options.timeout = std::chrono::seconds(60);
        const auto result = testsupport::runCommand(argv, options);
        EXPECT_EQ(0, result.exitCode) << result.errors;
        EXPECT_EQ("ok", result.output);
        const std::string log = readFile(folder_.file("requests.log"));
        EXPECT_NE(std::string::npos,
                  log.find("Proxy-Authorization: Basic " + network::Base64Encode(c.pair)))
            << log;
        EXPECT_NE(std::string::npos, log.find("GET /x HTTP/1.1")) << log;
    }
    for (const auto& wrong : std::vector<std::vector<std::string>>{
             {"http://h.test/", "--proxy", "no-port"},
             {"http://h.test/", "--proxy", "h:70000"},
             {"http://h.test/", "--proxy-user", "anna:secret"},
             {"http://h.test/", "--proxy", "h:1", "--proxy-user", "no-colon"}}) {
        EXPECT_EQ(64, run(wrong).exitCode) << wrong.back();
    }
}

// The -o path is touched only by a transfer that succeeds: a regular file
// is replaced then, through a new file beside it; a failed transfer leaves
// what was there, and nothing beside it. What is not a regular file (a
// device, a FIFO, a link to one, as /dev/stdout is) is written where it is,
// never replaced or removed. curl likewise leaves a file alone when the
// transfer cannot start.
TEST_F(NetGetTest, OnlyASuccessfulTransferTouchesTheOutput) {
    // The connections in the order of the cases that reach the server.
    Serve({"HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\ncut",
           "HTTP/1.1 200 OK\r\nContent-Length: 3\r\n\r\nnew",
           "HTTP/1.1 200 OK\r\nContent-Length: 3\r\n\r\nnew",
           "HTTP/1.1 200 OK\r\nContent-Length: 3\r\n\r\nnew",
           "HTTP/1.1 200 OK\r\nContent-Length: 3\r\n\r\nnew",
           "HTTP/1.1 200 OK\r\nContent-Length: 3\r\n\r\nnew",
           "HTTP/1.1 404 Not Found\r\nContent-Length: 9\r\n\r\nnot found",
           "HTTP/1.1 503 Service Unavailable\r\nContent-Length: 4\r\n\r\nbusy"});
    const bool root = ::geteuid() == 0;
    enum class Kind { File, Fifo, Device, LinkToDevice, LinkToFile };
    struct Case {
        std::string name;
        Kind kind;
        std::string url;
        int exitCode;
        std::string fileAfter;  // File and LinkToFile: the regular file's content
        std::string readBack;   // Fifo: what came through it
    };
    const std::vector<Case> cases{
        {"a URL that is no URL", Kind::File, "http://bad url", 1, "precious", ""},
        {"a refused connection", Kind::File, "http://127.0.0.1:1/", 3, "precious", ""},
        {"a body cut short", Kind::File, url("/cut"), 5, "precious", ""},
        {"a whole body", Kind::File, url("/whole"), 0, "new", ""},
        {"a FIFO, refused", Kind::Fifo, "http://127.0.0.1:1/", 3, "", ""},
        {"a FIFO, whole", Kind::Fifo, url("/fifo"), 0, "", "new"},
        {"a device, refused", Kind::Device, "http://127.0.0.1:1/", 3, "", ""},
        {"a device, whole", Kind::Device, url("/device"), 0, "", ""},
        {"a link to a device", Kind::LinkToDevice, url("/link"), 0, "", ""},
        {"a link to a file", Kind::LinkToFile, url("/linked"), 74, "precious", ""},
        {"a 404 page", Kind::File, url("/missing"), 40, "precious", ""},
        {"a 503 page", Kind::File, url("/busy"), 50, "precious", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        if (!root && (c.kind == Kind::Device || c.kind == Kind::LinkToDevice)) {
            continue;  // a device node needs root
        }
        testsupport::TempDir folder{"quorvane-net-get-out"};
        const std::string target = folder.file("out");
        const std::string file = folder.file("file");
        int reader = -1;
        switch (c.kind) {
            case Kind::File:
                std::ofstream(target) << "precious";
                break;
            case Kind::Fifo:
                ASSERT_EQ(0, ::mkfifo(target.c_str(), 0600));
                reader = ::open(target.c_str(), O_RDONLY | O_NONBLOCK);
                ASSERT_GE(reader, 0);
                break;
            case Kind::Device:
                ASSERT_EQ(0, ::mknod(target.c_str(), S_IFCHR | 0666, makedev(1, 3)));
                break;
            case Kind::LinkToDevice:
                ASSERT_EQ(0, ::mknod(file.c_str(), S_IFCHR | 0666, makedev(1, 3)));
                ASSERT_EQ(0, ::symlink(file.c_str(), target.c_str()));
                break;
            case Kind::LinkToFile:
                std::ofstream(file) << "precious";
                ASSERT_EQ(0, ::symlink(file.c_str(), target.c_str()));
                break;
        }
        const auto result = run({c.url, "-o", target});
        ASSERT_TRUE(result.exited);
        EXPECT_EQ(c.exitCode, result.exitCode) << result.errors;
        struct stat status {};
        ASSERT_EQ(0, ::lstat(target.c_str(), &status)) << "the output is gone";
        switch (c.kind) {
            case Kind::File:
                EXPECT_TRUE(S_ISREG(status.st_mode));
                EXPECT_EQ(c.fileAfter, readFile(target));
                break;
            case Kind::Fifo: {
                EXPECT_TRUE(S_ISFIFO(status.st_mode));
                char buffer[64] = {};
                const auto got = ::read(reader, buffer, sizeof buffer);
                ::close(reader);
                EXPECT_EQ(c.readBack, std::string(buffer, got > 0 ? std::size_t(got) : 0));
                break;
            }
            case Kind::Device:
                EXPECT_TRUE(S_ISCHR(status.st_mode));
                break;
            case Kind::LinkToDevice:
            case Kind::LinkToFile:
                EXPECT_TRUE(S_ISLNK(status.st_mode));
                EXPECT_EQ(c.fileAfter, readFile(file));
                break;
        }
        // Nothing is left beside the output.
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(folder.path())) {
            names.push_back(entry.path().filename());
        }
        EXPECT_EQ(c.kind == Kind::LinkToDevice || c.kind == Kind::LinkToFile ? 2u : 1u, names.size())
            << testing::PrintToString(names);
    }
}

// Redirects that run out end with a failure, as curl's do (its exit 47);
// a redirect that may not be followed too; a 304 is an answer.
TEST_F(NetGetTest, ARedirectNotFollowedIsAFailure) {
    std::vector<std::string> answers;
    for (int i = 0; i < 12; ++i) {  // six for net-get, six for curl
        answers.push_back("HTTP/1.1 302 Found\r\nLocation: /r" + std::to_string(i) +
                          "\r\nContent-Length: 0\r\n\r\n");
    }
    answers.push_back("HTTP/1.1 308 Permanent\r\nLocation: /p\r\nContent-Length: 0\r\n\r\n");
    answers.push_back("HTTP/1.1 304 Not Modified\r\n\r\n");
    Serve(answers);
    const auto looped = run({url("/loop")});
    ASSERT_TRUE(looped.exited);
    EXPECT_EQ(looped.exitCode, 30) << looped.errors;
    EXPECT_NE(looped.errors.find("redirect not followed (HTTP 302, Location: /r5)"), std::string::npos)
        << looped.errors;
    const auto curl = testsupport::runCommand(
        {"/usr/bin/curl", "-s", "-L", "--max-redirs", "5", "-m", "20", "-o", "/dev/null", url("/loop")});
    EXPECT_EQ(curl.exitCode, 47) << "curl: too many redirects";
    EXPECT_EQ(run({url("/permanent")}).exitCode, 30);
    EXPECT_EQ(run({url("/unchanged")}).exitCode, 0);
}

}  // namespace
