#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <thread>

#include "ProxyAuthenticator.h"
#include "common/credentialstorage/CredentialStorage.h"
#include "network/Base64.h"
#include "support/ChildProcess.h"
#include "support/Compressed.h"
#include "support/ScriptServer.h"
#include "support/TempDir.h"

namespace {

using testsupport::readFile;

// What -o names before a run.
enum class Kind { File, Missing, Fifo, Device, LinkToDevice, LinkToFile };

// A run with -o: the server's one answer (none: `url` is used as it is),
// the arguments after the URL, and what is to be seen after.
struct OutputCase {
    std::string name;
    Kind kind;
    std::string answer;
    std::string url;
    int exitCode;
    std::string fileAfter;  // File, Missing, LinkToFile: the regular file's content
    std::string readBack;   // Fifo: what came through it (the start of it with readAtLeast)
    std::size_t readAtLeast = 0;
    std::vector<std::string> arguments = {};
};

// `size` bytes that differ from one 4 KiB piece to the next.
std::string Body(std::size_t size) {
    std::string body(size, 'x');
    for (std::size_t i = 0; i < body.size(); i += 4096) {
        body[i] = static_cast<char>('a' + (i / 4096) % 26);
    }
    return body;
}

// A 200 answer announcing `announced` bytes and sending `body`.
std::string Answer(const std::string& body, std::size_t announced) {
    return "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(announced) + "\r\n\r\n" + body;
}

// More than the connection hands its body sink at once: a body cut after
// it has gone partly into the output.
const std::string kLongBody = Body(600 << 10);
const std::string kCutMidway = Answer(kLongBody, 1 << 20);

// Reads a FIFO while the run writes into it. A writer of its own keeps the
// reads waiting for the run's bytes until Finish() lets it go.
class FifoDrain {
public:
    explicit FifoDrain(const std::string& path)
        : reader_(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC)),
          writer_(::open(path.c_str(), O_WRONLY | O_CLOEXEC)) {
        if (opened() && ::fcntl(reader_, F_SETFL, 0) == 0) {
            thread_ = std::thread([this] {
                char chunk[65536];
                for (ssize_t n; (n = ::read(reader_, chunk, sizeof chunk)) > 0;) {
                    text_.append(chunk, static_cast<std::size_t>(n));
                }
            });
        }
    }
    ~FifoDrain() {
        Finish();
        ::close(reader_);
    }
    bool opened() const { return reader_ >= 0 && writer_ >= 0; }
    // What came through, once the run has ended.
    const std::string& Finish() {
        if (writer_ >= 0) {
            ::close(writer_);
            writer_ = -1;
        }
        if (thread_.joinable()) {
            thread_.join();
        }
        return text_;
    }

private:
    int reader_;
    int writer_;
    std::string text_;
    std::thread thread_;
};

// The names in `folder`, sorted.
std::vector<std::string> Names(const std::string& folder) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        names.push_back(entry.path().filename());
    }
    std::sort(names.begin(), names.end());
    return names;
}

// `text` as a JSON string of the bytes the peer reads: latin-1 characters.
std::string Quoted(const std::string& text) {
    std::string quoted = "\"";
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte >= 0x7f || c == '"' || c == '\\') {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", byte);
            quoted += escaped;
        } else {
            quoted += c;
        }
    }
    return quoted + "\"";
}

class NetGetTest : public ::testing::Test {
protected:
    // Starts the scripted peer: one connection per answer, each closed after
    // it; `more`, the step's further members.
    void Serve(const std::vector<std::string>& answers, const std::string& more = "") {
        std::string script = "{\"connections\": [";
        for (std::size_t i = 0; i < answers.size(); ++i) {
            script += (i == 0 ? "" : ", ") + std::string("[{\"response\": ") + Quoted(answers[i]) +
                      ", \"close\": true" + more + "}]";
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

    // Runs each case against a server of its own, with -o naming an output
    // of the case's kind in a fresh folder: that output is as the case
    // says afterwards, and nothing else is left in the folder.
    void CheckOutputs(const std::vector<OutputCase>& cases) {
        for (const auto& c : cases) {
            SCOPED_TRACE(c.name);
            std::string targetUrl = c.url;
            if (!c.answer.empty()) {
                Serve({c.answer});
                targetUrl = url("/");
            }
            testsupport::TempDir folder{"quorvane-net-get-out"};
            const std::string target = folder.file("out");
            const std::string file = folder.file("file");
            std::unique_ptr<FifoDrain> fifo;
            switch (c.kind) {
                case Kind::File:
                    std::ofstream(target) << "precious";
                    break;
                case Kind::Missing:
                    break;
                case Kind::Fifo:
                    ASSERT_EQ(0, ::mkfifo(target.c_str(), 0600));
                    fifo = std::make_unique<FifoDrain>(target);
                    ASSERT_TRUE(fifo->opened());
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
            std::vector<std::string> arguments{targetUrl, "-o", target};
            arguments.insert(arguments.end(), c.arguments.begin(), c.arguments.end());
            const auto result = run(arguments);
            ASSERT_TRUE(result.exited);
            EXPECT_EQ(c.exitCode, result.exitCode) << result.errors;
            struct stat status {};
            if (::lstat(target.c_str(), &status) != 0) {
                ADD_FAILURE() << "the output is gone";
                continue;
            }
            switch (c.kind) {
                case Kind::File:
                case Kind::Missing:
                    EXPECT_TRUE(S_ISREG(status.st_mode));
                    EXPECT_TRUE(c.fileAfter == readFile(target))
                        << "the file holds " << readFile(target).size() << " bytes";
                    break;
                case Kind::Fifo: {
                    EXPECT_TRUE(S_ISFIFO(status.st_mode));
                    const std::string& got = fifo->Finish();
                    EXPECT_TRUE(c.readAtLeast > 0 ? got.size() >= c.readAtLeast &&
                                                        c.readBack.compare(0, got.size(), got) == 0
                                                  : got == c.readBack)
                        << got.size() << " bytes came through: " << got.substr(0, 16);
                    break;
                }
                case Kind::Device:
                    EXPECT_TRUE(S_ISCHR(status.st_mode));
                    break;
                case Kind::LinkToDevice:
                    EXPECT_TRUE(S_ISLNK(status.st_mode));
                    EXPECT_EQ(0, ::lstat(file.c_str(), &status));
                    EXPECT_TRUE(S_ISCHR(status.st_mode));
                    break;
                case Kind::LinkToFile:
                    EXPECT_TRUE(S_ISLNK(status.st_mode));
                    EXPECT_EQ(c.fileAfter, readFile(file));
                    break;
            }
            // Nothing is left beside the output.
            const bool linked = c.kind == Kind::LinkToDevice || c.kind == Kind::LinkToFile;
            const std::vector<std::string> expected =
                linked ? std::vector<std::string>{"file", "out"} : std::vector<std::string>{"out"};
            EXPECT_EQ(expected, Names(folder.path()));
        }
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
    // The body of the fifth one is as long as an event counter's value. The
    // bomb decodes to 128 MiB, past the free 64 MiB at over 100 to 1.
    const std::string bomb = testsupport::gzipZeros(std::uint64_t{128} << 20);
    const std::string members =
        testsupport::compressed("first, ", 31) + testsupport::compressed("second", 31);
    const std::string twice =
        testsupport::compressed(testsupport::compressed("coded twice", 31), 31);
    const std::string choices = Body((1 << 20) + 100);
    Serve({"HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n",
           "HTTP/1.1 503 Busy\r\nContent-Length: 0\r\n\r\n", "", "SSH-2.0-OpenSSH\r\n\r\n",
           "HTTP/1.1 200 OK\r\nContent-Length: 8\r\n\r\n8 bytes!", Answer("up", 2),
           "HTTP/1.1 200 OK\r\nContent-Encoding: gzip\r\nContent-Length: " +
               std::to_string(bomb.size()) + "\r\n\r\n" + bomb,
           "HTTP/1.1 200 OK\r\nTransfer-Encoding: gzip, chunked\r\n\r\n4\r\nnot!\r\n0\r\n\r\n",
           "HTTP/1.1 404 Not Found\r\nContent-Encoding: gzip\r\nContent-Length: 4\r\n\r\nnot!",
           // Bodies that are not written are not decoded: a 404's with -o, a
           // followed redirect's.
           "HTTP/1.1 404 Not Found\r\nContent-Encoding: gzip\r\nContent-Length: 4\r\n\r\nnot!",
           "HTTP/1.1 302 Found\r\nLocation: /there\r\nContent-Encoding: gzip\r\n"
           "Content-Length: 4\r\n\r\nnot!",
           Answer("there", 5),
           // Every member, every coding of a list; none not known.
           "HTTP/1.1 200 OK\r\nContent-Encoding: gzip\r\nContent-Length: " +
               std::to_string(members.size()) + "\r\n\r\n" + members,
           "HTTP/1.1 200 OK\r\nContent-Encoding: gzip, gzip\r\nContent-Length: " +
               std::to_string(twice.size()) + "\r\n\r\n" + twice,
           "HTTP/1.1 200 OK\r\nContent-Encoding: br\r\nContent-Length: 3\r\n\r\nraw",
           "HTTP/1.1 999 Odd\r\nContent-Length: 0\r\n\r\n",
           // A redirect not followed: its first 1 MiB, and a word on the rest.
           "HTTP/1.1 300 Choose\r\nContent-Length: " + std::to_string(choices.size()) + "\r\n\r\n" +
               choices});
    const std::string port = std::to_string(peer_->readyNumber("port").value_or(0));
    struct Case {
        std::vector<std::string> arguments;
        int exitCode;
        bool outputClosed = false;  // started with standard output closed
        std::string says = "";      // on standard error
        std::optional<std::string> output = std::nullopt;  // on standard output
    };
    const Case cases[] = {
        {{url("/missing")}, 40},
        {{url("/busy")}, 50},
        {{url("/silent")}, 5},
        {{url("/other")}, 2},
        {{"http://127.0.0.1:1/"}, 3},
        // A URL that cannot be used is told why.
        {{"no url"}, 1, false, ": the request was not sent: ' ' at position 3 cannot stand there"},
        {{"-o"}, 64},
        {{"not-a-url"}, 1, false, ": it has no scheme"},
        {{"http://[::1]:" + port + "/"}, 1, false, ": IPv6 literals (a host in brackets) are not"},
        {{"http://anna@127.0.0.1:" + port + "/"}, 1, false, ": user information (USER@"},
        {{url("/"), "-H", "NoColon"}, 64},
        {{url("/"), "-X", "GE T"}, 64, false, "the method 'GE T' is not a token"},
        {{url("/"), "-H", "Content-Length: 1", "-d", "abc"}, 64},
        {{}, 64},
        // The body is not written into a descriptor of net-get's own that took number 1.
        {{url("/closed")}, 74, true, std::strerror(EBADF)},
        // A scheme in capitals is the same scheme; one not spoken is a wrong command line.
        {{"HTTP://127.0.0.1:" + port + "/upper"}, 0},
        {{"ftp://127.0.0.1:" + port + "/x"}, 64, false, "the scheme of 'ftp://127.0.0.1:"},
        // A body that does not decode is named with the decoder's reason.
        {{url("/bomb"), "-o", "/dev/null"}, 5, false,
         ": the body does not decode: the body decodes to more than "},
        {{url("/transfer-coded")}, 5, false, ": the transfer-coded body does not decode: "},
        {{url("/gone")}, 5, false, ": the body does not decode: the coded body is corrupt"},
        {{url("/gone"), "-o", folder_.file("gone")}, 40},
        {{url("/moved")}, 0, false, "", "there"},
        {{url("/members")}, 0, false, "", "first, second"},
        {{url("/twice")}, 0, false, "", "coded twice"},
        {{url("/unknown")}, 5, false,
         ": the body does not decode: the content coding \"br\" is not known", ""},
        {{url("/odd")}, 90},
        {{url("/choose")}, 30, false,
         ": only the first 1048576 of the 1048676 bytes of the redirect's body were written\n",
         choices.substr(0, 1 << 20)},
        // Methods are tokens: no tab, "(" or "/" goes on the request line.
        {{url("/"), "-X", "GE\tT"}, 64, false, "is not a token"},
        {{url("/"), "-X", "GE(T"}, 64, false, "the method 'GE(T' is not a token"},
        {{url("/"), "-X", "GE/T"}, 64, false, "the method 'GE/T' is not a token"},
    };
    for (const auto& c : cases) {
        auto argv =
            c.outputClosed
                ? std::vector<std::string>{"/bin/sh", "-c", "exec \"$0\" \"$@\" >&-", NET_GET_PATH}
                : std::vector<std::string>{NET_GET_PATH};
        argv.insert(argv.end(), c.arguments.begin(), c.arguments.end());
        const auto result = testsupport::runCommand(argv);
        ASSERT_TRUE(result.exited);
        EXPECT_EQ(result.exitCode, c.exitCode)
            << (c.arguments.empty() ? "" : c.arguments.front()) << "\n" << result.errors;
        EXPECT_NE(std::string::npos, result.errors.find(c.says)) << result.errors;
        if (c.output) {
            EXPECT_TRUE(result.output == *c.output) << result.output.size() << " bytes of output";
        }
    }
    EXPECT_FALSE(std::filesystem::exists(folder_.file("gone")));
}

// The proxy (a scripted peer) asks for credentials and closes; the CONNECT on
// the next connection carries those of the command line or, without them,
// those of the credential storage, and the request goes through the tunnel.
// A proxy that asks for none gets none, and the credential storage is not
// touched: a home folder without one is left as it was. A proxy that asks
// again and again ends the run with its 407, said in words. net-get prints
// no line of the proxy support's own.
TEST_F(NetGetTest, GoesThroughTheProxyWithTheGivenOrStoredCredentials) {
    const std::string home = folder_.path();
    const std::string newHome = folder_.file("new-home");
    std::filesystem::create_directory(newHome);
    const auto stored = testsupport::runInChild([&] {
        ::setenv("HOME", home.c_str(), 1);
        return common::credentialstorage::CredentialStorage().store(
                   ProxyAuthenticator::kCredentialsLabel, L"anna", L"from-storage")
                   ? 0
                   : 1;
    });
    ASSERT_EQ(0, stored.exitCode);
    const std::string asks =
        "[{\"response\": \"HTTP/1.0 407 Auth\\r\\nProxy-Authenticate: Basic realm=\\\"p\\\"\\r\\n\\r\\n\", "
        "\"close\": true}]";
    // A refusal whose body would not decode: the body is dropped unread.
    const std::string asksCoded =
        "[{\"response\": \"HTTP/1.0 407 Auth\\r\\nProxy-Authenticate: Basic realm=\\\"p\\\"\\r\\n"
        "Content-Encoding: gzip\\r\\nContent-Length: 8\\r\\n\\r\\nnot gzip\", \"close\": true}]";
    const std::string tunnels =
        "[{\"response\": \"HTTP/1.1 200 Connection established\\r\\n\\r\\n\"}, "
        "{\"response\": \"HTTP/1.1 200 OK\\r\\nContent-Length: 2\\r\\n\\r\\nok\"}]";
    struct Case {
        std::vector<std::string> credentials;
        std::string home;
        std::string connections;
        std::string pair;  // sent in Proxy-Authorization, "" for none
        int exitCode = 0;
        std::string says = "";
    };
    const Case cases[] = {
        {{"--proxy-user", "anna:s:cret"}, home, asks + ", " + tunnels, "anna:s:cret"},
        {{"--proxy-user=anna:s:cret"}, home, asksCoded + ", " + tunnels, "anna:s:cret"},
        {{}, home, asks + ", " + tunnels, "anna:from-storage"},
        {{}, newHome, tunnels, ""},
        {{"--proxy-user", "anna:wrong"}, newHome, asks + ", " + asks + ", " + asks + ", " + asks, "anna:wrong",
         40, "the proxy wants credentials: none given or stored, or refused (HTTP 407)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.connections.substr(0, 40) + (c.credentials.empty() ? "" : ", given"));
        std::ofstream(folder_.file("script.json")) << "{\"connections\": [" << c.connections << "]}";
        std::remove(folder_.file("requests.log").c_str());
        peer_ = std::make_unique<testsupport::ScriptServer>(
            std::string(NETWORK_TEST_SUPPORT_DIR) + "/http_test_peer.py",
            std::vector<std::string>{folder_.file("script.json"), folder_.file("requests.log")});
        ASSERT_TRUE(peer_->ready());
        std::vector<std::string> argv{NET_GET_PATH, "http://target.test:8080/x", "--proxy",
                                      "127.0.0.1:" + std::to_string(peer_->readyNumber("port").value_or(0))};
        argv.insert(argv.end(), c.credentials.begin(), c.credentials.end());
        testsupport::CommandOptions options;
        options.environment = {"HOME=" + c.home};
        options.timeout = std::chrono::seconds(60);
        const auto result = testsupport::runCommand(argv, options);
        EXPECT_EQ(c.exitCode, result.exitCode) << result.errors;
        EXPECT_EQ(c.exitCode == 0 ? "ok" : "", result.output);
        EXPECT_NE(std::string::npos, result.errors.find(c.says)) << result.errors;
        EXPECT_EQ(std::string::npos, result.errors.find("ProxyAuthenticator")) << result.errors;
        const std::string log = readFile(folder_.file("requests.log"));
        if (c.pair.empty()) {
            EXPECT_EQ(std::string::npos, log.find("Proxy-Authorization: Basic")) << log;
        } else {
            EXPECT_NE(std::string::npos,
                      log.find("Proxy-Authorization: Basic " + network::Base64Encode(c.pair)))
                << log;
        }
        EXPECT_EQ(c.exitCode == 0, log.find("GET /x HTTP/1.1") != std::string::npos) << log;
    }
    EXPECT_EQ(std::vector<std::string>{}, Names(newHome)) << "the credential storage was touched";
    for (const auto& wrong : std::vector<std::vector<std::string>>{
             {"http://h.test/", "--proxy", "no-port"},
             {"http://h.test/", "--proxy", "h:70000"},
             {"http://h.test/", "--proxy-user", "anna:secret"},
             {"http://h.test/", "--proxy", "h:1", "--proxy-user", "no-colon"},
             {"http://h.test/", "--proxy-user=anna:secret"},
             {"http://h.test/", "--proxy=h:1", "--proxy-user=no-colon-secret"},
             {"http://h.test/", "--proxy-usr=anna:secret"}}) {
        const auto refused = run(wrong);
        EXPECT_EQ(64, refused.exitCode) << wrong.back();
        EXPECT_EQ(std::string::npos, refused.errors.find("secret")) << refused.errors;
    }
}

// The -o path is touched only by a transfer that succeeds: a regular file
// is replaced then, through a new file beside it; a failed transfer leaves
// what was there, and nothing beside it, whether it failed before any data
// or after some went into the output. What is not a regular file (a FIFO,
// a device, a link to one, as /dev/stdout is) is written where it is,
// never replaced or removed. curl likewise leaves a file alone when the
// transfer cannot start.
TEST_F(NetGetTest, OnlyASuccessfulTransferTouchesTheOutput) {
    const std::string kNew = Answer("new", 3);
    const std::size_t kPiece = 256 << 10;
    CheckOutputs({
        {"a URL that is no URL", Kind::File, "", "http://bad url", 1, "precious", ""},
        {"a refused connection", Kind::File, "", "http://127.0.0.1:1/", 3, "precious", ""},
        {"a body cut short", Kind::File, Answer("cut", 10), "", 5, "precious", ""},
        {"a body cut midway", Kind::File, kCutMidway, "", 5, "precious", ""},
        {"a whole body", Kind::File, kNew, "", 0, "new", ""},
        {"a FIFO, refused", Kind::Fifo, "", "http://127.0.0.1:1/", 3, "", ""},
        {"a FIFO, whole", Kind::Fifo, kNew, "", 0, "", "new"},
        {"a FIFO, cut midway", Kind::Fifo, kCutMidway, "", 5, "", kLongBody, kPiece},
        {"a link to a file", Kind::LinkToFile, kNew, "", 74, "precious", ""},
        {"a 404 page", Kind::File, "HTTP/1.1 404 Not Found\r\nContent-Length: 9\r\n\r\nnot found",
         "", 40, "precious", ""},
        {"a FIFO, a 404 page", Kind::Fifo,
         "HTTP/1.1 404 Not Found\r\nContent-Length: 9\r\n\r\nnot found", "", 40, "", ""},
        // Dropped, it is not decoded either.
        {"a 404 page coded and damaged", Kind::File,
         "HTTP/1.1 404 Not Found\r\nContent-Encoding: gzip\r\nContent-Length: 9\r\n\r\nnot found",
         "", 40, "precious", ""},
        {"a 503 page", Kind::File,
         "HTTP/1.1 503 Service Unavailable\r\nContent-Length: 4\r\n\r\nbusy", "", 50, "precious",
         ""},
    });
}

// A device, or a link to one, given to -o is written where it is and stays,
// whether the transfer succeeds, cannot start or is cut after some of the
// body went into it.
TEST_F(NetGetTest, ADeviceOutputIsWrittenWhereItIsAndNeverRemoved) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "making a device node needs root";
    }
    const std::string kNew = Answer("new", 3);
    CheckOutputs({
        {"a device, refused", Kind::Device, "", "http://127.0.0.1:1/", 3, "", ""},
        {"a device, whole", Kind::Device, kNew, "", 0, "", ""},
        {"a device, cut midway", Kind::Device, kCutMidway, "", 5, "", ""},
        {"a link to a device, whole", Kind::LinkToDevice, kNew, "", 0, "", ""},
        {"a link to a device, cut midway", Kind::LinkToDevice, kCutMidway, "", 5, "", ""},
    });
}

// An answer without a body (to HEAD, a 204, a 304; a 101 that ends the
// exchange) leaves an existing file as it was, and makes an empty one where
// there is none; an empty body is a body and replaces the file, and so does
// the body of the answer to "head", which is not HEAD.
TEST_F(NetGetTest, AnAnswerWithoutABodyLeavesTheFileAsItWas) {
    const std::vector<std::string> unchanged{"-H", "If-None-Match: \"v1\""};
    const std::vector<std::string> head{"-X", "HEAD"};
    CheckOutputs({
        {"a 304", Kind::File, "HTTP/1.1 304 Not Modified\r\nETag: \"v1\"\r\n\r\n", "", 0,
         "precious", "", 0, unchanged},
        {"a 304, no file yet", Kind::Missing, "HTTP/1.1 304 Not Modified\r\n\r\n", "", 0, "", "", 0,
         unchanged},
        {"a HEAD", Kind::File, "HTTP/1.1 200 OK\r\nContent-Length: 9\r\n\r\n", "", 0, "precious",
         "", 0, head},
        // Methods are case-sensitive: "head" is no HEAD, its answer has a body.
        {"a head in lower case", Kind::File, Answer("body", 4), "", 0, "body", "", 0,
         {"-X", "head"}},
        {"a head in lower case, an empty body", Kind::File, Answer("", 0), "", 0, "", "", 0,
         {"-X", "head"}},
        {"a 204", Kind::File, "HTTP/1.1 204 No Content\r\n\r\n", "", 0, "precious", ""},
        {"a 101", Kind::File,
         "HTTP/1.1 101 Switching Protocols\r\nUpgrade: other\r\nConnection: upgrade\r\n\r\n", "",
         10, "precious", ""},
        {"an empty body", Kind::File, Answer("", 0), "", 0, "", ""},
        {"a FIFO, a 304", Kind::Fifo, "HTTP/1.1 304 Not Modified\r\n\r\n", "", 0, "", "", 0,
         unchanged},
    });
}

// A closing signal during a download removes the temporary file beside the
// target and ends the run by that same signal, as it ends curl or sleep:
// the target stays as it was, and a shell loop of net-get stopped by Ctrl-C
// (SIGINT to its process group) stops at once, itself ended by SIGINT (the
// shell's 130), instead of going on with the next round. A signal ignored
// at the start (as nohup does with SIGHUP) stays ignored: the one sent after
// it ends the run.
TEST_F(NetGetTest, AStoppedTransferLeavesNoTemporaryFile) {
    const struct {
        std::vector<int> signals;  // sent in this order, to the run's process group
        bool existing;
        bool hangUpIgnored;
        bool inLoop;  // net-get runs in a shell loop of three rounds
    } cases[] = {
        {{SIGINT}, true, false, false},
        {{SIGTERM}, false, false, false},
        {{SIGHUP}, true, false, false},
        {{SIGHUP, SIGTERM}, true, true, false},
        {{SIGINT}, true, false, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::strsignal(c.signals.front()) +
                     std::string(c.hangUpIgnored ? ", ignored at the start" : "") +
                     (c.inLoop ? ", in a shell loop" : ""));
        // More than one piece of the body, then the server waits.
        std::ofstream(folder_.file("script.json"))
            << "{\"connections\": [[{\"response\": \"HTTP/1.1 200 OK\\r\\nContent-Length: "
               "10485760\\r\\n\\r\\n"
            << kLongBody << "\"}]]}";
        peer_ = std::make_unique<testsupport::ScriptServer>(
            std::string(NETWORK_TEST_SUPPORT_DIR) + "/http_test_peer.py",
            std::vector<std::string>{folder_.file("script.json"), folder_.file("requests.log")});
        ASSERT_TRUE(peer_->ready());
        testsupport::TempDir folder{"quorvane-net-get-stop"};
        const std::string target = folder.file("out");
        const std::string rounds = folder_.file("rounds.log");
        std::remove(rounds.c_str());
        if (c.existing) {
            std::ofstream(target) << "precious";
        }
        std::vector<std::string> words{NET_GET_PATH, url("/slow"), "-o", target};
        if (c.hangUpIgnored) {
            words.insert(words.begin(), {"/bin/sh", "-c", "trap '' HUP; exec \"$0\" \"$@\""});
        }
        if (c.inLoop) {
            words = {"/bin/bash", "-c",
                     "for round in 1 2 3; do\n"
                     "  \"$0\" \"$1\" -o \"$2\"; echo \"after $round\" >>\"$3\"\n"
                     "done",
                     NET_GET_PATH, url("/slow"), target, rounds};
        }
        const pid_t pid = testsupport::startCommand(words, true);
        ASSERT_GT(pid, 0);
        // The temporary file holds part of the body.
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        bool writing = false;
        while (!writing && std::chrono::steady_clock::now() < deadline) {
            for (const auto& name : Names(folder.path())) {
                struct stat status {};
                writing = writing ||
                          (name.rfind(".out.net-get-", 0) == 0 &&
                           ::stat(folder.file(name).c_str(), &status) == 0 && status.st_size > 0);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        EXPECT_TRUE(writing) << "no temporary file was written";
        for (const int signal : c.signals) {
            ::kill(-pid, signal);
        }
        const auto result = testsupport::waitForChild(pid, std::chrono::seconds(30));
        EXPECT_FALSE(result.exited) << "exited with " << result.exitCode;
        EXPECT_EQ(c.signals.back(), result.signal);
        EXPECT_EQ("", readFile(rounds)) << "the loop went on";
        const std::vector<std::string> left =
            c.existing ? std::vector<std::string>{"out"} : std::vector<std::string>{};
        EXPECT_EQ(left, Names(folder.path()));
        if (c.existing) {
            EXPECT_EQ("precious", readFile(target));
        }
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
    const auto permanent = run({url("/permanent")});
    EXPECT_EQ(permanent.exitCode, 30);
    EXPECT_NE(permanent.errors.find("(HTTP 308, Location: /p): HTTP 308 is not followed\n"),
              std::string::npos)
        << permanent.errors;
    EXPECT_EQ(run({url("/unchanged")}).exitCode, 0);
}

// What each read brought reaches a pipe at once, the body of a 404 as that
// of a 2xx: the peer sends the rest only once the first piece has come out
// of the pipe (after 20 s without, it cuts the answer short).
TEST_F(NetGetTest, ABodyReachesAPipeAsItArrives) {
    const struct {
        std::string head, first, rest;
        std::vector<std::string> arguments;
        int exitCode;
        std::string shownFirst = "first";  // what the first piece of the body is
        std::string shownRest = "rest";
    } cases[] = {
        {"HTTP/1.1 200 OK\r\nContent-Length: 9\r\n\r\n", "first", "rest", {}, 0},
        {"HTTP/1.1 404 Not Found\r\nTransfer-Encoding: chunked\r\n\r\n", "5\r\nfirst\r\n",
         "4\r\nrest\r\n0\r\n\r\n", {}, 40},
        {"HTTP/1.1 200 OK\r\nContent-Length: 9\r\n\r\n", "first", "rest", {"-o", "/dev/stdout"}, 0},
        // A read of one byte is no less on its way.
        {"HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\n", "f", "irst", {}, 0, "f", "irst"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.head.substr(0, 12) + (c.arguments.empty() ? "" : ", -o /dev/stdout"));
        const std::string first = folder_.file("first");
        const std::string go = folder_.file("go");
        std::remove(go.c_str());
        Serve({c.head + c.first}, ", \"later\": " + Quoted(c.rest) + ", \"after\": " + Quoted(go));
        std::vector<std::string> argv{
            "/bin/bash", "-c",
            "set -o pipefail; \"$0\" \"$@\" | { head -c \"$COUNT\" >\"$FIRST\"; : >\"$GO\"; cat; }",
            NET_GET_PATH, url("/")};
        argv.insert(argv.end(), c.arguments.begin(), c.arguments.end());
        testsupport::CommandOptions options;
        options.environment = {"FIRST=" + first, "GO=" + go,
                               "COUNT=" + std::to_string(c.shownFirst.size())};
        const auto result = testsupport::runCommand(argv, options);
        EXPECT_EQ(c.exitCode, result.exitCode) << result.errors;
        EXPECT_EQ(c.shownFirst, readFile(first));
        EXPECT_EQ(c.shownRest, result.output);
    }
}

// The password of --proxy-user is blanked in the command line once read,
// every character of it, in either form of the option: a run held by a
// proxy that never answers shows none in /proc/PID/cmdline.
TEST_F(NetGetTest, TheProxyPasswordLeavesTheCommandLine) {
    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ASSERT_EQ(0, ::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address));
    ASSERT_EQ(0, ::listen(listener, 4));
    ASSERT_EQ(0, ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length));
    const std::string proxy = "127.0.0.1:" + std::to_string(ntohs(address.sin_port));
    const struct {
        const char* tool;
        const char* target;
        std::vector<std::string> user;  // the option as given
        std::string shown;              // what the command line shows of it
    } cases[] = {
        {NET_GET_PATH, "http://target.test/", {"--proxy-user", "anna:pass-word"},
         " --proxy-user " + std::string(14, ' ') + " "},
        {NET_WS_PATH, "ws://target.test/", {"--proxy-user", "anna:pass-word"},
         " --proxy-user " + std::string(14, ' ') + " "},
        {NET_GET_PATH, "http://target.test/", {"--proxy-user=anna:pass-word"},
         " --proxy-user=" + std::string(14, ' ') + " "},
        {NET_WS_PATH, "ws://target.test/", {"--proxy-user=anna:pass-word"},
         " --proxy-user=" + std::string(14, ' ') + " "},
    };
    for (const auto& [tool, target, user, shown] : cases) {
        SCOPED_TRACE(std::string(tool) + " " + user.front());
        std::vector<std::string> argv{tool, target, "--proxy=" + proxy};
        argv.insert(argv.end(), user.begin(), user.end());
        const pid_t pid = testsupport::startCommand(argv);
        ASSERT_GT(pid, 0);
        // It reaches the proxy once its arguments are read.
        pollfd waiting{listener, POLLIN, 0};
        ASSERT_EQ(1, ::poll(&waiting, 1, 30000));
        const int connection = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        std::string line = readFile("/proc/" + std::to_string(pid) + "/cmdline");
        std::replace(line.begin(), line.end(), '\0', ' ');
        EXPECT_NE(std::string::npos, line.find(shown)) << line;
        EXPECT_EQ(std::string::npos, line.find("pass-word")) << line;
        ::kill(pid, SIGTERM);
        testsupport::waitForChild(pid, std::chrono::seconds(30));
        ::close(connection);
    }
    ::close(listener);
}

}  // namespace
