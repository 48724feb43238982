#include "NetGetFixture.h"

namespace netgettest {
namespace {

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
        {"a link to a file", Kind::LinkToFile, kNew, "", 74, "precious", "", 0, {},
         "/out: a link to a regular file is refused"},
        {"a link to /dev/null, whole", Kind::LinkToNull, kNew, "", 0, "", ""},
        {"a new file, whole", Kind::Missing, kNew, "", 0, "new", ""},
        {"a secret file, whole", Kind::SecretFile, kNew, "", 0, "new", ""},
        {"a 255-byte name, whole", Kind::LongName, kNew, "", 0, "new", ""},
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

// In a shared folder (1777, as /tmp), what another user (65534, through
// setpriv) put at -o's name is refused before the request, whatever it is:
// a file (its planter could write into the download), a FIFO that user
// reads, or a link. Run as that user, net-get is told before the request
// that it may not replace root's file in the sticky folder, nor make one in
// root's 0755 folder, rather than once the whole body has come.
TEST_F(NetGetTest, ASharedFolderKeepsOtherUsersOutOfTheDownload) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "another user plants files only for a root test";
    }
    const std::string kNew = Answer("new", 3);
    CheckOutputs({
        {"another user's file", Kind::NobodysFile, kNew, "", 74, "planted", "", 0, {},
         "/out: another user's file (uid 65534) in a shared folder"},
        {"another user's FIFO", Kind::NobodysFifo, kNew, "", 74, "", "", 0, {},
         "/out: another user's FIFO (uid 65534) in a shared folder"},
        {"another user's link", Kind::NobodysLink, kNew, "", 74, "", "", 0, {},
         "/out: another user's link (uid 65534) in a shared folder"},
    });
    const testsupport::SharedFolder shared;
    ASSERT_TRUE(shared.usable()) << shared.why();
    Serve({kNew, kNew});
    std::remove(folder_.file("requests.log").c_str());
    const std::string tool = shared.runnable(NET_GET_PATH), out = shared.file("out");
    ASSERT_TRUE(std::ofstream(out) << "root's");
    for (const auto& [target, says] :
         {std::pair{out, "another user's file in a sticky folder: only its owner or the folder's"},
          std::pair{shared.beside("out"), "its folder does not let this user make a file: "}}) {
        const auto result = testsupport::runCommand(
            testsupport::SharedFolder::asNobody({tool, url("/"), "-o", target}));
        EXPECT_TRUE(result.exited && result.exitCode == 74) << result.errors;
        EXPECT_NE(std::string::npos, result.errors.find(target + ": " + says)) << result.errors;
    }
    EXPECT_EQ("root's", readFile(out));
    EXPECT_EQ(std::vector<std::string>{"out"}, Names(shared.path()));
    EXPECT_EQ("", readFile(folder_.file("requests.log"))) << "a request was sent";
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
// target (its owner's alone while it is written) and ends the run by that same signal, as it ends curl or sleep:
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
        unsigned mode = 0;
        while (!writing && std::chrono::steady_clock::now() < deadline) {
            for (const auto& name : Names(folder.path())) {
                struct stat status {};
                if (name.rfind(".out.net-get-", 0) == 0 &&
                    ::stat(folder.file(name).c_str(), &status) == 0 && status.st_size > 0) {
                    writing = true;
                    mode = status.st_mode & 07777;
                }
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        EXPECT_TRUE(writing) << "no temporary file was written";
        EXPECT_EQ(0600u, mode) << std::oct << "the temporary file's mode, 0" << mode;
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

}  // namespace
}  // namespace netgettest
