#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <QByteArray>
#include <QMetaObject>
#include <QObject>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "support/FakeCredentialStorage.h"
#include "FakeTaskScheduler.h"
#include "LocalSocketFrameCodec.h"
#include "QtCorePlatform.h"
#include "QtCorePlatformPrivate.h"
#include "support/TempDir.h"
#include "support/UnixSocketPeer.h"

using namespace std::chrono_literals;

// What callbacks on the Qt thread saw, in order, for the test's thread.
class Events {
public:
    void add(const std::string& event) {
        std::lock_guard lock(mutex_);
        events_.push_back(event);
        changed_.notify_all();
    }
    // True once at least `count` events are in, within `timeout`.
    bool waitFor(std::size_t count, std::chrono::milliseconds timeout = 10s) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, timeout, [&] { return events_.size() >= count; });
    }
    std::vector<std::string> all() const {
        std::lock_guard lock(mutex_);
        return events_;
    }

private:
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::string> events_;
};

using testsupport::RawPeer;
using testsupport::unixSocket;

inline QByteArray frame(const QString& text) {
    return LocalSocketFrameCodec::encode(text);
}

// A running platform and a private folder for socket paths.
class LocalSocketFixture : public ::testing::Test {
protected:
    void SetUp() override {
        platform_ = QtCorePlatform::create(scheduler_, &storage_, "local-socket-test");
        anchor_ = new QObject();
        anchor_->moveToThread(qtThread());
    }
    void TearDown() override {
        anchor_->deleteLater();
        platform_.reset();
    }

    std::string path(const std::string& name) const { return folder_.file(name); }
    QThread* qtThread() { return &platform_->internals(); }

    // Runs `call` on the Qt thread and waits for it.
    void onQtThread(const std::function<void()>& call = [] {}) { holdQtThread(call)(); }
    // Holds the Qt thread until the returned call, which lets it run `afterwards` and returns
    // once that is done; what is posted meanwhile runs after that, in order, in one go.
    std::function<void()> holdQtThread(std::function<void()> afterwards = [] {}) {
        auto gate = std::make_shared<std::promise<void>>();
        auto held = std::make_shared<std::promise<void>>();
        auto done = std::make_shared<std::promise<void>>();
        QMetaObject::invokeMethod(anchor_, [gate, held, done, afterwards] {
            held->set_value();
            gate->get_future().wait_for(10s);
            afterwards();
            done->set_value();
        });
        held->get_future().wait_for(10s);
        return [gate, done] {
            gate->set_value();
            EXPECT_EQ(std::future_status::ready, done->get_future().wait_for(10s));
        };
    }

    testsupport::TempDir folder_{"qls"};
    FakeTaskScheduler scheduler_;
    FakeCredentialStorage storage_;
    std::unique_ptr<QtCorePlatform> platform_;
    QObject* anchor_ = nullptr;
};
