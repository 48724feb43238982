#pragma once

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
#include <cstdlib>
#include <iostream>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <thread>

#include "ProxyAuthenticator.h"
#include "common/credentialstorage/CredentialStorage.h"
#include "common/utils/TargetEntry.h"
#include "network/Base64.h"
#include "support/ChildProcess.h"
#include "support/Compressed.h"
#include "support/FifoDrain.h"
#include "support/ScriptServer.h"
#include "support/SharedFolder.h"
#include "support/TempDir.h"

// What net-get's tests share: the scripted peer, runs of net-get, and the
// table of -o runs.
namespace netgettest {

using testsupport::FifoDrain;
using testsupport::readFile;

// What -o names before a run: a file of the test's own ("precious"; a
// secret one has mode 0600), a 255-byte name where there is nothing, or
// what user 65534 put into a shared folder (a file "planted" of mode 0666,
// a FIFO, a link to /dev/null).
enum class Kind {
    File, SecretFile, Missing, LongName, Fifo, Device, LinkToDevice, LinkToNull, LinkToFile,
    NobodysFile, NobodysFifo, NobodysLink
};

inline bool Planted(Kind kind) {
    return kind == Kind::NobodysFile || kind == Kind::NobodysFifo || kind == Kind::NobodysLink;
}

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
    std::string says = "";  // on standard error
};

// `size` bytes that differ from one 4 KiB piece to the next.
inline std::string Body(std::size_t size) {
    std::string body(size, 'x');
    for (std::size_t i = 0; i < body.size(); i += 4096) {
        body[i] = static_cast<char>('a' + (i / 4096) % 26);
    }
    return body;
}

// A 200 answer announcing `announced` bytes and sending `body`.
inline std::string Answer(const std::string& body, std::size_t announced) {
    return "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(announced) + "\r\n\r\n" + body;
}

// More than the connection hands its body sink at once: a body cut after
// it has gone partly into the output.
inline const std::string kLongBody = Body(600 << 10);
inline const std::string kCutMidway = Answer(kLongBody, 1 << 20);

// The names in `folder`, sorted.
inline std::vector<std::string> Names(const std::string& folder) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        names.push_back(entry.path().filename());
    }
    std::sort(names.begin(), names.end());
    return names;
}

// `text` as a JSON string of the bytes the peer reads: latin-1 characters.
inline std::string Quoted(const std::string& text) {
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
    // says afterwards, and nothing else is left in the folder. A replaced
    // file keeps the mode of the test's own file (0600 for a secret one), a
    // new one gets the usual mode. What another user planted is refused
    // before the request.
    void CheckOutputs(const std::vector<OutputCase>& cases) {
        const mode_t usual = 0666 & ~common::TargetEntry::currentUmask();
        for (const auto& c : cases) {
            SCOPED_TRACE(c.name);
            std::string targetUrl = c.url;
            std::remove(folder_.file("requests.log").c_str());
            if (!c.answer.empty()) {
                Serve({c.answer});
                targetUrl = url("/");
            }
            std::unique_ptr<testsupport::TempDir> own;
            std::unique_ptr<testsupport::SharedFolder> shared;
            if (Planted(c.kind)) {
                shared = std::make_unique<testsupport::SharedFolder>();
                ASSERT_TRUE(shared->usable()) << shared->why();
            } else {
                own = std::make_unique<testsupport::TempDir>("quorvane-net-get-out");
            }
            const std::string place = shared ? shared->path() : own->path();
            const std::string name = c.kind == Kind::LongName ? std::string(255, 'n') : "out";
            const std::string target = place + "/" + name;
            const std::string file = place + "/file";
            std::unique_ptr<FifoDrain> fifo;
            switch (c.kind) {
                case Kind::File:
                case Kind::SecretFile:
                    std::ofstream(target) << "precious";
                    ASSERT_EQ(0, ::chmod(target.c_str(), c.kind == Kind::File ? usual : 0600));
                    break;
                case Kind::Missing:
                case Kind::LongName:
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
                case Kind::LinkToNull:
                    ASSERT_EQ(0, ::symlink("/dev/null", target.c_str()));
                    break;
                case Kind::LinkToFile:
                    std::ofstream(file) << "precious";
                    ASSERT_EQ(0, ::symlink(file.c_str(), target.c_str()));
                    break;
                case Kind::NobodysFile:
                    ASSERT_TRUE(shared->plant("printf planted >\"$0/out\"; chmod 666 \"$0/out\""));
                    break;
                case Kind::NobodysFifo:
                    ASSERT_TRUE(shared->plant("mkfifo -m 666 \"$0/out\""));
                    fifo = std::make_unique<FifoDrain>(target);
                    ASSERT_TRUE(fifo->opened());
                    break;
                case Kind::NobodysLink:
                    ASSERT_TRUE(shared->plant("ln -s /dev/null \"$0/out\""));
                    break;
            }
            std::vector<std::string> arguments{targetUrl, "-o", target};
            arguments.insert(arguments.end(), c.arguments.begin(), c.arguments.end());
            const auto result = run(arguments);
            ASSERT_TRUE(result.exited);
            EXPECT_EQ(c.exitCode, result.exitCode) << result.errors;
            EXPECT_NE(std::string::npos, result.errors.find(c.says)) << result.errors;
            if (Planted(c.kind)) {
                EXPECT_EQ("", readFile(folder_.file("requests.log"))) << "a request was sent";
            }
            struct stat status {};
            if (::lstat(target.c_str(), &status) != 0) {
                ADD_FAILURE() << "the output is gone";
                continue;
            }
            switch (c.kind) {
                case Kind::File:
                case Kind::SecretFile:
                case Kind::Missing:
                case Kind::LongName:
                case Kind::NobodysFile:
                    EXPECT_TRUE(S_ISREG(status.st_mode));
                    EXPECT_TRUE(c.fileAfter == readFile(target))
                        << "the file holds " << readFile(target).size() << " bytes";
                    EXPECT_EQ(c.kind == Kind::SecretFile    ? 0600
                              : c.kind == Kind::NobodysFile ? 0666
                                                            : usual,
                              status.st_mode & 07777)
                        << std::oct << status.st_mode;
                    EXPECT_EQ(c.kind == Kind::NobodysFile ? 65534u : ::geteuid(), status.st_uid);
                    break;
                case Kind::Fifo:
                case Kind::NobodysFifo: {
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
                case Kind::LinkToNull:
                case Kind::NobodysLink:
                    EXPECT_TRUE(S_ISLNK(status.st_mode));
                    break;
                case Kind::LinkToFile:
                    EXPECT_TRUE(S_ISLNK(status.st_mode));
                    EXPECT_EQ(c.fileAfter, readFile(file));
                    break;
            }
            // Nothing is left beside the output.
            const bool linked = c.kind == Kind::LinkToDevice || c.kind == Kind::LinkToFile;
            const std::vector<std::string> expected =
                linked ? std::vector<std::string>{"file", name} : std::vector<std::string>{name};
            EXPECT_EQ(expected, Names(place));
        }
    }

    testsupport::TempDir folder_{"quorvane-net-get"};
    std::unique_ptr<testsupport::ScriptServer> peer_;
};

}  // namespace netgettest
