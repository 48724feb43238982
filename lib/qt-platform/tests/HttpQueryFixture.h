#pragma once

#include <gtest/gtest.h>

#include <QCryptographicHash>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkProxy>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "FakeTaskScheduler.h"
#include "IHttpQuery.h"
#include "QtCorePlatform.h"
#include "ScopedEnvironment.h"
#include "support/ChildProcess.h"
#include "support/FakeCredentialStorage.h"
#include "support/LoopbackPort.h"
#include "support/ScriptServer.h"
#include "support/TempDir.h"

using namespace std::chrono_literals;
using Events = std::vector<std::string>;
using QueryHandle = std::unique_ptr<IHttpQuery, std::function<void(IHttpQuery*)>>;

// The events of a query that failed with `error`, or that succeeded (0).
inline Events outcomeOf(int error) {
    return error ? Events{"error:" + std::to_string(error), "finished:0"} : Events{"finished:1"};
}

// What a query reported, in order: "error:<code>", "finished:<0|1>" and "ssl:<code>,<code>..."
// as the main thread's tasks delivered them, and the progress records as the Qt thread did.
class QueryOutcome {
public:
    // Sets the finished, error and SSL-errors handlers (and, with `progress`, both progress
    // handlers) of `query`.
    void watch(IHttpQuery& query, bool progress = false) {
        query.setErrorHandler([this](IHttpQuery::Error error) {
            std::lock_guard lock(mutex_);
            events_.push_back("error:" + std::to_string(error));
        });
        query.setFinishedHandler([this](bool success) {
            {
                std::lock_guard lock(mutex_);
                events_.push_back(success ? "finished:1" : "finished:0");
                finished_ = true;
            }
            if (onFinished) onFinished();
        });
        query.setSslErrorsHandler([this](std::vector<int> codes) {
            std::string text = "ssl";
            for (const int code : codes)
                text += (text.size() > 3 ? "," : ":") + std::to_string(code);
            std::lock_guard lock(mutex_);
            events_.push_back(text);
        });
        if (!progress) return;
        query.setDownloadProgressHandler([this](IHttpQuery::ProgressInfo info) {
            std::lock_guard lock(mutex_);
            downloads_.push_back(std::move(info));
        });
        query.setUploadProgressHandler([this](IHttpQuery::ProgressInfo info) {
            std::lock_guard lock(mutex_);
            uploads_.push_back(std::move(info));
        });
    }

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

    mutable std::mutex mutex_;
    Events events_;
    bool finished_ = false;
    std::vector<IHttpQuery::ProgressInfo> downloads_, uploads_;
};

// Writes "key.pem" and "cert.pem" into `folder`: a self-signed certificate for
// "quorvane.test", valid for two days.
inline bool makeSelfSignedCertificate(const std::string& folder) {
    const auto run = testsupport::runCommand(
        {"/usr/bin/openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt",
         "ec_paramgen_curve:prime256v1", "-nodes", "-days", "2", "-subj", "/CN=quorvane.test",
         "-keyout", folder + "/key.pem", "-out", folder + "/cert.pem"});
    return run.exited && run.exitCode == 0;
}

using testsupport::unusedPort;

// A platform with a fake scheduler, a test web server (plain and, when asked, TLS with a
// self-signed certificate for "quorvane.test") serving the files of `root()`, and its journal;
// no proxy variables set.
class HttpQueryFixture : public ::testing::Test {
protected:
    void TearDown() override {
        platform_.reset();
        // The application proxy is process-wide; leave none behind.
        QNetworkProxy::setApplicationProxy(QNetworkProxy(QNetworkProxy::NoProxy));
        server_.reset();
    }

    void startServer(bool tls = false) {
        std::vector<std::string> arguments{"--journal", scratch_.file("journal"), "--root", root()};
        if (tls) {
            ASSERT_TRUE(makeSelfSignedCertificate(scratch_.path()));
            arguments.insert(arguments.end(), {"--cert", scratch_.file("cert.pem"), "--key",
                                               scratch_.file("key.pem")});
        }
        server_ = std::make_unique<testsupport::ScriptServer>(
            testsupport::testSupportDirectory() + "/http_test_server.py", arguments);
        ASSERT_TRUE(server_->ready()) << "the test web server did not start";
    }
    void startPlatform() {
        platform_ = QtCorePlatform::create(scheduler_, &storage_, "http-query-test");
    }
    std::uint16_t httpPort() const { return server_->readyNumber("http").value_or(0); }
    std::string url(const std::string& path) const {
        return "http://127.0.0.1:" + std::to_string(httpPort()) + path;
    }
    std::string httpsUrl(const std::string& path) const {
        return "https://127.0.0.1:" + std::to_string(*server_->readyNumber("https")) + path;
    }

    QueryHandle query() {
        if (!platform_) startPlatform();
        return platform_->createQuery();
    }
    bool runUntilFinished(const QueryOutcome& outcome, std::chrono::milliseconds timeout = 30s) {
        return scheduler_.runUntil([&] { return outcome.finished(); }, timeout);
    }
    // Watches `request` with `outcome`, executes it for `requestUrl` and runs the main thread's
    // tasks until it finished.
    bool executeAndWait(IHttpQuery& request, QueryOutcome& outcome, const std::string& requestUrl) {
        outcome.watch(request);
        request.setUrl(requestUrl);
        request.execute();
        return runUntilFinished(outcome);
    }

    // The server's journal entries in arrival order.
    std::vector<QJsonObject> journal() const {
        std::vector<QJsonObject> entries;
        std::ifstream in(scratch_.file("journal"));
        for (std::string line; std::getline(in, line);) {
            entries.push_back(QJsonDocument::fromJson(QByteArray::fromStdString(line)).object());
        }
        return entries;
    }
    // The requests for exactly `path`.
    std::vector<QJsonObject> requests(const std::string& path) const {
        auto found = journal();
        found.erase(std::remove_if(found.begin(), found.end(),
                                   [&](const QJsonObject& entry) {
                                       return entry.value("path").toString().toStdString() !=
                                                  path ||
                                              !entry.contains("method");
                                   }),
                    found.end());
        return found;
    }
    // Waits until the journal has `count` entries with `key` (for instance "method" or "event").
    bool waitForJournal(const QString& key, long count = 1) const {
        const auto deadline = std::chrono::steady_clock::now() + 10s;
        const auto seen = [&] {
            const auto entries = journal();
            return count <=
                   std::count_if(entries.begin(), entries.end(),
                                 [&](const QJsonObject& entry) { return entry.contains(key); });
        };
        while (!seen() && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(10ms);
        }
        return seen();
    }
    // A request header from a journal entry (any case); nothing when absent.
    static std::optional<std::string> header(const QJsonObject& entry, const std::string& name) {
        for (const auto& pair : entry.value("headers").toArray()) {
            const auto item = pair.toArray();
            if (item.at(0).toString().compare(name.c_str(), Qt::CaseInsensitive) == 0) {
                return item.at(1).toString().toStdString();
            }
        }
        return std::nullopt;
    }

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
inline void writeTestFile(const std::string& path, std::size_t size, unsigned seed = 1) {
    std::mt19937_64 random(seed);
    std::string bytes(size + 8, '\0');
    for (std::size_t at = 0; at < size; at += 8) {
        const auto word = random();
        std::memcpy(&bytes[at], &word, 8);
    }
    ASSERT_TRUE(std::ofstream(path, std::ios::binary).write(bytes.data(), size));
}

// The SHA-256 of a file in hex; empty when it cannot be read.
inline std::string fileSha256(const std::string& path) {
    QFile file(QString::fromStdString(path));
    QCryptographicHash hash(QCryptographicHash::Sha256);
    return file.open(QIODevice::ReadOnly) && hash.addData(&file)
               ? hash.result().toHex().toStdString()
               : "";
}

// Runs `call` on a helper thread; false when it has not returned within `timeout`. A call that
// never returns ends the test process, so that nothing it uses goes away beneath it.
inline bool returnsWithin(const std::function<void()>& call, std::chrono::milliseconds timeout) {
    auto done = std::make_shared<std::promise<void>>();
    auto future = done->get_future();
    std::thread([call, done] {
        call();
        done->set_value();
    }).detach();
    if (future.wait_for(timeout) == std::future_status::ready) return true;
    ADD_FAILURE() << "the call did not return within " << timeout.count() << " ms";
    std::fflush(nullptr);
    std::_Exit(1);
}
