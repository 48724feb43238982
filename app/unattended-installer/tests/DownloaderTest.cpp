// The package downloader over a scripted network: requests, retries, the
// package file and the release of a downloader whose work is under way.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/resource.h>

#include <algorithm>
#include <cstdarg>
#include <deque>
#include <map>
#include <thread>

#include <boost/filesystem.hpp>

#include "Downloader.h"
#include "IQtNetworkPlugin.h"
#include "common/taskscheduler/TaskScheduler.h"
#include "common/utils/CommandOutput.h"
#include "common/utils/StringConversions.h"
#include "support/ChildProcess.h"
#include "support/TempDir.h"

namespace fs = boost::filesystem;
using common::Downloader;

namespace {

using Clock = std::chrono::steady_clock;

// Keeps every line logged on it.
class MemoryLogger : public common::ILogger {
public:
    struct Line {
        common::LogLevel level;
        std::string text;
    };
    using Lines = std::vector<Line>;

    explicit MemoryLogger(std::shared_ptr<Lines> lines) : lines_(std::move(lines)) {}

    void log(common::LogLevel level, const std::string& text) override {
        lines_->push_back({level, text});
    }
    void log(common::LogLevel level, const common::StructuredRecord&) override {
        lines_->push_back({level, "<record>"});
    }
    void logThrottled(const std::chrono::milliseconds&, const common::LogLevel& level,
                      const std::string& text) override {
        log(level, text);
    }
    common::LogLevel level() const override { return common::loglevel::trace; }
    void setSubName(const std::string&) override {}
    std::string format(const char* format, va_list args) override {
        std::vector<char> buffer(16384);
        std::vsnprintf(buffer.data(), buffer.size(), format, args);
        return buffer.data();
    }

private:
    std::shared_ptr<Lines> lines_;
};

// A scheduler that the test drives: each step runs at most one due task.
class SteppedScheduler : public common::TaskScheduler {
public:
    SteppedScheduler()
        : TaskScheduler(std::make_unique<MemoryLogger>(std::make_shared<MemoryLogger::Lines>()),
                        std::chrono::milliseconds::zero()) {}
    int run() override { return 0; }
    void stop() override {}

    // Runs due tasks until `done` holds; false when `timeout` passed first.
    bool runUntil(const std::function<bool()>& done,
                  std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
        const auto deadline = Clock::now() + timeout;
        while (!done()) {
            if (Clock::now() >= deadline) {
                return false;
            }
            onTimer();
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return true;
    }

    // Runs everything that is due now and what that queues without delay.
    void drain() {
        for (int i = 0; i < 100 && taskCount() > 0; ++i) {
            onTimer();
        }
    }
};

// What one request asked for.
struct Request {
    std::string url;
    IHttpQuery::Operation operation = IHttpQuery::POST;
    bool followRedirects = false;
    std::map<std::string, std::string> headers;
};

// A reply: an error (NoError for success) and the body.
struct Reply {
    IHttpQuery::Error error = IHttpQuery::NoError;
    std::vector<char> body;
};

struct NetworkLog {
    std::vector<Request> requests;
    int created = 0;
    int released = 0;
    // Queries released without their handlers having been cleared first.
    int releasedWithHandlers = 0;
};

// A query that answers from the network's script. Its outcome tasks carry
// copies of the handlers, as a careless platform would: only the
// downloader's own guard keeps them from reaching a released downloader.
class ScriptedQuery : public IHttpQuery {
public:
    ScriptedQuery(common::ITaskQueue& queue, std::deque<Reply>& replies,
                  std::shared_ptr<NetworkLog> log)
        : queue_(queue), replies_(replies), log_(std::move(log)) {}

    bool hasHandlers() const { return finished_ || error_; }

    void setUrl(const std::string& url) override { request_.url = url; }
    void setOperation(Operation operation) override { request_.operation = operation; }
    void setHeader(const std::string& name, const std::string& value) override {
        request_.headers[name] = value;
    }
    void setFinishedHandler(FinishedHandler handler) override { finished_ = std::move(handler); }
    void setErrorHandler(ErrorHandler handler) override { error_ = std::move(handler); }
    void setDownloadProgressHandler(ProgressHandler) override {}
    void setUploadProgressHandler(ProgressHandler) override {}
    void setSslErrorsHandler(SslErrorsHandler) override {}
    void setBody(const std::string&) override {}
    void setContentType(const std::string&) override {}
    void setFollowRedirects() override { request_.followRedirects = true; }
    const std::vector<char>& getResponseData() const override { return data_; }
    const std::string& getResponseText() const override { return text_; }
    const std::map<std::string, std::string>& getResponseHeaders() const override {
        return headers_;
    }
    std::string getResponseHeader(const std::string&) const override { return {}; }
    int getStatusCode() const override { return 0; }

    void execute() override {
        log_->requests.push_back(request_);
        Reply reply = replies_.size() > 1 ? replies_.front() : replies_.back();
        if (replies_.size() > 1) {
            replies_.pop_front();
        }
        data_ = reply.body;
        text_.assign(reply.body.begin(), reply.body.end());
        if (reply.error != NoError) {
            queue_.push([handler = error_, error = reply.error](bool&, unsigned long) {
                if (handler) {
                    handler(error);
                }
            });
        }
        queue_.push([handler = finished_, ok = reply.error == NoError](bool&, unsigned long) {
            if (handler) {
                handler(ok);
            }
        });
    }
    void downloadFile(const std::string&) override {}
    void transferFile(const std::string&) override {}
    void abort() override {}
    void reset() override {}
    bool wait(int) override { return true; }
    void setIgnoredSslErrors(const std::vector<int>&) override {}
    void resetHandlers() override {
        finished_ = nullptr;
        error_ = nullptr;
    }

private:
    common::ITaskQueue& queue_;
    std::deque<Reply>& replies_;
    std::shared_ptr<NetworkLog> log_;
    Request request_;
    FinishedHandler finished_;
    ErrorHandler error_;
    std::vector<char> data_;
    std::string text_;
    std::map<std::string, std::string> headers_;
};

// The network side of the platform, answering from a script of replies (the
// last one repeats); outcomes come back as tasks of its own queue.
class ScriptedNetwork : public IQtNetworkPlugin {
public:
    explicit ScriptedNetwork(common::ITaskScheduler& scheduler)
        : queue_(scheduler.createQueue("QtCorePlatform::HttpQuery")),
          log_(std::make_shared<NetworkLog>()) {}
    ~ScriptedNetwork() override {
        queue_->finish([](bool&, unsigned long) {}, true);
    }

    void script(std::deque<Reply> replies) { replies_ = std::move(replies); }
    NetworkLog& log() const { return *log_; }

    std::unique_ptr<IHttpQuery, std::function<void(IHttpQuery*)>> createQuery() const override {
        ++log_->created;
        return {new ScriptedQuery(*queue_, replies_, log_), [log = log_](IHttpQuery* query) {
                    auto* scripted = static_cast<ScriptedQuery*>(query);
                    ++log->released;
                    log->releasedWithHandlers += scripted->hasHandlers() ? 1 : 0;
                    delete scripted;
                }};
    }
    std::shared_ptr<IProxyAuthenticator> getProxyAuthenticator() override { return nullptr; }
    void setReservedHandler(ReservedHandler) override {}
    void setProxyCredentialsRequestHandler(ProxyCredentialsRequestHandler) override {}

private:
    std::unique_ptr<common::ITaskQueue> queue_;
    mutable std::deque<Reply> replies_{Reply{}};
    std::shared_ptr<NetworkLog> log_;
};

struct Outcome {
    bool ok = false;
    fs::path file;
};

std::vector<char> bytes(const std::string& text) {
    return {text.begin(), text.end()};
}

class DownloaderTest : public ::testing::Test {
protected:
    void SetUp() override {
        downloader_ = Downloader::create(&network_, scheduler_->createQueue("UnattendedDownloader"),
                                         std::make_unique<MemoryLogger>(lines_),
                                         std::chrono::milliseconds(5));
    }

    void TearDown() override { downloader_.reset(); }

    void start(const fs::path& folder) {
        downloader_->download(
            url_, folder,
            [this](bool ok, const fs::path& file) {
                outcomes_.push_back({ok, file});
            },
            0);
    }

    bool runUntilOutcome() {
        return scheduler_->runUntil([this] { return !outcomes_.empty(); });
    }

    int count(common::LogLevel level, const std::string& text) const {
        return static_cast<int>(std::count_if(
            lines_->begin(), lines_->end(),
            [&](const auto& line) { return line.level == level && line.text == text; }));
    }

    std::string logText() const {
        std::string text;
        for (const auto& line : *lines_) {
            text += std::to_string(line.level) + " " + line.text + "\n";
        }
        return text;
    }

    static Reply notFound() { return {IHttpQuery::ContentNotFoundError, bytes("status 404")}; }

    std::shared_ptr<SteppedScheduler> scheduler_ = std::make_shared<SteppedScheduler>();
    ScriptedNetwork network_{*scheduler_};
    std::shared_ptr<MemoryLogger::Lines> lines_ = std::make_shared<MemoryLogger::Lines>();
    std::unique_ptr<common::IDownloader> downloader_;
    std::vector<Outcome> outcomes_;
    testsupport::TempDir folder_{"downloader"};
    const std::string url_ = "https://downloads.example.org/agent.zip";
};

TEST_F(DownloaderTest, ASuccessfulReplyReplacesThePackageFileWithTheWholeBody) {
    const std::string body("PK\x03\x04\0binary\0body", 17);
    network_.script({{IHttpQuery::NoError, bytes(body)}});
    const fs::path package = folder_.path() + "/WexoQuandelUnattended.zip";
    fs::create_symlink("/dev/null", package);
    start(folder_.path());
    ASSERT_TRUE(runUntilOutcome());
    scheduler_->drain();
    ASSERT_EQ(1u, outcomes_.size());
    EXPECT_TRUE(outcomes_[0].ok);
    EXPECT_EQ(package, outcomes_[0].file);
    EXPECT_EQ(body, testsupport::readFile(package.string()));
    EXPECT_EQ(fs::perms::owner_read | fs::perms::owner_write, fs::status(package).permissions());
    ASSERT_EQ(1u, network_.log().requests.size());
    const Request& request = network_.log().requests[0];
    EXPECT_EQ(url_, request.url);
    EXPECT_EQ(IHttpQuery::GET, request.operation);
    EXPECT_TRUE(request.followRedirects);
    EXPECT_EQ((std::map<std::string, std::string>{{"User-Agent", "Mac OS X 10_13_6"}}),
              request.headers);
    // The log names the real system, whatever the header says.
    const std::string system = common::wstringToUtf8(common::getOSVersion());
    EXPECT_EQ(1, count(common::loglevel::info,
                       "download started from: " + url_ + " with UserAgent: " + system))
        << logText();
    EXPECT_EQ(
        1, count(common::loglevel::info, "downloaded file write succeeded: " + package.string()));
    EXPECT_EQ(1, network_.log().released);
}

TEST_F(DownloaderTest, FailedAttemptsAreRepeatedUpToSixAttemptsInAll) {
    const Reply refused{IHttpQuery::ConnectionRefusedError, {}};
    struct Case {
        std::deque<Reply> script;
        std::size_t attempts;
        bool ok;
    };
    for (const Case& c : {Case{{notFound()}, 6, false},
                          Case{{notFound(), refused, {{}, bytes("zip")}}, 3, true}}) {
        SetUp();
        outcomes_.clear();
        lines_->clear();
        network_.log().requests.clear();
        network_.script(c.script);
        const fs::path target = folder_.path() + "/target";
        fs::create_directories(target);
        start(target);
        ASSERT_TRUE(runUntilOutcome());
        scheduler_->drain();
        ASSERT_EQ(1u, outcomes_.size());
        EXPECT_EQ(c.ok, outcomes_[0].ok);
        EXPECT_EQ(c.ok ? target / "WexoQuandelUnattended.zip" : fs::path(), outcomes_[0].file);
        EXPECT_EQ(c.attempts, network_.log().requests.size());
        for (std::size_t tryCount = 0; tryCount < 6; ++tryCount) {
            EXPECT_EQ(tryCount + 1 < c.attempts ? 1 : 0,
                      count(common::loglevel::error, "Try to download again from: " + url_ +
                                                         ", try count: " +
                                                         std::to_string(tryCount)))
                << logText();
        }
        EXPECT_EQ(c.ok ? 1 : 6, count(common::loglevel::error,
                                      "Download failed from: " + url_ +
                                          " with Error Code: ContentNotFoundError"));
        // Only the folder of a download that gave up is remembered.
        EXPECT_EQ(!c.ok, downloader_->removeLastFolder());
        EXPECT_EQ(c.ok, fs::exists(target));
    }
    EXPECT_EQ(network_.log().created, network_.log().released);
}

TEST_F(DownloaderTest, APackageThatCannotBeWrittenIsAFailure) {
    start(fs::path());
    ASSERT_EQ(1u, outcomes_.size()) << "an empty folder fails at once";
    EXPECT_EQ(1, count(common::loglevel::warn, "Could not download file, because path is empty."));
    const fs::path missing = folder_.path() + "/no-such-folder";
    start(missing);
    ASSERT_TRUE(scheduler_->runUntil([&] { return outcomes_.size() == 2; }));
    EXPECT_FALSE(outcomes_[0].ok || outcomes_[1].ok);
    EXPECT_EQ((std::vector<fs::path>{{}, missing / "WexoQuandelUnattended.zip"}),
              (std::vector<fs::path>{outcomes_[0].file, outcomes_[1].file}));
    EXPECT_EQ(1, count(common::loglevel::error, "downloaded file write failed: " +
                                                    missing.string() + "/WexoQuandelUnattended.zip"))
        << logText();
    EXPECT_EQ(1u, network_.log().requests.size());

    // A write cut short by the file size limit: nothing of it stays.
    const auto result = testsupport::runInChild([&] {
        ::signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{4096, 4096};
        network_.script({{IHttpQuery::NoError, std::vector<char>(100 * 1024, 'z')}});
        outcomes_.clear();
        start(folder_.path());
        if (::setrlimit(RLIMIT_FSIZE, &limit) != 0 || !runUntilOutcome()) {
            return 90;
        }
        return !outcomes_[0].ok && fs::is_empty(folder_.path()) ? 0 : 91;
    });
    EXPECT_EQ(0, result.exitCode) << result.errors;
}

TEST_F(DownloaderTest, ReleasingTheDownloaderStopsItsWork) {
    // A waiting retry is dropped.
    downloader_ =
        Downloader::create(&network_, scheduler_->createQueue("UnattendedDownloader"),
                           std::make_unique<MemoryLogger>(lines_), std::chrono::minutes(10));
    network_.script({notFound()});
    start(folder_.path());
    ASSERT_TRUE(scheduler_->runUntil([&] {
        return count(common::loglevel::error,
                     "Try to download again from: " + url_ + ", try count: 0") == 1;
    }));
    downloader_.reset();
    scheduler_->drain();
    EXPECT_EQ(1u, network_.log().requests.size());
    EXPECT_EQ(0u, scheduler_->taskCount());
    // Outcomes already queued for a running query never reach it.
    SetUp();
    start(folder_.path());
    ASSERT_TRUE(scheduler_->runUntil([&] { return network_.log().requests.size() == 2; }));
    ASSERT_GT(scheduler_->taskCount(), 0u);
    downloader_.reset();
    EXPECT_EQ(0, network_.log().releasedWithHandlers) << "handlers are cleared before release";
    const auto logged = lines_->size();
    scheduler_->drain();
    EXPECT_TRUE(outcomes_.empty());
    EXPECT_EQ(logged, lines_->size()) << logText();
}

TEST_F(DownloaderTest, ACallbackMayReleaseTheDownloader) {
    for (const auto& reply :
         {Reply{IHttpQuery::NoError, bytes("zip")}, Reply{IHttpQuery::ContentNotFoundError, {}}}) {
        SetUp();
        network_.script({reply});
        bool called = false;
        downloader_->download(
            url_, folder_.path(),
            [&](bool, const fs::path&) {
                called = true;
                downloader_.reset();
            },
            Downloader::kRetries);
        ASSERT_TRUE(scheduler_->runUntil([&] { return called; }));
        scheduler_->drain();
    }
    EXPECT_EQ(network_.log().created, network_.log().released);
}

TEST_F(DownloaderTest, GetAnswersTheBodyOrAFailureOnce) {
    std::vector<std::pair<std::uint32_t, std::string>> answers;
    auto record = [&](std::uint32_t status, const std::string& body) {
        answers.emplace_back(status, body);
    };
    network_.script({{IHttpQuery::NoError, bytes("{\"v\":1}")}, {IHttpQuery::TimeoutError, {}}});
    downloader_->get(url_, record);
    ASSERT_TRUE(scheduler_->runUntil([&] { return answers.size() == 1; }));
    downloader_->get(url_, record);
    ASSERT_TRUE(scheduler_->runUntil([&] { return answers.size() == 2; }));
    scheduler_->drain();
    EXPECT_EQ((std::vector<std::pair<std::uint32_t, std::string>>{{200, "{\"v\":1}"}, {1, ""}}),
              answers);
    EXPECT_FALSE(network_.log().requests[0].followRedirects);
    EXPECT_EQ(2, network_.log().released);
}

}  // namespace
