#pragma once

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
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

#include "FakeCredentialStorage.h"
#include "FakeTaskScheduler.h"
#include "LocalSocketFrameCodec.h"
#include "QtCorePlatform.h"
#include "QtCorePlatformPrivate.h"
#include "support/TempDir.h"

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

// Binds an AF_UNIX stream socket at `path` (or connects it there); -1 when that fails.
inline int unixSocket(const std::string& path, bool connect) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{AF_UNIX, {}};
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    const auto* at = reinterpret_cast<sockaddr*>(&address);
    if ((connect ? ::connect(fd, at, sizeof address) : ::bind(fd, at, sizeof address)) == 0) {
        return fd;
    }
    ::close(fd);
    return -1;
}

// A peer that speaks raw bytes over an AF_UNIX stream socket, from the test's thread.
class RawPeer {
public:
    explicit RawPeer(const std::string& path) : fd_(unixSocket(path, true)) {}
    ~RawPeer() { ::close(fd_); }
    bool connected() const { return fd_ >= 0; }
    void send(const QByteArray& bytes) {
        ASSERT_EQ(bytes.size(), ::send(fd_, bytes.constData(), bytes.size(), MSG_NOSIGNAL));
    }
    // True when the other end closes the connection within `timeout`.
    bool closedWithin(std::chrono::milliseconds timeout) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        char buffer[4096];
        while (std::chrono::steady_clock::now() < deadline) {
            pollfd entry{fd_, POLLIN, 0};
            if (::poll(&entry, 1, 50) > 0 && ::recv(fd_, buffer, sizeof buffer, 0) <= 0) {
                return true;
            }
        }
        return false;
    }

private:
    int fd_;
};

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
