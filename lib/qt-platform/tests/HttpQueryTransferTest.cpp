#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <algorithm>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <sys/resource.h>
#include <map>
#include <random>
#include <set>
#include <zlib.h>
#include <thread>

#include "support/Compressed.h"
#include "HttpQueryFixture.h"
#include "QtCorePlatformPrivate.h"
#include "QtMessageRecorder.h"
#include "StreamingServer.h"

namespace {

class HttpQueryTransferTest : public HttpQueryFixture {
protected:
    // Downloads `path` (of the test web server, or a whole URL) into `target` as a POST with a
    // body (a download is always a GET without one); returns the outcome's events, the size
    // of the target when the finished handler ran (-1: none) and the file's error.
    std::tuple<Events, long long, std::string> download(const std::string& path,
                                                        const std::string& target,
                                                        QueryOutcome& outcome) {
        long long sizeWhenFinished = -1;
        auto request = query();
        outcome.onFinished = [&] {
            if (QFileInfo::exists(target.c_str()))
                sizeWhenFinished = QFileInfo(target.c_str()).size();
        };
        outcome.watch(*request, true);
        request->setUrl(path.find("://") != path.npos ? path : url(path));
        request->setOperation(IHttpQuery::POST);
        request->setBody("not sent");
        request->downloadFile(target);
        EXPECT_TRUE(runUntilFinished(outcome, 60s));
        EXPECT_TRUE(request->getResponseData().empty() && request->getResponseText().empty());
        // Nothing more comes later.
        std::this_thread::sleep_for(100ms);
        scheduler_.runPending();
        return {outcome.events(), sizeWhenFinished, request->downloadFileError()};
    }
    // What is at `path`: the SHA-256 of a regular file, "none", or "other".
    static std::string stateOf(const std::string& path) {
        const auto type = std::filesystem::symlink_status(path).type();
        return type == std::filesystem::file_type::regular     ? fileSha256(path)
               : type == std::filesystem::file_type::not_found ? "none"
                                                               : "other";
    }
    // The names in `folder`.
    static std::set<std::string> namesIn(const std::string& folder) {
        std::set<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(folder))
            names.insert(entry.path().filename());
        return names;
    }
};

// A download is complete when it is reported, its progress ends at the total (unknown until
// then without a length); a failed one ends with one error and failure, the file it would have
// replaced left as it was and nothing beside it (a device is written where it is).
TEST_F(HttpQueryTransferTest, DownloadsAreCompleteWhenReportedOrEndWithOneError) {
    constexpr long long kLarge = 50LL * 1024 * 1024, kSmall = 300 * 1024;
    writeTestFile(root() + "/large.bin", kLarge);
    writeTestFile(root() + "/small.bin", kSmall, 7);
    writeTestFile(root() + "/medium.bin", 2 * 1024 * 1024, 4);
    writeTestFile(scratch() + "/existing.bin", 900 * 1024, 9);
    startServer();
    StreamingServer cut([](StreamingServer::Connection& peer) {
        peer.send(StreamingServer::head("Content-Length: 300000\r\n") + std::string(280000, 'c'));
    });
    const std::string existing = scratch() + "/existing.bin", full = "/dev/full",
                      nospace = std::strerror(ENOSPC);
    const std::tuple<std::string, std::string, long long, int, std::string> cases[] = {
        {"/files/large.bin", scratch() + "/large copy.bin", kLarge, 0, ""},
        {"/chunked/small.bin", existing, kSmall, 0, ""},  // replaces a larger one
        {"/files/small.bin", scratch() + "/no/such/folder/x", 0, IHttpQuery::ContentAccessDenied,
         std::strerror(ENOENT)},
        {"/files/small.bin", full, 0, IHttpQuery::ContentAccessDenied, nospace},   // at the end
        {"/files/medium.bin", full, 0, IHttpQuery::ContentAccessDenied, nospace},  // on the way
        {"/files/none.bin", scratch() + "/none.bin", 0, IHttpQuery::ContentNotFoundError, ""},
        {"/files/none.bin", existing, 0, IHttpQuery::ContentNotFoundError, ""},
        {"http://127.0.0.1:" + std::to_string(unusedPort()) + "/", existing, 0,
         IHttpQuery::ConnectionRefusedError, ""},
        {cut.url("/cut"), existing, 0, IHttpQuery::RemoteHostClosedError, ""},
        {"file://" + root() + "/small.bin", existing, 0, IHttpQuery::ProtocolUnknownError, ""},
    };
    for (const auto& [path, target, size, error, reason] : cases) {
        SCOPED_TRACE(path + " to " + target);
        const auto before = std::make_pair(stateOf(target), namesIn(scratch()));
        QueryOutcome outcome;
        const auto [events, sizeWhenFinished, fileError] = download(path, target, outcome);
        EXPECT_EQ(outcomeOf(error), events);
        EXPECT_EQ(reason, fileError);
        if (error) {
            EXPECT_EQ(before, std::make_pair(stateOf(target), namesIn(scratch())));
            continue;
        }
        EXPECT_EQ(size, sizeWhenFinished) << "the file must be complete when the handler runs";
        EXPECT_EQ(fileSha256(root() + "/" + path.substr(path.rfind('/') + 1)), fileSha256(target));
        const auto progress = outcome.downloads();
        ASSERT_FALSE(progress.empty());
        EXPECT_EQ(size, progress.back().done);
        EXPECT_EQ(size, progress.back().total);
        for (std::size_t i = 0; i + 1 < progress.size(); ++i) {
            EXPECT_EQ(target, progress[i].filePath);
            EXPECT_EQ(path[1] == 'f' ? size : -1, progress[i].total);
            EXPECT_LE(progress[i].done, progress[i + 1].done);
        }
        const auto seen = requests(path);
        ASSERT_EQ(1u, seen.size());
        EXPECT_EQ("GET", seen[0].value("method").toString());
        EXPECT_EQ(0, seen[0].value("size").toInt());
    }
    EXPECT_EQ(1u, requests("/files/small.bin").size())
        << "a file that cannot be opened sends nothing";
}

// A download file that takes fewer bytes than were written to it (here the last byte passes the
// process's file size limit, so the last write is cut short) fails the transfer, as a full disk
// does, with the reason, and the file it would have replaced stays. The limit is set in a child
// process of its own, which leaves no folder behind.
TEST_F(HttpQueryTransferTest, AFileThatTakesFewerBytesThanWrittenFailsTheDownload) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    constexpr std::size_t kSize = 300 * 1024;
    const std::string children = scratch() + "/children";
    std::filesystem::create_directory(children);
    environment_.set("TMPDIR", children);
    const auto downloadUnderLimit = [this](rlim_t limit) {
        // The child's own copies of the fixture's folders: it ends without their destructors.
        struct Removed {
            std::vector<std::string> folders;
            void now() {
                std::error_code error;
                for (const auto& folder : folders) std::filesystem::remove_all(folder, error);
            }
            ~Removed() { now(); }
        } folders{{root(), scratch()}};
        const std::string body(kSize, 'w');
        StreamingServer server([&](StreamingServer::Connection& peer) {
            peer.send(StreamingServer::head("Content-Length: " + std::to_string(kSize) + "\r\n") +
                      body);
        });
        startPlatform();
        std::ofstream(scratch() + "/cut.bin") << "old";
        ::signal(SIGXFSZ, SIG_IGN);
        const rlimit bound{limit, limit};
        ::setrlimit(RLIMIT_FSIZE, &bound);
        QueryOutcome outcome;
        const auto [events, size, reason] =
            download(server.url("/cut"), scratch() + "/cut.bin", outcome);
        std::string text;
        for (const auto& event : events) text += event + " ";
        const auto names = namesIn(scratch()).size();
        folders.now();
        std::fprintf(stderr, "events: %sfile: %lld (%s), files: %zu\n", text.c_str(), size,
                     reason.c_str(), names);
        std::fflush(nullptr);
        std::_Exit(0);
    };
    EXPECT_EXIT(downloadUnderLimit(kSize - 1), testing::ExitedWithCode(0),
                "events: error:19 finished:0 file: 3 \\(File too large\\), files: 2");
    EXPECT_EXIT(downloadUnderLimit(kSize), testing::ExitedWithCode(0),
                "events: finished:1 file: 307200 \\(\\), files: 2");
    EXPECT_TRUE(std::filesystem::is_empty(children)) << "the children left their folders";
}

TEST_F(HttpQueryTransferTest, UploadArrivesWithItsNameTypeAndLengthOrFailsAtOnce) {
    const std::string source = scratch() + "/my upload.bin";
    constexpr long long kSize = 3 * 1024 * 1024 + 17;
    writeTestFile(source, kSize, 11);
    startServer();
    startPlatform();
    QtMessageRecorder log;
    // Only to http and https: Qt would write the file of a file: URL.
    const std::string local = "file://" + scratch() + "/put.bin";
    for (const auto& [path, to] : {std::pair(std::string(), url("/echo/upload")),
                                   {scratch() + "/missing.bin", url("/echo/upload")},
                                   {source, local},
                                   {source, url("/echo/upload")}}) {
        SCOPED_TRACE(path + " to " + to);
        auto request = query();
        QueryOutcome outcome;
        outcome.watch(*request, true);
        request->setUrl(to);
        request->setContentType("text/plain");
        request->setOperation(IHttpQuery::POST);
        request->setBody("not sent");
        request->transferFile(path);
        ASSERT_TRUE(runUntilFinished(outcome, 60s));
        if (path != source || to == local) {
            EXPECT_EQ(outcomeOf(to == local ? IHttpQuery::ProtocolUnknownError
                                            : IHttpQuery::ContentNotFoundError),
                      outcome.events());
            EXPECT_FALSE(std::filesystem::exists(scratch() + "/put.bin"));
            continue;
        }
        EXPECT_EQ(Events{"finished:1"}, outcome.events());
        // The server's answer is collected as for any request.
        EXPECT_NE(std::string::npos, request->getResponseText().find("\"/echo/upload\""));
        // Progress climbs to the total; Qt closes an upload with a last record of 0 of 0, which
        // is handed on as it comes.
        long long highest = 0;
        for (const auto& record : outcome.uploads()) {
            EXPECT_EQ(source, record.filePath);
            EXPECT_TRUE(record.total == 0 || (record.total == kSize && highest <= record.done));
            highest = std::max<long long>(highest, record.done);
        }
        EXPECT_EQ(kSize, highest);
    }
    EXPECT_EQ(1, log.count("File path is empty in transfer file."));
    const auto seen = requests("/echo/upload");
    ASSERT_EQ(1u, seen.size());
    EXPECT_EQ("PUT", seen[0].value("method").toString());
    EXPECT_EQ("attachment; filename=\"my upload.bin\"", header(seen[0], "Content-Disposition"));
    EXPECT_EQ("application/octet-stream", header(seen[0], "Content-Type"));
    EXPECT_EQ(std::to_string(kSize), header(seen[0], "Content-Length"));
    EXPECT_EQ(fileSha256(source), seen[0].value("sha256").toString().toStdString());
}

// Each answer is streamed with a 4 MiB body limit, and the slow ones with a transfer time-out of
// 1 KiB/s looked at every 500 ms: a body over the limit fails and leaves nothing held, a stalled
// transfer times out, a slow live one does not. (Inflating a bomb can keep the Qt thread busy
// for longer than a period on a loaded machine, so the body rows keep the default time-out.)
TEST_F(HttpQueryTransferTest, ABodyOverTheLimitOrAStalledTransferFails) {
    constexpr std::size_t kLimit = 4 * 1024 * 1024;
    using Connection = StreamingServer::Connection;
    const auto serve = [](std::string headers, std::string body) {
        return [headers, body](Connection& peer) {
            const auto length = "Content-Length: " + std::to_string(body.size()) + "\r\n";
            peer.send(StreamingServer::head(headers + length)) && peer.send(body);
        };
    };
    const auto trickle = [](std::size_t bytes) {
        return [bytes](Connection& peer) {
            bool open = peer.send(StreamingServer::head("Content-Length: 40000\r\n"));
            while (open) open = peer.pause(100ms) && peer.send(std::string(bytes, 'x'));
        };
    };
    // `size` zeros in the deflate encoding of HTTP (a zlib stream).
    const auto deflatedZeros = [](int size) {
        return qCompress(QByteArray(size, '\0'), 9).mid(4).toStdString();
    };
    const std::tuple<const char*, StreamingServer::Script, int, bool> cases[] = {
        {"0xFF bytes over the limit", serve("", std::string(4 * kLimit, '\xff')), 26, false},
        {"deflate bomb", serve("Content-Encoding: deflate\r\n", deflatedZeros(16 * kLimit)), 26,
         false},
        {"exactly the limit", serve("", std::string(kLimit, '\xff')), 0, false},
        {"silent", [](Connection& peer) { peer.pause(1h); }, 4, true},
        {"a byte every 100 ms", trickle(1), 4, true},
        {"4 KiB every 100 ms", trickle(4000), 0, true},
    };
    startPlatform();
    for (const auto& [what, script, error, slow] : cases) {
        SCOPED_TRACE(what);
        StreamingServer server(script);
        auto request = query();
        request->setMaximumBodySize(kLimit);
        if (slow) request->setTransferTimeout(500, 1024);
        QueryOutcome outcome;
        const auto started = std::chrono::steady_clock::now();
        ASSERT_TRUE(executeAndWait(*request, outcome, server.url("/package")));
        EXPECT_LT(std::chrono::steady_clock::now() - started, 5s);
        EXPECT_EQ(outcomeOf(error), outcome.events());
        EXPECT_TRUE(error != 26 || request->getResponseData().capacity() == 0)
            << "held after failing";
        EXPECT_TRUE(error == 4 || (error != 0) == request->getResponseText().empty());
    }
}

// While the Qt thread is held up, Qt reads no further ahead of the query than its read buffer
// (and the sockets' own buffers): the server can send only so much meanwhile. The read buffer's
// size must reach Qt's network thread: one set on the reply too early is dropped there.
TEST_F(HttpQueryTransferTest, QtReadsOnlyALittleAheadOfTheQuery) {
    constexpr long long kSize = 192LL << 20, kBlock = 64 << 10;
    std::atomic<long long> sent{0};
    StreamingServer server([&](StreamingServer::Connection& peer) {
        bool open = peer.send(
            StreamingServer::head("Content-Length: " + std::to_string(kSize) + "\r\n"));
        const std::string block(kBlock, 'b');
        for (long long at = 0; open && at < kSize; at += kBlock) {
            open = peer.send(block);
            sent += kBlock;
        }
    });
    for (const bool toFile : {false, true}) {
        SCOPED_TRACE(toFile ? "download" : "execute");
        startPlatform();
        auto request = query();
        QueryOutcome outcome;
        outcome.watch(*request);
        request->setUrl(server.url("/big"));
        if (toFile) {
            request->downloadFile(scratch() + "/big.bin");
        } else {
            request->execute();
        }
        // Held on the Qt thread for a second, once the body flows and the reply has its read
        // buffer's size.
        auto* manager = platform_->internals().networkAccessManager();
        std::atomic<long long> sentWhileHeld{-1};
        const auto holdOnceSized = [&] {
            const auto replies = manager->findChildren<QNetworkReply*>();
            if (sent < (4LL << 20) ||
                std::none_of(replies.begin(), replies.end(),
                             [](QNetworkReply* reply) { return reply->readBufferSize() > 0; })) {
                return;
            }
            const long long before = sent;
            std::this_thread::sleep_for(1s);
            sentWhileHeld = sent - before;
        };
        ASSERT_TRUE(scheduler_.runUntil(
            [&] {
                if (sentWhileHeld < 0) {
                    QMetaObject::invokeMethod(manager, holdOnceSized, Qt::BlockingQueuedConnection);
                }
                return sentWhileHeld >= 0;
            },
            30s));
        EXPECT_LT(sentWhileHeld, 32LL << 20) << "bytes sent while the Qt thread was held up";
        request->abort();
        EXPECT_TRUE(runUntilFinished(outcome));
        request.reset();
        platform_.reset();
        sent = 0;
    }
}

// A body without a length (chunked, or ended by the close) is gathered in pieces and joined at
// the end: every byte arrives, in order, whatever the sizes of the pieces, and the text is made
// from the whole.
TEST_F(HttpQueryTransferTest, BodiesWithoutALengthArriveWhole) {
    const std::size_t sizes[] = {0, 1, 64 * 1024 - 1, 64 * 1024 + 1, 3 * 1024 * 1024 + 17};
    std::mt19937 random(5);
    std::map<std::size_t, std::string> bodies;
    for (const std::size_t size : sizes) {
        std::string& body = bodies[size];
        for (std::size_t i = 0; i < size; ++i) body += char('a' + random() % 26);
        ASSERT_TRUE(std::ofstream(root() + "/body" + std::to_string(size)) << body);
    }
    startServer();
    for (const bool chunked : {true, false}) {
        for (const std::size_t size : sizes) {
            SCOPED_TRACE((chunked ? "chunked, " : "ended by the close, ") + std::to_string(size));
            const std::string& body = bodies[size];
            StreamingServer closing([&](StreamingServer::Connection& peer) {
                peer.send(StreamingServer::head("")) && peer.send(body.substr(0, size / 2)) &&
                    peer.pause(50ms) && peer.send(body.substr(size / 2));
            });
            auto request = query();
            QueryOutcome outcome;
            ASSERT_TRUE(executeAndWait(*request, outcome,
                                       chunked ? url("/chunked/body" + std::to_string(size))
                                               : closing.url("/body")));
            EXPECT_EQ(Events{"finished:1"}, outcome.events());
            const auto& data = request->getResponseData();
            EXPECT_TRUE(std::string(data.begin(), data.end()) == body) << data.size() << " bytes";
            EXPECT_TRUE(request->getResponseText() == body)
                << request->getResponseText().size() << " bytes of text";
        }
    }
}

// With the default limit: a body announced over it fails at the head though
// none of it is sent, a gzip body decoding to far more than forty times its
// size fails early, and both say that the body was refused; a gzip body is
// decoded (every member of it, every coding of a list), a damaged one, one
// cut short, one with bytes behind its last member or one in a coding not
// known fails as Qt reports damaged data.
// A download decodes each body the same way (it has no limit of size): the
// file it replaces takes the decoded body, or stays as it was.
TEST_F(HttpQueryTransferTest, BodiesAreRefusedAtTheHeadOrWhileDecoded) {
    using Connection = StreamingServer::Connection;
    const auto gzip = [](const QByteArray& plain) {
        return testsupport::compressed(plain.toStdString(), 31);
    };
    const auto serve = [](std::string headers, std::string body) {
        return [headers, body](Connection& peer) {
            const auto length = "Content-Length: " + std::to_string(body.size()) + "\r\n";
            peer.send(StreamingServer::head(headers + length)) && peer.send(body) &&
                peer.pause(1h);
        };
    };
    const std::string text = QByteArray(200000, 'q').toStdString() + "end";
    std::string damaged = gzip(QByteArray::fromStdString(text));
    damaged[damaged.size() - 6] ^= 0x55;  // in the check sum
    const std::string letters =
        gzip(QByteArray::fromStdString(testsupport::compressibleText(336000)));
    const std::string announced =
        "Content-Length: " + std::to_string(IHttpQuery::kDefaultMaximumBodySize + 1) + "\r\n";
    const std::tuple<const char*, StreamingServer::Script, int, std::string> cases[] = {
        {"announced over the limit, nothing sent",
         [announced](Connection& peer) {
             peer.send(StreamingServer::head(announced)) && peer.pause(1h);
         },
         26, ""},
        {"gzip bomb", serve("Content-Encoding: gzip\r\n", gzip(QByteArray(256 << 20, '\0'))), 26,
         ""},
        {"gzip", serve("Content-Encoding: gzip\r\n", gzip(QByteArray::fromStdString(text))), 0,
         text},
        {"damaged gzip", serve("Content-Encoding: gzip\r\n", damaged), 29, ""},
        {"gzip cut 100 bytes short, ended by the close",
         [&letters](Connection& peer) {
             peer.send(StreamingServer::head("Content-Encoding: gzip\r\n")) &&
                 peer.send(letters.substr(0, letters.size() - 100));
         },
         29, ""},
        {"gzip of its head alone", serve("Content-Encoding: gzip\r\n", letters.substr(0, 10)), 29,
         ""},
        {"gzip in two members",
         serve("Content-Encoding: gzip\r\n", gzip(QByteArray::fromStdString(text.substr(0, 1000))) +
                                                  gzip(QByteArray::fromStdString(text.substr(1000)))),
         0, text},
        {"gzip over gzip",
         serve("Content-Encoding: gzip, gzip\r\n",
               gzip(QByteArray::fromStdString(gzip(QByteArray::fromStdString(text))))),
         0, text},
        {"gzip beside identity",
         serve("Content-Encoding: gzip, identity\r\n", gzip(QByteArray::fromStdString(text))), 0,
         text},
        {"gzip with bytes behind its member",
         serve("Content-Encoding: gzip\r\n", gzip(QByteArray::fromStdString(text)) + "trailing"),
         29, ""},
        {"a coding not known", serve("Content-Encoding: br\r\n", text), 29, ""},
    };
    startPlatform();
    const std::string target = scratch() + "/package";
    for (const bool toFile : {false, true}) {
        for (const auto& [what, script, error, body] : cases) {
            SCOPED_TRACE(std::string(what) + (toFile ? ", downloaded" : ""));
            if (toFile && std::string(what).rfind("announced", 0) == 0) continue;
            ASSERT_TRUE(std::ofstream(target) << "before");
            StreamingServer server(script);
            auto request = query();
            QueryOutcome outcome;
            outcome.watch(*request);
            request->setUrl(server.url("/package"));
            const auto started = std::chrono::steady_clock::now();
            toFile ? request->downloadFile(target) : request->execute();
            ASSERT_TRUE(runUntilFinished(outcome));
            EXPECT_LT(std::chrono::steady_clock::now() - started, 5s);
            EXPECT_EQ(outcomeOf(error), outcome.events());
            EXPECT_EQ(error == 26, request->bodyRefused());
            const auto& data = request->getResponseData();
            const std::string got =
                toFile ? testsupport::readFile(target) : std::string(data.begin(), data.end());
            const std::string wanted = toFile && error ? "before" : body;
            EXPECT_TRUE(got == wanted) << got.size() << " bytes";
            EXPECT_EQ(1, std::distance(std::filesystem::directory_iterator(scratch()), {}))
                << "left beside the file";
        }
    }
}

}  // namespace
