// The package downloader over the real Qt platform against a local package
// server: requests, retries, the package file and the release of a
// downloader whose work is under way.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/resource.h>

#include <cstring>
#include <thread>

#include <QMetaObject>
#include <QObject>
#include <boost/filesystem.hpp>

#include "Downloader.h"
#include "InstallerBundle.h"
#include "ManualTaskScheduler.h"
#include "PackageServer.h"
#include "QtCorePlatform.h"
#include "common/taskscheduler/TaskScheduler.h"
#include "common/utils/CommandOutput.h"
#include "common/utils/StringConversions.h"
#include "support/ChildProcess.h"
#include "support/FakeCredentialStorage.h"
#include "support/TempDir.h"
#include "support/ThreadRefusal.h"

namespace fs = boost::filesystem;
using common::Downloader;
using installertest::PackageServer;

namespace {

using Clock = std::chrono::steady_clock;

struct Outcome {
    bool ok = false;
    fs::path file;
};

class DownloaderTest : public ::testing::Test {
protected:
    void SetUp() override {
        installertest::writeFile(package_, body_);
        platform_ = QtCorePlatform::create(*scheduler_, &storage_, "downloader-test");
        makeDownloader();
    }

    void TearDown() override {
        downloader_.reset();
        platform_.reset();
    }

    void makeDownloader(std::chrono::milliseconds retryDelay = std::chrono::milliseconds(5)) {
        downloader_ =
            Downloader::create(platform_.get(), scheduler_->createQueue("UnattendedDownloader"),
                               std::make_unique<testsupport::RecordingLogger>(lines_), retryDelay);
    }

    // Runs due tasks one at a time until `done` holds; false when `timeout`
    // passed first.
    bool runUntil(const std::function<bool()>& done,
                  std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
        for (const auto deadline = Clock::now() + timeout; !done();) {
            if (Clock::now() >= deadline) {
                return false;
            }
            scheduler_->onTimer();
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return true;
    }

    // Runs everything that is due now and what that queues without delay.
    void drain() {
        for (int i = 0; i < 100 && scheduler_->taskCount() > 0; ++i) {
            scheduler_->onTimer();
        }
    }

    void start(const std::string& url, const fs::path& folder) {
        downloader_->download(
            url, folder,
            [this](bool ok, const fs::path& file) {
                outcomes_.push_back({ok, file});
            },
            0);
    }

    bool runUntilOutcome(std::size_t count = 1) {
        return runUntil([&] { return outcomes_.size() >= count; }, std::chrono::seconds(30));
    }

    std::string logText() const {
        std::string text;
        for (const auto& line : lines_->all()) {
            text += std::to_string(line.level) + " " + line.text + "\n";
        }
        return text;
    }

    testsupport::TempDir served_{"downloader-served"};
    testsupport::TempDir folder_{"downloader"};
    const std::string package_ = served_.file("agent.zip");
    const std::string body_ = "PK\x03\x04 a package of " + std::string(100000, 'z');
    std::shared_ptr<testsupport::RecordingLogger::Lines> lines_ =
        std::make_shared<testsupport::RecordingLogger::Lines>();
    std::shared_ptr<testsupport::ManualTaskScheduler> scheduler_ =
        std::make_shared<testsupport::ManualTaskScheduler>(
            std::make_shared<testsupport::RecordingLogger::Lines>());
    // Kept in memory: the user's keychain is not touched.
    FakeCredentialStorage storage_;
    std::unique_ptr<QtCorePlatform> platform_;
    std::unique_ptr<common::IDownloader> downloader_;
    std::vector<Outcome> outcomes_;
};

// Failed attempts are repeated up to six in all, and only the folder of a
// download that gave up is remembered. A package where a link stood is a new
// file of the user's own; the log names the User-Agent that the request sends.
TEST_F(DownloaderTest, FailedAttemptsAreRepeatedUpToSixAttemptsInAll) {
    const fs::path target = folder_.path() + "/target";
    const fs::path package = target / "WexoQuandelUnattended.zip";
    for (const std::string plan : {"404", "404,500,200"}) {
        const bool ok = plan != "404";
        const std::size_t attempts = ok ? 3 : 6;
        lines_ = std::make_shared<testsupport::RecordingLogger::Lines>();
        outcomes_.clear();
        makeDownloader();
        PackageServer server(package_, served_.file("journal-" + plan), plan);
        fs::create_directories(target);
        if (ok) {
            fs::create_symlink("/dev/null", package);
        }
        start(server.url(), target);
        ASSERT_TRUE(runUntilOutcome());
        EXPECT_EQ(ok, outcomes_[0].ok);
        EXPECT_EQ(ok ? package : fs::path(), outcomes_[0].file);
        const auto requests = server.requests();
        ASSERT_EQ(attempts, requests.size());
        for (std::size_t i = 0; i < attempts; ++i) {
            EXPECT_EQ("GET", requests[i].method);
            EXPECT_EQ("/WexoQuandelUnattended.zip", requests[i].path);
            EXPECT_EQ(i + 1 == attempts && ok ? 200 : i == 1 && ok ? 500 : 404, requests[i].status);
            EXPECT_EQ("Mac OS X 10_13_6", requests[i].userAgent);
        }
        EXPECT_EQ(static_cast<int>(attempts),
                  lines_->count(common::loglevel::info, "download started from: " + server.url() +
                                                            " with UserAgent: Mac OS X 10_13_6"))
            << logText();
        EXPECT_EQ(!ok, downloader_->removeLastFolder()) << plan;
        EXPECT_EQ(ok, fs::exists(target));
    }
    EXPECT_EQ(body_, testsupport::readFile(package.string()));
    EXPECT_EQ(fs::perms::owner_read | fs::perms::owner_write, fs::status(package).permissions());
    EXPECT_EQ(1, lines_->count(common::loglevel::info,
                               "downloaded file write succeeded: " + package.string()));
}

// A package announced over the 2 GiB limit fails at its head: no byte of
// its body is awaited (the server sends none) and no attempt follows.
TEST_F(DownloaderTest, APackageAnnouncedOverTheLimitFailsAtOnceWithoutRetries) {
    const std::string announced = std::to_string(IHttpQuery::kDefaultMaximumBodySize + 1);
    PackageServer server(package_, served_.file("journal"), "200", false,
                         {"--announce", announced});
    const fs::path target = folder_.path() + "/target";
    fs::create_directories(target);
    const auto started = Clock::now();
    start(server.url(), target);
    ASSERT_TRUE(runUntilOutcome()) << logText();
    EXPECT_LT(Clock::now() - started, std::chrono::seconds(5)) << "the body was awaited";
    EXPECT_FALSE(outcomes_[0].ok);
    EXPECT_EQ(fs::path(), outcomes_[0].file);
    // Time for a retry that must not come.
    runUntil([] { return false; }, std::chrono::milliseconds(200));
    EXPECT_EQ(1u, server.requests().size());
    EXPECT_EQ(1, lines_->count(common::loglevel::error,
                               "The package from " + server.url() + " is larger than " +
                                   std::to_string(IHttpQuery::kDefaultMaximumBodySize) +
                                   " bytes: not tried again"))
        << logText();
    EXPECT_TRUE(fs::is_empty(target));
}

// Without a thread that it needs, the Qt thread or one that Qt starts for
// the request, the download fails at once, saying why, and sends nothing.
TEST_F(DownloaderTest, ADownloadWithoutTheThreadsItNeedsFailsAtOnceSayingWhy) {
    PackageServer server(package_, served_.file("journal"));
    const std::string log = folder_.file("log");
    // The platform is the process's one: each case makes its own in a child.
    downloader_.reset();
    platform_.reset();
    const std::pair<bool, std::string> cases[] = {
        {false, std::string("cannot start a thread: ") + std::strerror(EAGAIN)},
        {true, "Qt could not start a thread for the request"},
    };
    for (const auto& [onlyTheQtThread, cause] : cases) {
        boost::filesystem::remove(log);
        const auto result = testsupport::runInChild([&, onlyTheQtThread = onlyTheQtThread] {
            std::string reason;
            bool refused = !onlyTheQtThread && testsupport::refuseNewThreads(reason);
            platform_ = QtCorePlatform::create(*scheduler_, &storage_, "downloader-test");
            // Without the Qt thread no query is made; with it, the first
            // makes the manager before the Qt thread alone is refused threads.
            if (auto first = platform_->createQuery(); first && onlyTheQtThread) {
                QMetaObject::invokeMethod(
                    dynamic_cast<QObject*>(first.get()),
                    [&] { refused = testsupport::refuseNewThreads(reason, false); },
                    Qt::BlockingQueuedConnection);
            } else if (first && refused) {
                return 2;
            }
            if (!refused) {
                installertest::writeFile(log, reason);
                return 77;
            }
            downloader_ = Downloader::create(
                platform_.get(), scheduler_->createQueue("UnattendedDownloader"),
                std::make_unique<testsupport::RecordingLogger>(lines_),
                std::chrono::milliseconds(5), std::chrono::seconds(1));
            start(server.url(), folder_.path());
            const bool ended = runUntilOutcome();
            installertest::writeFile(log, logText());
            downloader_.reset();
            platform_.reset();
            return !ended ? 3 : outcomes_[0].ok ? 4 : 0;
        }, std::chrono::seconds(60));
        const std::string text = testsupport::readFile(log);
        if (result.exitCode == 77) {
            GTEST_SKIP() << text;
        }
        EXPECT_EQ(0, result.exitCode) << cause << "\n" << text;
        EXPECT_TRUE(installertest::contains(
            text, "4 The download from " + server.url() + " cannot start: " + cause))
            << text;
        EXPECT_FALSE(installertest::contains(text, "Try to download again")) << text;
    }
    EXPECT_EQ(0u, server.requests().size());
}

TEST_F(DownloaderTest, APackageThatCannotBeWrittenWholeIsAFailure) {
    PackageServer server(package_, served_.file("journal"));
    start(server.url(), fs::path());
    ASSERT_EQ(1u, outcomes_.size()) << "an empty folder fails at once";
    EXPECT_EQ(1, lines_->count(common::loglevel::warn,
                               "Could not download file, because path is empty."));
    const fs::path missing = folder_.path() + "/no-such-folder";
    start(server.url(), missing);
    ASSERT_TRUE(runUntilOutcome(2));
    EXPECT_EQ(1, lines_->count(common::loglevel::error,
                               "downloaded file write failed: " + missing.string() +
                                   "/WexoQuandelUnattended.zip"))
        << logText();
    // A write cut short by the file size limit: nothing of it stays.
    rlimit previous{};
    ::getrlimit(RLIMIT_FSIZE, &previous);
    const auto disposition = ::signal(SIGXFSZ, SIG_IGN);
    const rlimit limit{4096, previous.rlim_max};
    start(server.url(), folder_.path());
    ASSERT_TRUE(runUntil([&] { return server.requests().size() == 2; }));
    ::setrlimit(RLIMIT_FSIZE, &limit);
    const bool ended = runUntilOutcome(3);
    ::setrlimit(RLIMIT_FSIZE, &previous);
    ::signal(SIGXFSZ, disposition);
    ASSERT_TRUE(ended);
    EXPECT_FALSE(outcomes_[0].ok || outcomes_[1].ok || outcomes_[2].ok);
    EXPECT_EQ((std::vector<fs::path>{{}, missing / "WexoQuandelUnattended.zip"}),
              (std::vector<fs::path>{outcomes_[0].file, outcomes_[1].file}));
    EXPECT_TRUE(fs::is_empty(folder_.path()));
}

// A waiting retry is dropped; the outcome of a running query never reaches
// a released downloader; a callback may release the downloader.
TEST_F(DownloaderTest, ReleasingTheDownloaderStopsItsWork) {
    PackageServer failing(package_, served_.file("journal-404"), "404");
    makeDownloader(std::chrono::minutes(10));
    start(failing.url(), folder_.path());
    ASSERT_TRUE(runUntil([&] { return lines_->all().size() > 2; }));
    downloader_.reset();
    drain();
    EXPECT_EQ(1u, failing.requests().size());

    makeDownloader();
    start(failing.url(), folder_.path());
    scheduler_->onTimer();  // the attempt starts
    const auto deadline = Clock::now() + std::chrono::seconds(20);
    while (scheduler_->taskCount() == 0 && Clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ASSERT_GT(scheduler_->taskCount(), 0u) << "the outcome is queued";
    downloader_.reset();
    const auto logged = lines_->all().size();
    drain();
    EXPECT_TRUE(outcomes_.empty());
    EXPECT_EQ(logged, lines_->all().size()) << logText();

    PackageServer server(package_, served_.file("journal"), "404,200");
    for (const std::uint32_t tryCount : {Downloader::kRetries, 0u}) {
        makeDownloader();
        downloader_->download(
            server.url(), folder_.path(),
            [&](bool ok, const fs::path&) {
                outcomes_.push_back({ok, {}});
                downloader_.reset();
            },
            tryCount);
        ASSERT_TRUE(runUntilOutcome(outcomes_.size() + 1));
        drain();
    }
    EXPECT_EQ((std::vector<bool>{false, true}),
              (std::vector<bool>{outcomes_[0].ok, outcomes_[1].ok}));
}

TEST_F(DownloaderTest, GetAnswersTheBodyOrAFailureOnce) {
    PackageServer server(package_, served_.file("journal"), "200,404");
    std::vector<std::pair<std::uint32_t, std::string>> answers;
    for (std::size_t i = 1; i <= 2; ++i) {
        downloader_->get(server.url(), [&](std::uint32_t status, const std::string& body) {
            answers.emplace_back(status, body);
        });
        ASSERT_TRUE(runUntil([&] { return answers.size() == i; }));
    }
    EXPECT_EQ((std::vector<std::pair<std::uint32_t, std::string>>{{200, body_}, {1, ""}}), answers);
}

}  // namespace
