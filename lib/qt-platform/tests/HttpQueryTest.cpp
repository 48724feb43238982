#include <QJsonDocument>
#include <QMetaEnum>
#include <QNetworkReply>
#include <thread>

#include "HttpQueryErrors.h"
#include "HttpQueryFixture.h"
#include "QtCorePlatformPrivate.h"
#include "QtMessageRecorder.h"
#include "StreamingServer.h"

namespace {

class HttpQueryTest : public HttpQueryFixture {};

TEST_F(HttpQueryTest, EveryOperationSendsItsVerbHeadersAndBody) {
    startServer();
    const char* verbs[] = {"GET", "POST", "PUT", "PATCH", "DELETE"};
    for (int operation = 0; operation < 5; ++operation) {
        SCOPED_TRACE(verbs[operation]);
        const std::string path = "/echo/" + std::to_string(operation);
        const std::string sent =
            "{\"n\":" + std::to_string(operation) + ",\"t\":\"gr\xc3\xbc\"}\x01\xff";
        auto request = query();
        request->setOperation(static_cast<IHttpQuery::Operation>(operation));
        request->setHeader("X-Quorvane", "first");
        request->setHeader("X-Quorvane", "second");
        request->setContentType("application/json");
        request->setBody(sent);
        QueryOutcome outcome;
        ASSERT_TRUE(executeAndWait(*request, outcome, url(path)));
        EXPECT_EQ(Events{"finished:1"}, outcome.events());

        const auto seen = requests(path);
        ASSERT_EQ(1u, seen.size());
        EXPECT_EQ(verbs[operation], seen[0].value("method").toString().toStdString());
        EXPECT_EQ("second", header(seen[0], "X-Quorvane"));
        EXPECT_EQ("application/json", header(seen[0], "Content-Type"));
        EXPECT_EQ(sent,
                  QByteArray::fromHex(seen[0].value("body").toString().toLatin1()).toStdString());
        // The answer is the server's own account of the request.
        const auto& data = request->getResponseData();
        EXPECT_EQ(seen[0],
                  QJsonDocument::fromJson(QByteArray(data.data(), int(data.size()))).object());
        EXPECT_EQ(std::string(data.begin(), data.end()), request->getResponseText());
        EXPECT_EQ("yes", request->getResponseHeader("x-ECHO"));
        EXPECT_EQ("application/json", request->getResponseHeaders().at("Content-Type"));
        EXPECT_EQ("", request->getResponseHeader("X-Absent"));
    }
}

// A query that follows redirects wants the resource: an answer that Qt takes without an error but
// is none (a 1xx, a 3xx that is not followed, a 304 to a request that was not conditional) fails
// it. Without following, such an answer is the outcome.
TEST_F(HttpQueryTest, StatusesRedirectsAndRefusalsEndInTheirOutcome) {
    startServer();
    StreamingServer statuses(StreamingServer::answerWithStatus);
    struct Case {
        std::string url;
        bool follow;
        int error, status;            // error -1: none
        std::string reached;          // the path that must have been requested, if any
        std::string conditional = ""; // a conditional request header sent, "Name: value"
    };
    const Case cases[] = {
        {statuses.url("/300"), true, IHttpQuery::ProtocolFailure, 300, ""},
        {statuses.url("/101"), true, IHttpQuery::ProtocolFailure, 101, ""},
        {statuses.url("/304"), true, IHttpQuery::ProtocolFailure, 304, ""},
        {statuses.url("/304"), true, 0, 304, "", "If-None-Match: \"v1\""},
        {statuses.url("/304"), true, 0, 304, "", "If-Modified-Since: Tue, 01 Dec 2026 10:00:00 GMT"},
        {statuses.url("/204"), true, 0, 204, ""},
        {statuses.url("/300"), false, 0, 300, ""},
        {statuses.url("/101"), false, 0, 101, ""},
        {url("/status/404"), false, IHttpQuery::ContentNotFoundError, 404, ""},
        {url("/status/403"), false, IHttpQuery::ContentAccessDenied, 403, ""},
        {url("/status/401"), false, IHttpQuery::AuthenticationRequiredError, 401, ""},
        {url("/status/422"), false, IHttpQuery::UnknownContentError, 422, ""},
        {url("/status/503"), false, IHttpQuery::ServiceUnavailableError, 503, ""},
        {url("/redirect/302?to=/echo/moved"), true, 0, 200, "/echo/moved"},
        {url("/redirect/301?to=/echo/not-followed"), false, 0, 301, ""},
        {url("/loop"), true, IHttpQuery::TooManyRedirectsError, 302, ""},
        {StreamingServer([](StreamingServer::Connection&) {}).url("/"), false,
         IHttpQuery::ConnectionRefusedError, 0, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.url);
        auto request = query();
        if (c.follow) request->setFollowRedirects();
        if (const auto colon = c.conditional.find(": "); colon != std::string::npos)
            request->setHeader(c.conditional.substr(0, colon), c.conditional.substr(colon + 2));
        QueryOutcome outcome;
        ASSERT_TRUE(executeAndWait(*request, outcome, c.url));
        EXPECT_EQ(outcomeOf(c.error), outcome.events());
        EXPECT_EQ(c.status, request->getStatusCode());
        EXPECT_EQ(c.reached.empty() ? 0u : 1u, requests(c.reached).size());
        if (c.status >= 400 || c.status == 300) {
            EXPECT_EQ("status " + std::to_string(c.status), request->getResponseText());
        }
    }
    EXPECT_TRUE(requests("/echo/not-followed").empty());
}

// The text is made when first read, piece by piece as the body came: a character split between
// pieces is joined, a piece's text ends at its NUL.
TEST_F(HttpQueryTest, TextIsMadeOnceFromThePiecesAsTheyCame) {
    struct Case {
        std::vector<std::string> pieces;
        std::string text;
    };
    const Case cases[] = {
        {{"Gr\xc3", "\xbc\xc3\x9f!", std::string("ab\0cd", 5), "\xe2\x82", "\xac!"},
         "Gr\xc3\xbc\xc3\x9f!ab\xe2\x82\xac!"},
        {{"x\xc3", std::string("\0y", 2)}, "x\xef\xbf\xbd"},
        {{"ok\xe2\x82"}, "ok\xef\xbf\xbd\xef\xbf\xbd"},
        {{}, ""},
    };
    startPlatform();
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.pieces));
        std::string body;
        for (const auto& piece : c.pieces) body += piece;
        StreamingServer server([&](StreamingServer::Connection& peer) {
            bool open = peer.send(
                StreamingServer::head("Content-Length: " + std::to_string(body.size()) + "\r\n"));
            for (std::size_t i = 0; open && i < c.pieces.size(); ++i) {
                open = peer.pause(100ms) && peer.send(c.pieces[i]);
            }
        });
        auto request = query();
        QueryOutcome outcome;
        ASSERT_TRUE(executeAndWait(*request, outcome, server.url("/text")));
        const auto& data = request->getResponseData();
        EXPECT_EQ(body, std::string(data.begin(), data.end()));
        const std::string& text = request->getResponseText();
        EXPECT_EQ(c.text, text);
        EXPECT_EQ(&text, &request->getResponseText());
        EXPECT_EQ(c.text, request->getResponseText()) << "read twice";
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
    ASSERT_TRUE(executeAndWait(*quick, quickOutcome, url("/echo/quick")));
    waited = false;
    EXPECT_TRUE(returnsWithin([&] { waited = quick->wait(-1); }, 5s));
    EXPECT_TRUE(waited);
}

TEST_F(HttpQueryTest, AbortAndReleaseEndARunningTransfer) {
    startServer();
    startPlatform();
    auto& objects = platform_->internals().objects();
    auto request = query();
    QueryOutcome outcome;
    outcome.watch(*request);
    request->setUrl(url("/slow"));
    request->execute();
    ASSERT_TRUE(waitForJournal("method"));
    request->abort();
    ASSERT_TRUE(runUntilFinished(outcome));
    EXPECT_TRUE(request->wait(0));
    // Aborting a finished request changes nothing.
    request->abort();
    std::this_thread::sleep_for(100ms);
    scheduler_.runPending();
    EXPECT_EQ((Events{"error:5", "finished:0"}), outcome.events());

    // A released query ends its transfer and reports nothing more.
    auto released = query();
    QueryOutcome silent;
    silent.watch(*released);
    released->setUrl(url("/slow"));
    released->execute();
    ASSERT_TRUE(scheduler_.runUntil([&] { return requests("/slow").size() == 2; }));
    request.reset();
    released.reset();
    EXPECT_TRUE(waitForJournal("event", 2)) << "the server went on sending to a released query";
    EXPECT_TRUE(scheduler_.runUntil([&] { return objects.liveCount() == 0; }, 10s));
    scheduler_.runPending();
    EXPECT_TRUE(silent.events().empty());
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
    EXPECT_TRUE(scheduler_.runUntil([&] { return log.count("Finished handler is missing."); }));
    EXPECT_TRUE(log.count("Error handler is missing."));
    EXPECT_TRUE(log.count("network error: QNetworkReply::ContentNotFoundError"));
}

// A query started once more (against its one-use rule, which only logs) reports the outcome of
// the new request, its error included, whatever the first one ended in.
TEST_F(HttpQueryTest, AQueryStartedOnceMoreReportsTheNewRequestsOutcome) {
    startServer();
    struct Case {
        std::string first, second;
        int firstError, secondError, secondStatus;
    };
    const Case cases[] = {
        {"/status/404", "/status/503", IHttpQuery::ContentNotFoundError,
         IHttpQuery::ServiceUnavailableError, 503},
        {"/status/403", "/status/403", IHttpQuery::ContentAccessDenied,
         IHttpQuery::ContentAccessDenied, 403},
        {"/echo/first", "/status/404", 0, IHttpQuery::ContentNotFoundError, 404},
        {"/status/404", "/echo/second", IHttpQuery::ContentNotFoundError, 0, 200},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.first + " then " + c.second);
        auto request = query();
        QueryOutcome first, second;
        ASSERT_TRUE(executeAndWait(*request, first, url(c.first)));
        EXPECT_EQ(outcomeOf(c.firstError), first.events());
        ASSERT_TRUE(executeAndWait(*request, second, url(c.second)));
        EXPECT_EQ(outcomeOf(c.secondError), second.events());
        EXPECT_EQ(c.secondStatus, request->getStatusCode());
    }
}

TEST(HttpQueryErrorsTest, EveryQtErrorMapsToTheCodeOfTheSameNameOthersAreUnknown) {
    const QMetaEnum qtErrors = QMetaEnum::fromType<QNetworkReply::NetworkError>();
    ASSERT_EQ(34, qtErrors.keyCount()) << "Qt 5.15 names 34 network errors";
    for (int i = 0; i < qtErrors.keyCount(); ++i) {
        EXPECT_EQ(std::string(qtErrors.key(i)),
                  httpQueryErrorName(httpQueryErrorFromQt(qtErrors.value(i))));
    }
    for (const int code :
         {-1, 12, 98, 100, 106, 198, 200, 208, 298, 300, 303, 398, 400, 404, 1000}) {
        EXPECT_EQ(IHttpQuery::UnknownNetworkError, httpQueryErrorFromQt(code)) << code;
    }
}

}  // namespace
