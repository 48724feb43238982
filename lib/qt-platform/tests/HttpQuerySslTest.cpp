#include <QMetaObject>
#include <QNetworkAccessManager>
#include <QSslError>
#include <atomic>

#include "HttpQueryFixture.h"
#include "QtCorePlatformPrivate.h"
#include "QtMessageRecorder.h"
#include "SslErrorFilter.h"

namespace {

// What Qt reports for the test server's certificate at 127.0.0.1.
const std::vector<int> kCertificateErrors{QSslError::SelfSignedCertificate,
                                          QSslError::HostNameMismatch};

class HttpQuerySslTest : public HttpQueryFixture {
protected:
    void SetUp() override { startServer(true); }
    // Runs a query for `path` of the TLS port; its events.
    Events fetch(const std::string& path, const std::vector<int>& ignored, bool follow = false) {
        auto request = query();
        if (!ignored.empty()) request->setIgnoredSslErrors(ignored);
        if (follow) request->setFollowRedirects();
        QueryOutcome outcome;
        EXPECT_TRUE(executeAndWait(*request, outcome, httpsUrl(path)));
        return outcome.events();
    }
};

TEST_F(HttpQuerySslTest, IgnoredCertificateErrorsLetTheTransferFinish) {
    EXPECT_EQ(Events{"finished:1"}, fetch("/pieces", kCertificateErrors));
    const auto seen = requests("/pieces");
    EXPECT_TRUE(seen.size() == 1 && seen[0].value("tls").toBool());
}

TEST_F(HttpQuerySslTest, UncoveredErrorsAreReportedThenTheHandshakeFails) {
    startPlatform();
    QtMessageRecorder log;
    // In the order Qt reports them: the host name first.
    EXPECT_EQ((Events{"ssl:22,9", "error:6", "finished:0"}), fetch("/echo/strict", {}));
    EXPECT_EQ(1, log.count("one or more errors won't be ignored"));
    // Only part of the errors on the list: nothing is ignored after all, and the caller hears of
    // the failure only. Codes outside the named range are kept as Qt's unspecified error.
    EXPECT_EQ((Events{"error:6", "finished:0"}),
              fetch("/echo/partly", {QSslError::SelfSignedCertificate, 30, -5}));
    EXPECT_EQ(2, log.count("one or more errors won't be ignored"));
    EXPECT_EQ(1, log.count("ignoring SSL errors: (\"The certificate is self-signed, and "
                           "untrusted\", \"Unknown error\", \"Unknown error\")"));
    // Never from HTTPS to HTTP.
    EXPECT_EQ((Events{"error:11", "finished:0"}),
              fetch("/redirect/302?to=" + url("/echo/insecure"), kCertificateErrors, true));
    EXPECT_TRUE(journal().size() == 1 && requests("/echo/insecure").empty());
}

TEST_F(HttpQuerySslTest, OnlyAQueryWithAnIgnoreListSwitchesStrictTransportSecurityOff) {
    startPlatform();
    QtMessageRecorder log;
    auto* manager = platform_->internals().networkAccessManager();
    const auto enabled = [&](std::optional<bool> set = std::nullopt) {
        std::atomic<int> state{-1};
        QMetaObject::invokeMethod(manager, [&] {
            if (set) manager->setStrictTransportSecurityEnabled(*set);
            state = manager->isStrictTransportSecurityEnabled();
        });
        EXPECT_TRUE(scheduler_.runUntil([&] { return state >= 0; }));
        return state == 1;
    };
    enabled(true);
    fetch("/echo/hsts", {});
    EXPECT_TRUE(enabled());
    EXPECT_EQ(0, log.count("disabling HSTS"));
    fetch("/echo/hsts", kCertificateErrors);
    fetch("/echo/hsts", kCertificateErrors);
    EXPECT_FALSE(enabled());
    EXPECT_EQ(1, log.count("disabling HSTS"));
}

// A followed redirect may lead to another origin (here another server's ports), as long as it
// is no less safe: HTTPS to HTTPS, HTTP to either; never HTTPS to HTTP.
TEST_F(HttpQuerySslTest, RedirectsAreFollowedToAnyOriginThatIsNoLessSafe) {
    testsupport::TempDir otherFiles{"quorvane-other-web"};
    testsupport::ScriptServer other(
        testsupport::testSupportDirectory() + "/http_test_server.py",
        {"--journal", otherFiles.file("journal"), "--cert", scratch_.file("cert.pem"), "--key",
         scratch_.file("key.pem")});
    ASSERT_TRUE(other.ready());
    const std::string otherHttps = "https://127.0.0.1:" + std::to_string(*other.readyNumber("https"));
    const std::string otherHttp = "http://127.0.0.1:" + std::to_string(*other.readyNumber("http"));
    const std::tuple<std::string, std::string, Events> cases[] = {
        {httpsUrl("/redirect/302?to="), otherHttps + "/echo/secure", Events{"finished:1"}},
        {url("/redirect/301?to="), otherHttp + "/echo/plain", Events{"finished:1"}},
        {url("/redirect/307?to="), otherHttps + "/echo/upgraded", Events{"finished:1"}},
        {httpsUrl("/redirect/302?to="), otherHttp + "/echo/downgraded",
         Events{"error:11", "finished:0"}},
    };
    for (const auto& [from, to, events] : cases) {
        SCOPED_TRACE(from + to);
        auto request = query();
        request->setIgnoredSslErrors(kCertificateErrors);
        request->setFollowRedirects();
        QueryOutcome outcome;
        ASSERT_TRUE(executeAndWait(*request, outcome, from + to));
        EXPECT_EQ(events, outcome.events());
        const std::string path = to.substr(to.find("/echo/"));
        const bool reached =
            testsupport::readFile(otherFiles.file("journal")).find("\"" + path + "\"") !=
            std::string::npos;
        EXPECT_EQ(events.size() == 1, reached);
        if (reached) {
            const auto& data = request->getResponseData();
            EXPECT_NE(std::string::npos, std::string(data.begin(), data.end()).find(path));
        }
    }
}

// Qt names errors up to 24 (CertificateBlacklisted); later ones and others are unspecified.
TEST(SslErrorFilterTest, CodesOutsideTheNamedRangeBecomeUnspecified) {
    for (const int code : {0, 22, 24, 25, 30, -5}) {
        const bool named = code >= 0 && code <= 24;
        EXPECT_EQ(named ? code : int(QSslError::UnspecifiedError), sslErrorFromInt(code)) << code;
        EXPECT_EQ(named ? code : -1, sslErrorToInt(QSslError(sslErrorFromInt(code)))) << code;
    }
    EXPECT_EQ(-1, sslErrorToInt(QSslError(QSslError::CertificateStatusUnknown)));  // 25
    EXPECT_EQ(-1, sslErrorToInt(QSslError(QSslError::OcspResponseExpired)));
}

}  // namespace
