#include <gtest/gtest.h>

#include <QLoggingCategory>
#include <QMetaObject>
#include <QThread>
#include <atomic>
#include <csignal>
#include <mutex>
#include <thread>

#include <boost/filesystem.hpp>

#include "FakeCredentialStorage.h"
#include "FakeTaskScheduler.h"
#include "QtCorePlatform.h"
#include "QtCorePlatformPrivate.h"
#include "QtHandle.h"
#include "QtMessageHandler.h"
#include "QtMessageRecorder.h"
#include "ScopedEnvironment.h"
#include "common/credentialstorage/CredentialStorage.h"
#include "common/logging/Logger.h"
#include "common/taskscheduler/ITaskQueue.h"
#include "support/ChildProcess.h"
#include "support/TempDir.h"

Q_LOGGING_CATEGORY(lcCustom, "Custom")

namespace {

using testsupport::readFile;
using testsupport::runInChild;
using testsupport::splitLines;

// An object of the layer as the later factories make them: it lives on the
// Qt thread and posts its results to a task queue, holding its handler set
// only weakly.
class ITestHandle {
public:
    virtual ~ITestHandle() = default;
    virtual void setResultHandler(std::function<void(int)> handler) = 0;
    virtual void produce(int value) = 0;
    virtual void resetHandlers() = 0;
};

class TestHandle : public QObject, public ITestHandle {
public:
    struct Handlers {
        std::function<void(int)> result;
    };

    TestHandle(QThread* thread, common::ITaskQueue& queue, std::atomic<QThread*>& deletedOn)
        : queue_(queue), deletedOn_(deletedOn) {
        moveToThread(thread);
    }
    ~TestHandle() override { deletedOn_ = QThread::currentThread(); }

    void setResultHandler(std::function<void(int)> handler) override {
        std::lock_guard lock(mutex_);
        handlers_->result = std::move(handler);
    }
    void produce(int value) override {
        QMetaObject::invokeMethod(
            this,
            [this, value] {
                std::weak_ptr<Handlers> weak;
                {
                    std::lock_guard lock(mutex_);
                    weak = handlers_;
                }
                queue_.push([weak, value](bool&, unsigned long) {
                    if (auto handlers = weak.lock(); handlers && handlers->result) {
                        handlers->result(value);
                    }
                });
            },
            Qt::QueuedConnection);
    }
    void resetHandlers() override {
        std::lock_guard lock(mutex_);
        handlers_ = std::make_shared<Handlers>();
    }

private:
    common::ITaskQueue& queue_;
    std::atomic<QThread*>& deletedOn_;
    std::mutex mutex_;
    std::shared_ptr<Handlers> handlers_ = std::make_shared<Handlers>();
};

class ForeignHandle : public ITestHandle {
public:
    void setResultHandler(std::function<void(int)>) override {}
    void produce(int) override {}
    void resetHandlers() override { ++resets; }
    int resets = 0;
};

QtHandle<ITestHandle> makeTestHandle(QtCorePlatform& platform, std::atomic<QThread*>& deletedOn) {
    auto& d = platform.internals();
    return makeQtHandle<ITestHandle, TestHandle>(
        d.objects(), new TestHandle(&d, d.queryQueue(), deletedOn),
        [](TestHandle& handle) { handle.resetHandlers(); });
}

bool waitFor(const std::function<bool()>& condition,
             std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

// Runs `function` on the platform's Qt thread and waits for it.
bool runOnQtThread(QtCorePlatform& platform, const std::function<void()>& function) {
    std::atomic<bool> done{false};
    auto* context = platform.internals().networkAccessManager();
    QMetaObject::invokeMethod(
        context,
        [&] {
            function();
            done = true;
        },
        Qt::QueuedConnection);
    return waitFor([&] { return done.load(); });
}

class QtCorePlatformTest : public ::testing::Test {
protected:
    // Logging is set up once per process, so scenarios that read the log run
    // in a child process; debug lines reach the CSV file.
    testsupport::ChildResult runLogged(const std::function<int()>& scenario) {
        return runInChild([&] {
            common::Logger::setLogFolder(folder_.path());
            common::Logger::init("Test", "/x/PlatformTest", helper::ApplicationType::ComponentTest,
                                 {common::logsink::rotatingCsv});
            return scenario();
        });
    }

    std::vector<std::string> logLines() {
        return splitLines(readFile(folder_.file("PlatformTest.csv")));
    }

    int countLines(const std::string& ending) {
        int count = 0;
        for (const auto& line : logLines()) {
            if (line.size() >= ending.size() &&
                line.compare(line.size() - ending.size(), ending.size(), ending) == 0) {
                ++count;
            }
        }
        return count;
    }

    int countContaining(const std::string& part) {
        int count = 0;
        for (const auto& line : logLines()) {
            count += line.find(part) != std::string::npos ? 1 : 0;
        }
        return count;
    }

    testsupport::TempDir folder_;
};

// Each round ends with every handle released: the platform must find no
// object alive, however late the Qt thread deletes them as it ends.
TEST_F(QtCorePlatformTest, CreatedUsedAndDestroyed500TimesInOneProcess) {
    constexpr int kRounds = 500;
    const auto result = runLogged([] {
        FakeTaskScheduler scheduler;
        FakeCredentialStorage storage;
        for (int round = 0; round < kRounds; ++round) {
            auto platform = QtCorePlatform::create(scheduler, &storage, "platform-test");
            if (scheduler.liveQueues() != std::vector<std::string>{"QtCorePlatform::HttpQuery"}) {
                return 10;
            }
            const auto authenticator = platform->getProxyAuthenticator();
            if (!authenticator || authenticator != platform->getProxyAuthenticator() ||
                storage.loads != round + 1) {
                return 11;
            }
            std::atomic<QThread*> ranOn{nullptr};
            if (!runOnQtThread(*platform, [&] { ranOn = QThread::currentThread(); }) ||
                ranOn.load() != &platform->internals() ||
                ranOn.load() == QThread::currentThread()) {
                return 12;
            }
            // A result posted by the Qt thread reaches the main thread's queue.
            int delivered = 0;
            std::atomic<QThread*> deletedOn{nullptr};
            {
                auto query = platform->createQuery();
                auto handle = makeTestHandle(*platform, deletedOn);
                handle->setResultHandler([&](int value) { delivered = value; });
                handle->produce(7);
                if (!scheduler.runUntil([&] { return delivered == 7; })) {
                    return 13;
                }
            }
            platform.reset();
            if (!scheduler.liveQueues().empty() || deletedOn.load() == nullptr) {
                return 14;
            }
        }
        return 0;
    });
    ASSERT_TRUE(result.exited) << "signal " << result.signal;
    ASSERT_EQ(0, result.exitCode);
    EXPECT_EQ(kRounds, countLines(";debug;;QtPlatform;;;[ MainThread ] created"));
    EXPECT_EQ(kRounds, countLines(";debug;;QtPlatform;;;[ default ] stopping"));
    EXPECT_EQ(kRounds,
              countLines(";debug;;QtPlatform;;;[ MainThread ] main loop finished with result 0"));
    EXPECT_EQ(0, countContaining("still alive"));
    EXPECT_EQ(0, countContaining("[ MainThread ] destroyed")) << "logged after the logger went";
}

TEST_F(QtCorePlatformTest, SecondInstanceEndsTheProcessWithTheCriticalLine) {
    const auto result = runLogged([] {
        FakeTaskScheduler scheduler;
        FakeCredentialStorage storage;
        auto first = QtCorePlatform::create(scheduler, &storage, "first");
        auto second = QtCorePlatform::create(scheduler, &storage, "second");
        return 0;
    });
    EXPECT_FALSE(result.exited) << "the process went on with exit code " << result.exitCode;
    EXPECT_EQ(SIGABRT, result.signal);
    EXPECT_EQ(1, countLines(";critical;;QtPlatform;;;[ default ] QtCorePlatform can only have one "
                            "instance at a time and it's already instantiated"));
}

TEST_F(QtCorePlatformTest, QtMessagesArriveInTheLogWithTheirCategoryWhileThePlatformLives) {
    const auto result = runLogged([] {
        qCWarning(lcCustom) << "before any platform";
        FakeTaskScheduler scheduler;
        FakeCredentialStorage storage;
        auto platform = QtCorePlatform::create(scheduler, &storage, "messages");
        qCDebug(lcCustom) << "a debug line";
        qCInfo(lcCustom) << "an info line";
        qCWarning(lcCustom).noquote() << "a warning" << QString("with text");
        qCCritical(lcCustom) << "a critical line";
        qtMessageHandler(QtWarningMsg, QMessageLogContext(), "alone");
        qtMessageHandler(QtMsgType(42), QMessageLogContext(), "of no known type");
        if (!runOnQtThread(*platform, [] { qCWarning(lcCustom) << "from the Qt thread"; })) {
            return 10;
        }
        platform.reset();
        qCWarning(lcCustom) << "after the platform";
        return 0;
    });
    ASSERT_TRUE(result.exited);
    ASSERT_EQ(0, result.exitCode);
    EXPECT_EQ(1, countLines(";debug;;QtPlatform;;;[ Custom ] a debug line"));
    EXPECT_EQ(1, countLines(";info;;QtPlatform;;;[ Custom ] an info line"));
    EXPECT_EQ(1, countLines(";warning;;QtPlatform;;;[ Custom ] a warning with text"));
    EXPECT_EQ(1, countLines(";error;;QtPlatform;;;[ Custom ] a critical line"));
    EXPECT_EQ(1, countLines(";warning;;QtPlatform;;;alone"));
    EXPECT_EQ(1, countLines(";warning;;QtPlatform;;;[ Custom ] from the Qt thread"));
    EXPECT_EQ(0, countContaining("of no known type"));
    EXPECT_EQ(0, countContaining("before any platform"));
    EXPECT_EQ(0, countContaining("after the platform"));
}

TEST_F(QtCorePlatformTest, ReleasedHandleIsDeletedOnTheQtThreadAndItsResultsNeverRun) {
    FakeTaskScheduler scheduler;
    FakeCredentialStorage storage;
    auto platform = QtCorePlatform::create(scheduler, &storage, "handles");
    auto& d = platform->internals();
    std::atomic<QThread*> deletedOn{nullptr};
    auto handle = makeTestHandle(*platform, deletedOn);
    EXPECT_EQ(1, d.objects().liveCount());

    std::vector<int> results;
    handle->setResultHandler([&](int value) { results.push_back(value); });
    handle->produce(1);
    ASSERT_TRUE(scheduler.runUntil([&] { return results.size() == 1; }));

    handle->produce(2);
    ASSERT_TRUE(waitFor([&] { return scheduler.taskCount() == 1; }));
    handle.reset();
    ASSERT_TRUE(waitFor([&] { return deletedOn.load() != nullptr; }));
    EXPECT_EQ(static_cast<QThread*>(&d), deletedOn.load());
    scheduler.runPending();
    EXPECT_EQ(std::vector<int>{1}, results) << "a result posted before the release was delivered";
    EXPECT_TRUE(waitFor([&] { return d.objects().liveCount() == 0; }));
}

TEST_F(QtCorePlatformTest, DeleterIgnoresNullAndForeignObjects) {
    FakeTaskScheduler scheduler;
    FakeCredentialStorage storage;
    auto platform = QtCorePlatform::create(scheduler, &storage, "handles");
    std::atomic<QThread*> deletedOn{nullptr};
    auto handle = makeTestHandle(*platform, deletedOn);
    auto deleter = handle.get_deleter();
    ForeignHandle foreign;
    deleter(&foreign);
    deleter(nullptr);
    EXPECT_EQ(0, foreign.resets);
    handle.reset();
    EXPECT_TRUE(waitFor([&] { return deletedOn.load() != nullptr; }));
}

TEST_F(QtCorePlatformTest, HandlesStillHeldAtDestructionAreReported) {
    const auto result = runLogged([] {
        FakeTaskScheduler scheduler;
        FakeCredentialStorage storage;
        auto platform = QtCorePlatform::create(scheduler, &storage, "late");
        std::atomic<QThread*> first{nullptr};
        std::atomic<QThread*> second{nullptr};
        std::atomic<QThread*> released{nullptr};
        auto kept = makeTestHandle(*platform, first);
        auto alsoKept = makeTestHandle(*platform, second);
        auto early = makeTestHandle(*platform, released);
        early.reset();  // deleted when the thread ends at the latest
        platform.reset();
        if (released.load() == nullptr) {
            return 10;
        }
        kept.reset();  // too late: nothing will delete it, but nothing breaks
        return 0;
    });
    ASSERT_TRUE(result.exited) << "signal " << result.signal;
    ASSERT_EQ(0, result.exitCode);
    EXPECT_EQ(1, countLines(";warning;;QtPlatform;;;[ default ] 2 object(s) of the platform are "
                            "still alive at its destruction; their handles must be released before "
                            "the platform"));
}

TEST_F(QtCorePlatformTest, CredentialsSetThroughOnePlatformAreLoadedByTheNext) {
    testsupport::TempDir home;
    ScopedEnvironment environment;
    environment.clearProxies();
    environment.set("HOME", home.path());
    FakeTaskScheduler scheduler;
    common::credentialstorage::CredentialStorage storage;
    {
        auto platform = QtCorePlatform::create(scheduler, &storage, "first");
        auto proxies = platform->getProxyAuthenticator();
        EXPECT_FALSE(proxies->hasCredentials());
        proxies->setCredentials(L"anna", L"s\u00e9cret");
    }
    EXPECT_TRUE(boost::filesystem::exists(home.path() + "/.local/share/keychains/login.json"));
    {
        auto platform = QtCorePlatform::create(scheduler, &storage, "second");
        auto proxies = platform->getProxyAuthenticator();
        EXPECT_TRUE(proxies->hasCredentials());
        EXPECT_EQ(L"anna", proxies->getUser());
        EXPECT_EQ(L"s\u00e9cret", proxies->getPassword());
    }
}

}  // namespace
