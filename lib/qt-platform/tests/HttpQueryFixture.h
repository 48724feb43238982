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

using namespace std::chrono_literals;
using Events = std::vector<std::string>;
// The events of a query that failed with `error`, or that succeeded (0).
inline Events outcomeOf(int error) {
    return error ? Events{"error:" + std::to_string(error), "finished:0"} : Events{"finished:1"};
}
using QueryHandle = std::unique_ptr<IHttpQuery, std::function<void(IHttpQuery*)>>;

// What a query reported, in order: "error:<code>", "finished:<0|1>" and "ssl:<code>,<code>..."
// as the main thread's tasks delivered them, and the progress records as the Qt thread did.
class QueryOutcome {
public:
    // Sets the finished, error and SSL-errors handlers (and, with `progress`, both progress
    // handlers) of `query`.
    void watch(IHttpQuery& query, bool progress = false);

    Events events() const { return copy(events_); }
    bool finished() const { return copy(finished_); }
    std::vector<IHttpQuery::ProgressInfo> downloads() const { return copy(downloads_); }
    std::vector<IHttpQuery::ProgressInfo> uploads() const { return copy(uploads_); }
    std::function<void()> onFinished;  // runs in the finished handler, after the record

private:
    template <typename T>
    T copy(const T& record) const {
        std::lock_guard lock(mutex_);
        return record;
    }
    void add(const std::string& event) {
        std::lock_guard lock(mutex_);
        events_.push_back(event);
    }

    mutable std::mutex mutex_;
    Events events_;
    bool finished_ = false;
    std::vector<IHttpQuery::ProgressInfo> downloads_, uploads_;
};

// A platform with a fake scheduler, a test web server (plain and, when asked, TLS with a
// self-signed certificate for "quorvane.test") and its journal; no proxy variables set.
class HttpQueryFixture : public ::testing::Test {
protected:
    void TearDown() override;

    // Starts the web server, serving the files of `root()`.
    void startServer(bool tls = false);
    void startPlatform() {
        platform_ = QtCorePlatform::create(scheduler_, &storage_, "http-query-test");
    }
    std::string url(const std::string& path) const;
    std::string httpsUrl(const std::string& path) const;
    std::uint16_t httpPort() const { return server_->readyNumber("http").value_or(0); }

    QueryHandle query();
    bool runUntilFinished(const QueryOutcome& outcome, std::chrono::milliseconds timeout = 30s) {
        return scheduler_.runUntil([&] { return outcome.finished(); }, timeout);
    }
    // Watches `request` with `outcome`, executes it for `requestUrl` and runs the main thread's
    // tasks until it finished.
    bool executeAndWait(IHttpQuery& request, QueryOutcome& outcome, const std::string& requestUrl);

    // The server's journal entries in arrival order, and the requests for exactly `path`.
    std::vector<QJsonObject> journal() const;
    std::vector<QJsonObject> requests(const std::string& path) const;
    // Waits until the journal has `count` entries with `key` (for instance "method" or "event").
    bool waitForJournal(const QString& key, long count = 1) const;
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
};

// Writes `size` bytes of varied binary content to `path`.
void writeTestFile(const std::string& path, std::size_t size, unsigned seed = 1);
// The SHA-256 of a file in hex; empty when it cannot be read.
std::string fileSha256(const std::string& path);
// A loopback port that nothing listens on, as far as can be told.
std::uint16_t unusedPort();
// Runs `call` on a helper thread; false when it has not returned within `timeout`. A call that
// never returns ends the test process, so that nothing it uses goes away beneath it.
bool returnsWithin(const std::function<void()>& call, std::chrono::milliseconds timeout);
