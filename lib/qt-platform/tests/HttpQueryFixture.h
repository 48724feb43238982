#pragma once

#include <gtest/gtest.h>

#include <QJsonObject>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "FakeCredentialStorage.h"
#include "FakeTaskScheduler.h"
#include "IHttpQuery.h"
#include "QtCorePlatform.h"
#include "ScopedEnvironment.h"
#include "support/ScriptServer.h"
#include "support/TempDir.h"

using QueryHandle = std::unique_ptr<IHttpQuery, std::function<void(IHttpQuery*)>>;

// What a query reported, in order: "error:<code>", "finished:<0|1>" and
// "ssl:<code>,<code>..." as the main thread's tasks delivered them, and the
// progress records as the Qt thread delivered them.
class QueryOutcome {
public:
    // Sets the finished, error and SSL-errors handlers (and, with `progress`,
    // both progress handlers) of `query`.
    void watch(IHttpQuery& query, bool progress = false);

    std::vector<std::string> events() const;
    bool finished() const;
    std::vector<IHttpQuery::ProgressInfo> downloads() const;
    std::vector<IHttpQuery::ProgressInfo> uploads() const;
    // Runs while the finished handler runs (after it has been recorded).
    std::function<void()> onFinished;

private:
    mutable std::mutex mutex_;
    std::vector<std::string> events_;
    bool finished_ = false;
    std::vector<IHttpQuery::ProgressInfo> downloads_;
    std::vector<IHttpQuery::ProgressInfo> uploads_;
};

// A platform with a fake scheduler, a test web server (plain and, when asked,
// TLS with a self-signed certificate for "quorvane.test") and its journal.
// No proxy variables are set unless a test sets them.
class HttpQueryFixture : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Starts the web server, serving the files of `root()`.
    void startServer(bool tls = false);
    void startPlatform();

    std::string url(const std::string& path) const;
    std::string httpsUrl(const std::string& path) const;
    std::uint16_t httpPort() const;

    QueryHandle query();
    // Runs the main thread's tasks until the outcome's finished handler ran.
    bool runUntilFinished(const QueryOutcome& outcome,
                          std::chrono::milliseconds timeout = std::chrono::seconds(30));

    // Watches `request` with `outcome`, sends it to `requestUrl` with
    // execute, and runs the main thread's tasks until it finished.
    bool executeAndWait(IHttpQuery& request, QueryOutcome& outcome, const std::string& requestUrl);

    // The server's journal entries, in arrival order.
    std::vector<QJsonObject> journal() const;
    // The requests whose path is exactly `path`.
    std::vector<QJsonObject> requests(const std::string& path) const;
    // Waits until `condition` holds for the journal.
    bool waitForJournal(const std::function<bool(const std::vector<QJsonObject>&)>& condition,
                        std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;

    // A request header from a journal entry (any case); nothing when absent.
    static std::optional<std::string> header(const QJsonObject& entry, const std::string& name);
    static std::string body(const QJsonObject& entry);

    const std::string& root() const { return root_.path(); }
    const std::string& scratch() const { return scratch_.path(); }

    ScopedEnvironment environment_;
    testsupport::TempDir root_{"quorvane-web"};
    testsupport::TempDir scratch_{"quorvane-files"};
    FakeTaskScheduler scheduler_;
    FakeCredentialStorage storage_;
    std::unique_ptr<QtCorePlatform> platform_;
    std::unique_ptr<testsupport::ScriptServer> server_;
    std::string journalPath_;
};

// Writes `size` bytes of varied binary content to `path`.
void writeTestFile(const std::string& path, std::size_t size, unsigned seed = 1);
// The SHA-256 of a file in hex; empty when it cannot be read.
std::string fileSha256(const std::string& path);
// Makes a self-signed certificate for "quorvane.test" and its key in `folder`
// ("cert.pem", "key.pem"); false when openssl failed.
bool makeSelfSignedCertificate(const std::string& folder);
// A loopback port that nothing listens on, as far as can be told.
std::uint16_t unusedPort();
// Runs `call` on a helper thread; false when it has not returned within
// `timeout`. A call that never returns ends the test process, so that
// nothing it uses goes away beneath it.
bool returnsWithin(const std::function<void()>& call, std::chrono::milliseconds timeout);
