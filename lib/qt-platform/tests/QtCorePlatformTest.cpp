#include <gtest/gtest.h>

#include <QLoggingCategory>
#include <QMetaObject>
#include <QThread>
#include <csignal>

#include "support/FakeCredentialStorage.h"
#include "FakeTaskScheduler.h"
#include "QtCorePlatform.h"
#include "QtCorePlatformPrivate.h"
#include "QtMessageHandler.h"
#include "common/logging/Logger.h"
#include "support/ChildProcess.h"
#include "support/TempDir.h"

Q_LOGGING_CATEGORY(lcCustom, "Custom")

namespace {

using testsupport::readFile;
using testsupport::runInChild;
using testsupport::splitLines;

// Runs `function` on the Qt thread, in the event loop of `handle`'s object.
void runOnQtThread(IHttpQuery& handle, const std::function<void()>& function) {
    QMetaObject::invokeMethod(dynamic_cast<QObject*>(&handle), function,
                              Qt::BlockingQueuedConnection);
}

class QtCorePlatformTest : public ::testing::Test {
protected:
    // Logging is set up once per process, so scenarios that read the log run in a child process;
    // debug lines reach the CSV file.
    testsupport::ChildResult runLogged(const std::function<int()>& scenario) {
        return runInChild([&] {
            common::Logger::setLogFolder(folder_.path());
            common::Logger::init("Test", "/x/PlatformTest", helper::ApplicationType::ComponentTest,
                                 {common::logsink::rotatingCsv});
            return scenario();
        });
    }
    // How many lines of the log contain `part`.
    int logged(const std::string& part) {
        const auto lines = splitLines(readFile(folder_.file("PlatformTest.csv")));
        return std::count_if(lines.begin(), lines.end(),
                             [&](const auto& line) { return line.find(part) != line.npos; });
    }

    testsupport::TempDir folder_;
};

// Each round ends with every handle released: the platform must find no object alive, however
// late the Qt thread deletes them as it ends.
TEST_F(QtCorePlatformTest, CreatedUsedAndDestroyed500TimesInOneProcess) {
    constexpr int kRounds = 500;
    const auto result = runLogged([] {
        FakeTaskScheduler scheduler;
        FakeCredentialStorage storage;
        for (int round = 0; round < kRounds; ++round) {
            auto platform = QtCorePlatform::create(scheduler, &storage, "platform-test");
            auto& d = platform->internals();
            const auto authenticator = platform->getProxyAuthenticator();
            if (!authenticator || authenticator != platform->getProxyAuthenticator() ||
                storage.loads != round + 1) {
                return 11;
            }
            // Credentials set through one platform are loaded by the next.
            if (round > 0 &&
                (!authenticator->hasCredentials() || authenticator->getUser() != L"anna")) {
                return 13;
            }
            authenticator->setCredentials(L"anna", L"s\u00e9cret");
            auto query = platform->createQuery();
            QThread* ranOn = nullptr;
            runOnQtThread(*query, [&] { ranOn = QThread::currentThread(); });
            if (ranOn != &d || d.networkAccessManager()->thread() != &d ||
                d.objects().liveCount() != 1) {
                return 12;
            }
            query.reset();
            platform.reset();
        }
        return 0;
    });
    ASSERT_TRUE(result.exited) << "signal " << result.signal;
    ASSERT_EQ(0, result.exitCode);
    EXPECT_EQ(kRounds, logged(";debug;;QtPlatform;;;[ MainThread ] created"));
    EXPECT_EQ(kRounds, logged(";debug;;QtPlatform;;;[ default ] stopping"));
    EXPECT_EQ(kRounds, logged(";debug;;QtPlatform;;;[ MainThread ] waiting to main loop to stop"));
    EXPECT_EQ(0, logged("didn't stop in"));
    EXPECT_EQ(kRounds,
              logged(";debug;;QtPlatform;;;[ MainThread ] main loop finished with result 0"));
    EXPECT_EQ(0, logged("still alive"));
    EXPECT_EQ(0, logged("[ MainThread ] destroyed")) << "logged after the logger went";
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
    EXPECT_EQ(1, logged(";critical;;QtPlatform;;;[ default ] QtCorePlatform can only have one "
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
        auto query = platform->createQuery();
        runOnQtThread(*query, [] { qCWarning(lcCustom) << "from the Qt thread"; });
        // Handles still held at the platform's destruction are reported; one released too
        // late is deleted by nobody, but nothing breaks.
        auto alsoKept = platform->createQuery();
        auto early = platform->createQuery();
        early.reset();  // deleted when the thread ends at the latest
        platform.reset();
        query.reset();
        qCWarning(lcCustom) << "after the platform";
        return 0;
    });
    ASSERT_TRUE(result.exited);
    ASSERT_EQ(0, result.exitCode);
    EXPECT_EQ(1, logged(";debug;;QtPlatform;;;[ Custom ] a debug line"));
    EXPECT_EQ(1, logged(";info;;QtPlatform;;;[ Custom ] an info line"));
    EXPECT_EQ(1, logged(";warning;;QtPlatform;;;[ Custom ] a warning with text"));
    EXPECT_EQ(1, logged(";error;;QtPlatform;;;[ Custom ] a critical line"));
    EXPECT_EQ(1, logged(";warning;;QtPlatform;;;alone"));
    EXPECT_EQ(1, logged(";warning;;QtPlatform;;;[ Custom ] from the Qt thread"));
    EXPECT_EQ(0, logged("of no known type"));
    EXPECT_EQ(0, logged("before any platform"));
    EXPECT_EQ(0, logged("after the platform"));
    EXPECT_EQ(1, logged(";warning;;QtPlatform;;;[ default ] 2 object(s) of the platform are still "
                        "alive at its destruction; their handles must be released before the "
                        "platform"));
}

}  // namespace
