#include "NetGetFixture.h"

namespace netgettest {
namespace {

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
               choices,
           Answer("too large", 9)});
    const std::string port = std::to_string(peer_->readyNumber("port").value_or(0));
    // Root is not held to a limit of processes: user 65534 is, and so no thread starts.
    const char* const kOneProcess =
        "exec /usr/bin/setpriv --reuid=65534 --regid=65534 --clear-groups /usr/bin/prlimit "
        "--nproc=1 \"$0\" \"$@\"";
    const testsupport::SharedFolder nobodys;
    struct Case {
        std::vector<std::string> arguments;
        int exitCode;
        bool outputClosed = false;  // started with standard output closed
        std::string says = "";      // on standard error
        std::optional<std::string> output = std::nullopt;  // on standard output
        const char* shell = nullptr;  // a shell line that runs it: "$0" "$@"
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
        // A file size limit fails the write; it does not end the run.
        {{url("/limited"), "-o", folder_.file("limited")}, 74, false,
         "writing the body failed: File too large", std::nullopt, "ulimit -f 0; exec \"$0\" \"$@\""},
        // /dev/stdout leads to a regular file: refused, as any link to one, before the request.
        {{url("/never"), "-o", "/dev/stdout"}, 74, false,
         "/dev/stdout: a link to a regular file is refused", std::nullopt, "exec \"$0\" \"$@\" >\"$OUT\""},
        {{url("/unsent")}, 1, false,
         ": the request was not sent: no thread could be started for it: ", std::nullopt,
         kOneProcess},
    };
    for (const auto& c : cases) {
        testsupport::CommandOptions options;
        options.environment = {"OUT=" + folder_.file("standard output")};
        std::string program = NET_GET_PATH;
        if (c.shell == kOneProcess) {
            if (!nobodys.usable()) {
                // Said so, without marking the whole table skipped.
                std::cout << "not run: " << c.arguments.front() << ": " << nobodys.why() << "\n";
                continue;
            }
            program = nobodys.runnable(NET_GET_PATH);
            // The leak checker of a sanitized build needs a thread of its own at the end.
            const char* sanitizer = std::getenv("ASAN_OPTIONS");
            options.environment.push_back(std::string("ASAN_OPTIONS=") +
                                          (sanitizer ? std::string(sanitizer) + ":" : "") +
                                          "detect_leaks=0");
        }
        auto argv =
            c.outputClosed || c.shell
                ? std::vector<std::string>{"/bin/sh", "-c",
                                           c.shell ? c.shell : "exec \"$0\" \"$@\" >&-", program}
                : std::vector<std::string>{program};
        argv.insert(argv.end(), c.arguments.begin(), c.arguments.end());
        const auto result = testsupport::runCommand(argv, options);
        ASSERT_TRUE(result.exited);
        EXPECT_EQ(result.exitCode, c.exitCode)
            << (c.arguments.empty() ? "" : c.arguments.front()) << "\n" << result.errors;
        EXPECT_NE(std::string::npos, result.errors.find(c.says)) << result.errors;
        if (c.output) {
            EXPECT_TRUE(result.output == *c.output) << result.output.size() << " bytes of output";
        }
    }
    EXPECT_FALSE(std::filesystem::exists(folder_.file("gone")));
    EXPECT_EQ(std::string::npos, readFile(folder_.file("requests.log")).find("/never"));
    for (const auto& name : Names(folder_.path())) {
        EXPECT_EQ(std::string::npos, name.find("limited")) << "left: " << name;
    }
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
}  // namespace netgettest
