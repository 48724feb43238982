#include <QJsonDocument>
#include <chrono>
#include <thread>

#include "HttpQueryFixture.h"
#include "QtCorePlatformPrivate.h"
#include "QtMessageRecorder.h"
#include "StreamingServer.h"

namespace {

using namespace std::chrono_literals;
using Events = std::vector<std::string>;

class HttpQueryTest : public HttpQueryFixture {};

TEST_F(HttpQueryTest, EveryOperationSendsItsVerbHeadersAndBody) {
    startServer();
    const char* verbs[] = {"GET", "POST", "PUT", "PATCH", "DELETE"};
    for (int operation = 0; operation < 5; ++operation) {
        SCOPED_TRACE(verbs[operation]);
        const std::string path = "/echo/" + std::to_string(operation);
        const std::string sent = std::string("{\"n\":") + std::to_string(operation) +
                                 ",\"t\":\"gr\xc3\xbc\xc3\x9f\"}\x01\xff";
        auto request = query();
        QueryOutcome outcome;
        outcome.watch(*request);
        request->setUrl(url(path));
        request->setOperation(static_cast<IHttpQuery::Operation>(operation));
        request->setHeader("X-Quorvane", "first");
        request->setHeader("X-Quorvane", "second");
        request->setHeader("User-Agent", "Mac OS X 10_13_6");
        request->setContentType("application/json");
        request->setBody(sent);
        request->execute();
        ASSERT_TRUE(runUntilFinished(outcome));
        EXPECT_EQ(Events{"finished:1"}, outcome.events());
        EXPECT_EQ(200, request->getStatusCode());

        const auto seen = requests(path);
        ASSERT_EQ(1u, seen.size());
        EXPECT_EQ(verbs[operation], seen[0].value("method").toString().toStdString());
        EXPECT_EQ("second", header(seen[0], "X-Quorvane"));
        EXPECT_EQ("Mac OS X 10_13_6", header(seen[0], "User-Agent"));
        EXPECT_EQ("application/json", header(seen[0], "Content-Type"));
        EXPECT_EQ(sent, body(seen[0]));

        // The answer is the server's own account of the request.
        const auto& data = request->getResponseData();
        const auto echoed = QJsonDocument::fromJson(QByteArray(data.data(), int(data.size())));
        EXPECT_EQ(seen[0], echoed.object());
        EXPECT_EQ(std::string(data.begin(), data.end()), request->getResponseText());
        EXPECT_EQ("yes", request->getResponseHeader("x-ECHO"));
        EXPECT_EQ("small", request->getResponseHeader("X-Lower-Case"));
        EXPECT_EQ("application/json", request->getResponseHeaders().at("Content-Type"));
        EXPECT_EQ("", request->getResponseHeader("X-Absent"));
        EXPECT_TRUE(request->wait(0));
    }
}

TEST_F(HttpQueryTest, HttpStatusesAndRefusedConnectionsMapToErrorsBeforeFinished) {
    startServer();
    const std::pair<int, IHttpQuery::Error> cases[] = {
        {404, IHttpQuery::ContentNotFoundError},        {403, IHttpQuery::ContentAccessDenied},
        {401, IHttpQuery::AuthenticationRequiredError}, {422, IHttpQuery::UnknownContentError},
        {503, IHttpQuery::ServiceUnavailableError},
    };
    for (const auto& [status, error] : cases) {
        SCOPED_TRACE(status);
        auto request = query();
        QueryOutcome outcome;
        ASSERT_TRUE(executeAndWait(*request, outcome, url("/status/" + std::to_string(status))));
        EXPECT_EQ((Events{"error:" + std::to_string(error), "finished:0"}), outcome.events());
        EXPECT_EQ(status, request->getStatusCode());
        EXPECT_EQ(std::to_string(status), request->getResponseHeader("X-Status"));
        EXPECT_EQ("status " + std::to_string(status), request->getResponseText());
    }

    auto refused = query();
    QueryOutcome outcome;
    outcome.watch(*refused);
    refused->setUrl("http://127.0.0.1:" + std::to_string(unusedPort()) + "/nothing");
    refused->execute();
    ASSERT_TRUE(runUntilFinished(outcome));
    EXPECT_EQ((Events{"error:1", "finished:0"}), outcome.events());
    EXPECT_EQ(0, refused->getStatusCode());
}

TEST_F(HttpQueryTest, RedirectsAreFollowedOnlyWhenAsked) {
    startServer();
    struct Case {
        std::string path;
        bool follow;
        Events events;
        int status;
        std::string reached;  // the path that must have been requested, if any
    };
    const Case cases[] = {
        {"/redirect/302?to=/echo/moved", true, {"finished:1"}, 200, "/echo/moved"},
        {"/redirect/301?to=/echo/not-followed", false, {"finished:1"}, 301, ""},
        {"/loop", true, {"error:10", "finished:0"}, 302, ""},
    };
    for (const auto& item : cases) {
        SCOPED_TRACE(item.path);
        auto request = query();
        QueryOutcome outcome;
        if (item.follow) {
            request->setFollowRedirects();
        }
        ASSERT_TRUE(executeAndWait(*request, outcome, url(item.path)));
        EXPECT_EQ(item.events, outcome.events());
        EXPECT_EQ(item.status, request->getStatusCode());
        EXPECT_EQ(item.reached.empty() ? 0u : 1u, requests(item.reached).size());
    }
    EXPECT_TRUE(requests("/echo/not-followed").empty());
}

// The text is made when first read, piece by piece as the body came: a
// character split between pieces is joined, a piece's text ends at its NUL.
TEST_F(HttpQueryTest, TextIsMadeOnceFromThePiecesAsTheyCame) {
    struct Case {
        const char* what;
        std::vector<std::string> pieces;
        std::string text;
    };
    const Case cases[] = {
        {"split characters, a NUL inside a piece",
         {"Gr\xc3", "\xbc\xc3\x9f!", std::string("ab\0cd", 5), "\xe2\x82", "\xac!"},
         "Gr\xc3\xbc\xc3\x9f!ab\xe2\x82\xac!"},
        {"a NUL after half a character", {"x\xc3", std::string("\0y", 2)}, "x\xef\xbf\xbd"},
        {"a character never completed", {"ok\xe2\x82"}, "ok\xef\xbf\xbd\xef\xbf\xbd"},
        {"empty body", {}, ""},
    };
    startPlatform();
    for (const auto& item : cases) {
        SCOPED_TRACE(item.what);
        std::string body;
        for (const auto& piece : item.pieces) {
            body += piece;
        }
        StreamingServer server([&](StreamingServer::Connection& peer) {
            if (!peer.send(StreamingServer::head("Content-Length: " + std::to_string(body.size()) +
                                                 "\r\n"))) {
                return;
            }
            for (const auto& piece : item.pieces) {
                if (!peer.pause(100ms) || !peer.send(piece)) {
                    return;
                }
            }
        });
        auto request = query();
        QueryOutcome outcome;
        ASSERT_TRUE(executeAndWait(*request, outcome, server.url("/text")));
        const auto& data = request->getResponseData();
        EXPECT_EQ(body, std::string(data.begin(), data.end()));
        const std::string& text = request->getResponseText();
        EXPECT_EQ(item.text, text);
        EXPECT_EQ(&text, &request->getResponseText());
        EXPECT_EQ(item.text, request->getResponseText()) << "read twice";

        // reset forgets the body but keeps what the reply said.
        request->reset();
        EXPECT_TRUE(request->getResponseData().empty());
        EXPECT_TRUE(request->getResponseText().empty());
        EXPECT_EQ(200, request->getStatusCode());
    }
}

TEST_F(HttpQueryTest, WaitReturnsOnceTheOutcomeIsKnownWhenEverItStarts) {
    startServer();
    auto slow = query();
    QueryOutcome outcome;
    outcome.watch(*slow);
    slow->setUrl(url("/pieces"));  // about 0.8 s
    EXPECT_FALSE(slow->wait(0));
    slow->execute();
    const auto before = std::chrono::steady_clock::now();
    EXPECT_FALSE(slow->wait(100));
    EXPECT_GE(std::chrono::steady_clock::now() - before, 100ms);
    bool waited = false;
    returnsWithin([&] { waited = slow->wait(-1); }, 20s);
    EXPECT_TRUE(waited);
    EXPECT_EQ(19u, slow->getResponseData().size()) << "the whole body is there";
    EXPECT_TRUE(returnsWithin([&] { waited = slow->wait(-1); }, 5s));

    // Nobody waits before the outcome: a later wait still learns of it.
    auto quick = query();
    QueryOutcome quickOutcome;
    quickOutcome.watch(*quick);
    quick->setUrl(url("/echo/quick"));
    quick->execute();
    ASSERT_TRUE(runUntilFinished(quickOutcome));
    EXPECT_TRUE(quick->wait(0));
    waited = false;
    EXPECT_TRUE(returnsWithin([&] { waited = quick->wait(-1); }, 5s));
    EXPECT_TRUE(waited);
    EXPECT_TRUE(slow->wait(0));
}

TEST_F(HttpQueryTest, AbortCancelsARunningRequestOnly) {
    startServer();
    auto request = query();
    QueryOutcome outcome;
    outcome.watch(*request);
    request->setUrl(url("/slow"));
    request->execute();
    ASSERT_TRUE(waitForJournal([](const auto& entries) { return !entries.empty(); }));
    request->abort();
    ASSERT_TRUE(runUntilFinished(outcome));
    EXPECT_EQ((Events{"error:5", "finished:0"}), outcome.events());
    EXPECT_TRUE(request->wait(0));

    // Aborting a finished request changes nothing.
    request->abort();
    std::this_thread::sleep_for(100ms);
    scheduler_.runPending();
    EXPECT_EQ((Events{"error:5", "finished:0"}), outcome.events());
}

TEST_F(HttpQueryTest, ReleasingARunningQueryEndsItsTransferAndItsReports) {
    startServer();
    startPlatform();
    auto& objects = platform_->internals().objects();
    auto request = query();
    QueryOutcome outcome;
    outcome.watch(*request);
    request->setUrl(url("/slow"));
    request->execute();
    ASSERT_TRUE(waitForJournal([](const auto& entries) { return !entries.empty(); }));
    request.reset();
    EXPECT_TRUE(waitForJournal([](const auto& entries) {
        return std::any_of(entries.begin(), entries.end(), [](const QJsonObject& entry) {
            return entry.value("event").toString() == "disconnected";
        });
    })) << "the server went on sending to a released query";
    EXPECT_TRUE(scheduler_.runUntil([&] { return objects.liveCount() == 0; }, 10s));
    scheduler_.runPending();
    EXPECT_TRUE(outcome.events().empty());
}

TEST_F(HttpQueryTest, ReplacedHandlersMissTheOutcomesPostedBefore) {
    startServer();
    auto request = query();
    QueryOutcome outcome;
    outcome.watch(*request);
    request->setUrl(url("/status/404"));
    request->execute();
    ASSERT_TRUE(request->wait(10000));
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (scheduler_.taskCount() < 2 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(2ms);
    }
    ASSERT_EQ(2u, scheduler_.taskCount());
    request->resetHandlers();
    scheduler_.runPending();
    EXPECT_TRUE(outcome.events().empty());
    EXPECT_EQ(404, request->getStatusCode());
}

TEST_F(HttpQueryTest, MissingHandlersAreReportedAndTheQueryStillFinishes) {
    startServer();
    startPlatform();
    QtMessageRecorder log;
    auto request = query();
    request->setUrl(url("/status/404"));
    request->execute();
    EXPECT_TRUE(request->wait(10000));
    EXPECT_TRUE(waitForJournal([](const auto& entries) { return !entries.empty(); }));
    EXPECT_TRUE(scheduler_.runUntil([&] { return log.contains("Finished handler is missing."); }));
    EXPECT_TRUE(log.contains("Error handler is missing."));
    EXPECT_TRUE(log.contains("network error: QNetworkReply::ContentNotFoundError"));
}

}  // namespace
