#include <QFileInfo>
#include <chrono>

#include "HttpQueryFixture.h"
#include "QtMessageRecorder.h"
#include "StreamingServer.h"
#include "support/ChildProcess.h"

namespace {

using namespace std::chrono_literals;
using Events = std::vector<std::string>;

class HttpQueryTransferTest : public HttpQueryFixture {
protected:
    // Downloads `path` of the server into `target`, recording the outcome and
    // the size of the target when the finished handler runs.
    void download(const std::string& path, const std::string& target, QueryOutcome& outcome,
                  long long& sizeWhenFinished) {
        auto request = query();
        outcome.onFinished = [&sizeWhenFinished, target] {
            sizeWhenFinished = QFileInfo(QString::fromStdString(target)).size();
        };
        outcome.watch(*request, true);
        request->setUrl(url(path));
        request->downloadFile(target);
        ASSERT_TRUE(runUntilFinished(outcome, 60s));
        EXPECT_TRUE(request->getResponseData().empty());
        EXPECT_TRUE(request->getResponseText().empty());
    }
};

TEST_F(HttpQueryTransferTest, LargeDownloadIsCompleteWhenReportedAndProgressEndsAtTheTotal) {
    constexpr long long kSize = 50LL * 1024 * 1024;
    writeTestFile(root() + "/large.bin", kSize);
    startServer();
    const std::string target = scratch() + "/large copy.bin";
    auto request = query();
    QueryOutcome outcome;
    long long sizeWhenFinished = -1;
    outcome.onFinished = [&] {
        sizeWhenFinished = QFileInfo(QString::fromStdString(target)).size();
    };
    outcome.watch(*request, true);
    request->setUrl(url("/files/large.bin"));
    request->setOperation(IHttpQuery::POST);  // a download is always a GET without body
    request->setBody("not sent");
    request->downloadFile(target);
    ASSERT_TRUE(runUntilFinished(outcome, 90s));

    EXPECT_EQ(Events{"finished:1"}, outcome.events());
    EXPECT_EQ(kSize, sizeWhenFinished) << "the file was incomplete when the handler ran";
    EXPECT_EQ(fileSha256(root() + "/large.bin"), fileSha256(target));
    EXPECT_TRUE(request->getResponseData().empty());
    EXPECT_TRUE(request->getResponseText().empty());
    EXPECT_EQ(200, request->getStatusCode());

    const auto progress = outcome.downloads();
    ASSERT_FALSE(progress.empty());
    EXPECT_EQ(kSize, progress.back().done);
    EXPECT_EQ(kSize, progress.back().total);
    for (std::size_t i = 0; i < progress.size(); ++i) {
        EXPECT_EQ(target, progress[i].filePath);
        EXPECT_EQ(kSize, progress[i].total);
        if (i > 0) {
            EXPECT_LE(progress[i - 1].done, progress[i].done);
        }
    }
    EXPECT_TRUE(outcome.uploads().empty());

    const auto seen = requests("/files/large.bin");
    ASSERT_EQ(1u, seen.size());
    EXPECT_EQ("GET", seen[0].value("method").toString());
    EXPECT_EQ(0, seen[0].value("size").toInt());
}

TEST_F(HttpQueryTransferTest, DownloadReplacesAFileAndReportsAnUnknownLength) {
    writeTestFile(root() + "/small.bin", 300 * 1024, 7);
    startServer();
    const std::string target = scratch() + "/existing.bin";
    writeTestFile(target, 900 * 1024, 9);
    QueryOutcome outcome;
    long long sizeWhenFinished = -1;
    download("/chunked/small.bin", target, outcome, sizeWhenFinished);
    EXPECT_EQ(Events{"finished:1"}, outcome.events());
    EXPECT_EQ(300 * 1024, sizeWhenFinished);
    EXPECT_EQ(fileSha256(root() + "/small.bin"), fileSha256(target));

    // Without a length the total is unknown until the end, when it is what
    // came. The text arrives in four pieces with pauses between them.
    QueryOutcome pieces;
    download("/pieces", scratch() + "/pieces.txt", pieces, sizeWhenFinished);
    EXPECT_EQ(Events{"finished:1"}, pieces.events());
    EXPECT_EQ(19, sizeWhenFinished);
    const auto progress = pieces.downloads();
    ASSERT_GE(progress.size(), 2u);
    for (std::size_t i = 0; i + 1 < progress.size(); ++i) {
        EXPECT_EQ(-1, progress[i].total);
    }
    EXPECT_EQ(19, progress.back().done);
    EXPECT_EQ(19, progress.back().total);
}

TEST_F(HttpQueryTransferTest, EveryFailedDownloadEndsWithOneErrorAndFailure) {
    writeTestFile(root() + "/tiny.bin", 100, 3);
    writeTestFile(root() + "/medium.bin", 2 * 1024 * 1024, 4);
    startServer();
    struct Case {
        const char* what;
        std::string path;
        std::string target;
        IHttpQuery::Error error;
    };
    const Case cases[] = {
        {"folder missing", "/files/tiny.bin", scratch() + "/no/such/folder/file.bin",
         IHttpQuery::ContentAccessDenied},
        {"disk full at the end", "/files/tiny.bin", "/dev/full", IHttpQuery::ProtocolFailure},
        {"disk full on the way", "/files/medium.bin", "/dev/full", IHttpQuery::ProtocolFailure},
        {"not found", "/files/none.bin", scratch() + "/none.bin", IHttpQuery::ContentNotFoundError},
    };
    for (const auto& item : cases) {
        SCOPED_TRACE(item.what);
        QueryOutcome outcome;
        long long sizeWhenFinished = -1;
        download(item.path, item.target, outcome, sizeWhenFinished);
        // Nothing more comes later.
        std::this_thread::sleep_for(100ms);
        scheduler_.runPending();
        EXPECT_EQ((Events{"error:" + std::to_string(item.error), "finished:0"}), outcome.events());
    }
    EXPECT_EQ(1u, requests("/files/tiny.bin").size())
        << "a file that cannot be opened sends nothing";
}

TEST_F(HttpQueryTransferTest, UploadArrivesWithItsNameTypeAndLength) {
    const std::string source = scratch() + "/my upload.bin";
    constexpr long long kSize = 3 * 1024 * 1024 + 17;
    writeTestFile(source, kSize, 11);
    startServer();
    auto request = query();
    QueryOutcome outcome;
    outcome.watch(*request, true);
    request->setUrl(url("/echo/upload"));
    request->setContentType("text/plain");
    request->setOperation(IHttpQuery::POST);
    request->setBody("not sent");
    request->transferFile(source);
    ASSERT_TRUE(runUntilFinished(outcome, 60s));
    EXPECT_EQ(Events{"finished:1"}, outcome.events());

    const auto seen = requests("/echo/upload");
    ASSERT_EQ(1u, seen.size());
    EXPECT_EQ("PUT", seen[0].value("method").toString());
    EXPECT_EQ("attachment; filename=\"my upload.bin\"", header(seen[0], "Content-Disposition"));
    EXPECT_EQ("application/octet-stream", header(seen[0], "Content-Type"));
    EXPECT_EQ(std::to_string(kSize), header(seen[0], "Content-Length"));
    EXPECT_EQ(kSize, static_cast<long long>(seen[0].value("size").toDouble()));
    EXPECT_EQ(fileSha256(source), seen[0].value("sha256").toString().toStdString());
    // The server's answer is collected as for any request.
    EXPECT_NE(std::string::npos, request->getResponseText().find("\"/echo/upload\""));

    // Progress climbs to the total (Qt closes an upload with a last record
    // of 0 of 0, which is handed on as it comes).
    const auto progress = outcome.uploads();
    ASSERT_FALSE(progress.empty());
    long long highest = 0;
    for (const auto& record : progress) {
        EXPECT_EQ(source, record.filePath);
        if (record.total > 0) {
            EXPECT_EQ(kSize, record.total);
            EXPECT_LE(highest, record.done);
            highest = record.done;
        }
    }
    EXPECT_EQ(kSize, highest);
}

TEST_F(HttpQueryTransferTest, UploadThatCannotStartEndsWithOneErrorAndFailure) {
    startServer();
    startPlatform();
    QtMessageRecorder log;
    const std::pair<std::string, IHttpQuery::Error> cases[] = {
        {"", IHttpQuery::ContentNotFoundError},
        {scratch() + "/missing.bin", IHttpQuery::ContentNotFoundError},
    };
    for (const auto& [path, error] : cases) {
        SCOPED_TRACE(path);
        auto request = query();
        QueryOutcome outcome;
        outcome.watch(*request);
        request->setUrl(url("/echo/never"));
        request->transferFile(path);
        ASSERT_TRUE(runUntilFinished(outcome));
        EXPECT_EQ((Events{"error:" + std::to_string(error), "finished:0"}), outcome.events());
        EXPECT_TRUE(request->wait(0));
    }
    EXPECT_TRUE(log.contains("File path is empty in transfer file."));
    EXPECT_TRUE(requests("/echo/never").empty());
}

TEST_F(HttpQueryTransferTest, MissingProgressHandlersAreOnlyLogged) {
    writeTestFile(root() + "/some.bin", 64 * 1024, 5);
    startServer();
    startPlatform();
    QtMessageRecorder log;
    auto request = query();
    QueryOutcome outcome;
    outcome.watch(*request);
    request->setUrl(url("/files/some.bin"));
    request->downloadFile(scratch() + "/some.bin");
    ASSERT_TRUE(runUntilFinished(outcome));
    EXPECT_EQ(Events{"finished:1"}, outcome.events());
    EXPECT_GE(log.count("Download progress handler is not set."), 1);
    EXPECT_EQ(fileSha256(root() + "/some.bin"), fileSha256(scratch() + "/some.bin"));
}

TEST_F(HttpQueryTransferTest, AStalledTransferEndsInATimeOutAndASlowLiveOneDoesNot) {
    using Connection = StreamingServer::Connection;
    struct Case {
        const char* what;
        StreamingServer::Script script;
        Events expected;
    };
    const auto trickle = [](std::chrono::milliseconds every, std::size_t bytes) {
        return [every, bytes](Connection& peer) {
            if (!peer.send(StreamingServer::head("Content-Length: 40000\r\n"))) {
                return;
            }
            while (peer.pause(every) && peer.send(std::string(bytes, 'x'))) {
            }
        };
    };
    const Case cases[] = {
        {"silent", [](Connection& peer) { peer.pause(1h); }, {"error:4", "finished:0"}},
        {"a byte every 100 ms", trickle(100ms, 1), {"error:4", "finished:0"}},
        // 4 KiB every 100 ms: 40 KiB/s, ten rounds.
        {"slow but live", trickle(100ms, 4000), {"finished:1"}},
    };
    startPlatform();
    for (const auto& item : cases) {
        SCOPED_TRACE(item.what);
        StreamingServer server(item.script);
        auto request = query();
        // 1 KiB/s, looked at every 500 ms.
        request->setTransferTimeout(500, 1024);
        QueryOutcome outcome;
        const auto started = std::chrono::steady_clock::now();
        ASSERT_TRUE(executeAndWait(*request, outcome, server.url("/package")));
        EXPECT_EQ(item.expected, outcome.events());
        EXPECT_LT(std::chrono::steady_clock::now() - started, 5s);
    }
}

}  // namespace
