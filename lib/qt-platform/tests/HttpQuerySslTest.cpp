#include <QMetaObject>
#include <QNetworkAccessManager>
#include <QSslError>
#include <atomic>
#include <chrono>
#include <thread>

#include "HttpQueryFixture.h"
#include "QtCorePlatformPrivate.h"
#include "QtMessageRecorder.h"

namespace {

using namespace std::chrono_literals;
using Events = std::vector<std::string>;

// What Qt reports for the test server's certificate at 127.0.0.1.
const std::vector<int> kCertificateErrors{QSslError::SelfSignedCertificate,
                                          QSslError::HostNameMismatch};

class HttpQuerySslTest : public HttpQueryFixture {
protected:
    // Runs `function` on the Qt thread and waits for it.
    void onQtThread(const std::function<void(QNetworkAccessManager&)>& function) {
        auto* manager = platform_->internals().networkAccessManager();
        std::atomic<bool> done{false};
        QMetaObject::invokeMethod(
            manager,
            [&] {
                function(*manager);
                done = true;
            },
            Qt::QueuedConnection);
        ASSERT_TRUE(scheduler_.runUntil([&] { return done.load(); }));
    }
};

TEST_F(HttpQuerySslTest, IgnoredCertificateErrorsLetTheTransferFinishBeforeWaitReturns) {
    startServer(true);
    auto request = query();
    QueryOutcome outcome;
    outcome.watch(*request);
    request->setIgnoredSslErrors(kCertificateErrors);
    request->setUrl(httpsUrl("/pieces"));  // about 0.8 s after the handshake
    request->execute();
    bool waited = false;
    returnsWithin([&] { waited = request->wait(-1); }, 20s);
    ASSERT_TRUE(waited);
    EXPECT_EQ(19u, request->getResponseData().size()) << "wait returned before the outcome";
    EXPECT_EQ(200, request->getStatusCode());
    ASSERT_TRUE(runUntilFinished(outcome));
    EXPECT_EQ(Events{"finished:1"}, outcome.events());
    const auto seen = requests("/pieces");
    ASSERT_EQ(1u, seen.size());
    EXPECT_TRUE(seen[0].value("tls").toBool());
}

TEST_F(HttpQuerySslTest, UncoveredErrorsAreReportedThenTheHandshakeFails) {
    startServer(true);
    startPlatform();
    QtMessageRecorder log;
    {
        auto request = query();
        QueryOutcome outcome;
        ASSERT_TRUE(executeAndWait(*request, outcome, httpsUrl("/echo/strict")));
        // In the order Qt reports them: the host name first.
        EXPECT_EQ((Events{"ssl:22,9", "error:6", "finished:0"}), outcome.events());
        EXPECT_TRUE(log.contains("one or more errors won't be ignored"));
    }
    {
        // Only part of the errors on the list: nothing is ignored after all,
        // and the caller hears of the failure only.
        log.clear();
        auto request = query();
        QueryOutcome outcome;
        request->setIgnoredSslErrors({QSslError::SelfSignedCertificate, 30, -5});
        ASSERT_TRUE(executeAndWait(*request, outcome, httpsUrl("/echo/partly")));
        EXPECT_EQ((Events{"error:6", "finished:0"}), outcome.events());
        EXPECT_TRUE(log.contains("one or more errors won't be ignored"));
        // Codes outside the named range are kept as Qt's unspecified error.
        EXPECT_TRUE(
            log.contains("ignoring SSL errors: (\"The certificate is self-signed, and "
                         "untrusted\", \"Unknown error\", \"Unknown error\")"));
    }
    EXPECT_TRUE(requests("/echo/strict").empty());
    EXPECT_TRUE(requests("/echo/partly").empty());
}

TEST_F(HttpQuerySslTest, RedirectsNeverLeadFromHttpsToHttp) {
    startServer(true);
    auto request = query();
    QueryOutcome outcome;
    request->setIgnoredSslErrors(kCertificateErrors);
    request->setFollowRedirects();
    ASSERT_TRUE(
        executeAndWait(*request, outcome, httpsUrl("/redirect/302?to=" + url("/echo/insecure"))));
    EXPECT_EQ((Events{"error:11", "finished:0"}), outcome.events());
    EXPECT_TRUE(requests("/echo/insecure").empty());
}

TEST_F(HttpQuerySslTest, OnlyAQueryWithAnIgnoreListSwitchesStrictTransportSecurityOff) {
    startServer(true);
    startPlatform();
    QtMessageRecorder log;
    auto run = [&](bool withList) {
        auto request = query();
        QueryOutcome outcome;
        outcome.watch(*request);
        if (withList) {
            request->setIgnoredSslErrors(kCertificateErrors);
        }
        request->setUrl(url("/echo/hsts"));
        request->execute();
        ASSERT_TRUE(runUntilFinished(outcome));
    };
    onQtThread(
        [](QNetworkAccessManager& manager) { manager.setStrictTransportSecurityEnabled(true); });
    run(false);
    bool enabled = false;
    onQtThread([&](QNetworkAccessManager& manager) {
        enabled = manager.isStrictTransportSecurityEnabled();
    });
    EXPECT_TRUE(enabled);
    EXPECT_EQ(0, log.count("disabling HSTS"));
    run(true);
    run(true);
    onQtThread([&](QNetworkAccessManager& manager) {
        enabled = manager.isStrictTransportSecurityEnabled();
    });
    EXPECT_FALSE(enabled);
    EXPECT_EQ(1, log.count("disabling HSTS"));
}

}  // namespace
