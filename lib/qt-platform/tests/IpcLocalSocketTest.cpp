#include <signal.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>

#include <QLocalServer>
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <thread>

#include "IIpcLocalServer.h"
#include "IpcLocalServer.h"
#include "IpcLocalSocket.h"
#include "LocalSocketFixture.h"
#include "QtMessageRecorder.h"
#include "support/NobodyChild.h"

namespace {

using SocketPtr = IIpcQtSocketPlugin::IpcLocalSocketPtr;
using ServerPtr = IIpcQtSocketPlugin::IpcLocalServerPtr;

class IpcLocalSocketTest : public LocalSocketFixture {
protected:
    void TearDown() override {
        // The servers are released by now; once their deletion has run on the
        // Qt thread nothing more is accepted.
        onQtThread();
        {
            std::lock_guard lock(mutex_);
            accepted_.clear();
        }
        LocalSocketFixture::TearDown();
    }

    // A server whose accepted sockets record their greeting, their messages
    // and their disconnection in `events_`, and are kept in `accepted_`.
    ServerPtr recordingServer(const std::string& name) {
        return platform_->createIpcLocalServer(name, [this](SocketPtr socket) {
            socket->setConnectCallback([this](IIpcLocalSocket*, const std::string& target,
                                              unsigned int) { events_.add("greeted:" + target); });
            socket->setReadCallback(
                [this](IIpcLocalSocket*, const std::string& target, const std::string& message) {
                    events_.add(target + ":" + message);
                });
            socket->setDisconnectCallback([this](IIpcLocalSocket*, const std::string& target,
                                                 unsigned int) { events_.add("gone:" + target); });
            std::lock_guard lock(mutex_);
            accepted_.push_back(std::move(socket));
        });
    }
    // A client that greets the server with its own name once connected; the
    // greeting is a waiting write made on the Qt thread itself.
    SocketPtr greetingClient(const std::string& server, const std::string& name) {
        return platform_->createIpcLocalSocket(
            server, "server", [name](IIpcLocalSocket* socket, const std::string&, unsigned int) {
                EXPECT_TRUE(socket->write(name)) << "the greeting of " << name;
            });
    }
    // Lets the Qt thread run what the server posted; true when it listens.
    bool listening(const std::string& name) {
        onQtThread();
        struct stat status {};
        return ::lstat(name.c_str(), &status) == 0 && S_ISSOCK(status.st_mode);
    }

    Events events_;
    std::mutex mutex_;
    std::vector<SocketPtr> accepted_;
};

TEST_F(IpcLocalSocketTest, GreetingNamesEachAcceptedSocketAndMessagesFollowIt) {
    auto server = recordingServer(path("ipc"));
    ASSERT_TRUE(listening(path("ipc")));
    auto a = greetingClient(path("ipc"), "peer-a");
    ASSERT_TRUE(events_.waitFor(1));
    auto b = greetingClient(path("ipc"), "peer-b");
    ASSERT_TRUE(events_.waitFor(2));
    // One character past the longest frame a reader takes: refused, and the
    // connection goes on.
    EXPECT_FALSE(a->write(std::string(LocalSocketFrameCodec::kMaxFrameBytes / 2 + 1, 'x')));
    EXPECT_TRUE(a->write("one"));
    EXPECT_TRUE(b->writeData("two", false));
    ASSERT_TRUE(events_.waitFor(4));
    EXPECT_EQ(
        (std::vector<std::string>{"greeted:peer-a", "greeted:peer-b", "peer-a:one", "peer-b:two"}),
        events_.all());

    std::unique_lock lock(mutex_);
    ASSERT_EQ(2u, accepted_.size());
    EXPECT_EQ(path("ipc"), accepted_[0]->getSocketName());
    EXPECT_EQ("peer-a", accepted_[0]->getTargetName());
    Events answers;
    a->setReadCallback([&](IIpcLocalSocket*, const std::string& target,
                           const std::string& message) { answers.add(target + ":" + message); });
    EXPECT_TRUE(accepted_[0]->write("welcome"));
    ASSERT_TRUE(answers.waitFor(1));
    EXPECT_EQ(std::vector<std::string>{"server:welcome"}, answers.all());
    a->clearCallbacks();
    lock.unlock();

    // An accepted socket outlives its server.
    std::promise<void> deleted;
    QObject::connect(dynamic_cast<QObject*>(server.get()), &QObject::destroyed,
                     [&] { deleted.set_value(); });
    server.reset();
    ASSERT_EQ(std::future_status::ready, deleted.get_future().wait_for(5s));
    EXPECT_TRUE(b->write("still here"));
    ASSERT_TRUE(events_.waitFor(5));
    EXPECT_EQ("peer-b:still here", events_.all().back());
}

// Frames come whole and in order however they arrive, until one that cannot be read (which
// ones cannot is the codec's test).
TEST_F(IpcLocalSocketTest, FramesAreDeliveredWholeAndAnUnreadableOneDropsTheConnection) {
    auto server = recordingServer(path("ipc"));
    ASSERT_TRUE(listening(path("ipc")));
    RawPeer peer(path("ipc"));
    ASSERT_TRUE(peer.connected());
    const QByteArray split = frame("split");
    peer.send(frame("raw") + frame("one") + frame("") + frame("two") + split.left(7));
    std::this_thread::sleep_for(50ms);
    peer.send(split.mid(7) + QByteArray::fromHex("01000002") + frame("lost"));
    EXPECT_TRUE(peer.closedWithin(5s));
    ASSERT_TRUE(events_.waitFor(5));
    EXPECT_EQ(
        (std::vector<std::string>{"greeted:raw", "raw:one", "raw:two", "raw:split", "gone:raw"}),
        events_.all());
}

// What is found at the server's path: a stale socket of the own user is
// replaced, and so, by root, is another user's; a second name of an own file
// is moved aside; a live server, a file and a link are left alone.
TEST_F(IpcLocalSocketTest, OnlyAStaleOwnSocketOrAnotherUsersSocketIsReplaced) {
    const std::string target = path("target");
    std::ofstream(target) << "precious";
    int live = -1;
    for (const std::string what : {"own socket", "other user's socket", "live own socket", "file",
                                   "symbolic link", "second name of a file"}) {
        SCOPED_TRACE(what);
        const std::string name = path(what);
        if (what == "live own socket") {
            live = unixSocket(name, false);
            ASSERT_EQ(0, ::listen(live, 4));
        } else if (what.find("socket") != what.npos) {
            ASSERT_EQ(0, ::close(unixSocket(name, false)));
            // Planted as root, it is handed to another user.
            if (what == "other user's socket" &&
                (::geteuid() != 0 || ::chown(name.c_str(), 65534, 65534) != 0))
                continue;
        } else if (what == "file") {
            std::ofstream(name) << "planted";
        } else if (what == "second name of a file") {
            ASSERT_EQ(0, ::link(target.c_str(), name.c_str()));
        } else {
            ASSERT_EQ(0, ::symlink(target.c_str(), name.c_str()));
        }
        struct stat before {
        }, after{};
        ASSERT_EQ(0, ::lstat(name.c_str(), &before));
        QtMessageRecorder log;
        auto server = recordingServer(name);
        onQtThread();
        ASSERT_EQ(0, ::lstat(name.c_str(), &after));
        // A replaced socket may get the old inode number back, so only what
        // was kept is compared by inode.
        const bool aside = what == "second name of a file";
        const bool replaced = what == "own socket" || what == "other user's socket" || aside;
        const std::string movedAside =
            "back: moved \"a file of user " + std::to_string(::geteuid()) + " with 2 links\" aside";
        EXPECT_EQ(aside ? 1 : 0, log.count(movedAside, "IpcLocalServer"));
        if (aside) {
            // Beside its old place, still a name of the very file.
            std::vector<ino_t> moved;
            for (const auto& entry : std::filesystem::directory_iterator(path(""))) {
                struct stat status {};
                if (entry.path().filename().string().rfind(what + ".planted-", 0) == 0 &&
                    ::lstat(entry.path().c_str(), &status) == 0) {
                    moved.push_back(status.st_ino);
                }
            }
            EXPECT_EQ(std::vector<ino_t>{before.st_ino}, moved);
        }
        if (!replaced) {
            EXPECT_EQ(before.st_ino, after.st_ino);
            EXPECT_EQ(before.st_mode, after.st_mode);
        } else {
            EXPECT_EQ(after.st_uid, ::geteuid());
            EXPECT_EQ(after.st_mode & 0777, 0666u) << "open to every local user";
        }
        EXPECT_EQ(replaced || what == "live own socket", RawPeer(name).connected());
    }
    ::close(live);
    std::ifstream in(target);
    EXPECT_EQ("precious", std::string(std::istreambuf_iterator<char>(in), {}));
}

// A folder in /tmp that another user may write into, named with the test's
// process id and removed with this object; those that killed runs left are
// removed first. The path is empty when the folder could not be made.
struct PlantingFolder {
    PlantingFolder() {
        const std::string prefix = "qvs-planted-";
        for (const auto& entry : std::filesystem::directory_iterator("/tmp")) {
            const std::string name = entry.path().filename().string();
            const pid_t pid =
                name.rfind(prefix, 0) == 0 ? std::atoi(name.c_str() + prefix.size()) : 0;
            if (pid > 0 && ::kill(pid, 0) != 0 && errno == ESRCH) {
                std::error_code ignored;
                std::filesystem::remove_all(entry.path(), ignored);
            }
        }
        std::string folder = "/tmp/" + prefix + std::to_string(::getpid()) + "-XXXXXX";
        if (::mkdtemp(folder.data()) != nullptr) {
            path = folder;
        }
        if (!path.empty() && ::chmod(path.c_str(), 0777) != 0) {
            ::rmdir(path.c_str());
            path.clear();
        }
    }
    ~PlantingFolder() {
        std::error_code ignored;
        if (!path.empty()) std::filesystem::remove_all(path, ignored);
    }
    PlantingFolder(const PlantingFolder&) = delete;
    PlantingFolder& operator=(const PlantingFolder&) = delete;

    std::string path;
};

// As root, whatever another user put at the path is taken back, a link
// itself and never what it names: removed, or a folder with something in it
// moved aside beside the path; what it was is logged.
TEST_F(IpcLocalSocketTest, AsRootWhatAnotherUserPlantedIsRemovedOrMovedAsideAndLogged) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "the other user needs a root test";
    }
    const PlantingFolder planted;
    ASSERT_FALSE(planted.path.empty());
    const std::string& folder = planted.path;
    const std::string target = path("target");
    std::ofstream(target) << "precious";
    const struct {
        const char* what;
        std::function<bool(const std::string&)> plant;
        const char* logged;
    } cases[] = {
        {"file", [](const std::string& at) { return bool(std::ofstream(at) << "planted"); },
         "removed \"a file of user 65534\""},
        {"link", [&](const std::string& at) { return ::symlink(target.c_str(), at.c_str()) == 0; },
         "removed \"a symbolic link of user 65534\""},
        {"fifo", [](const std::string& at) { return ::mkfifo(at.c_str(), 0666) == 0; },
         "removed \"a FIFO of user 65534\""},
        {"empty", [](const std::string& at) { return ::mkdir(at.c_str(), 0777) == 0; },
         "removed \"a folder of user 65534\""},
        {"full",
         [](const std::string& at) {
             return ::mkdir(at.c_str(), 0777) == 0 && bool(std::ofstream(at + "/kept") << "x");
         },
         "moved \"a folder of user 65534 with something in it\" aside to \""},
    };
    for (const auto& row : cases) {
        SCOPED_TRACE(row.what);
        const std::string name = folder + "/" + row.what;
        testsupport::NobodyChild planter([&] { return row.plant(name); });
        ASSERT_TRUE(planter.succeeded());
        QtMessageRecorder log;
        auto server = recordingServer(name);
        EXPECT_TRUE(listening(name));
        EXPECT_TRUE(RawPeer(name).connected());
        EXPECT_EQ(1, log.count(std::string("back: ") + row.logged, "IpcLocalServer"));
    }
    // The full folder lies beside its old place, whole.
    std::vector<std::string> aside;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        aside.push_back(entry.path().filename().string());
    }
    ASSERT_EQ(1, std::count_if(aside.begin(), aside.end(), [](const std::string& name) {
                  return name.rfind("full.planted-", 0) == 0;
              }));
    for (const auto& name : aside) {
        if (name.rfind("full.planted-", 0) == 0) {
            std::ifstream kept(folder + "/" + name + "/kept");
            EXPECT_EQ("x", std::string(std::istreambuf_iterator<char>(kept), {}));
        }
    }
    std::ifstream in(target);
    EXPECT_EQ("precious", std::string(std::istreambuf_iterator<char>(in), {}));
}

// A peer that closes while its messages wait to be handled: what it sent
// before closing is all handed out before its end is told, bound or not
// (whoever hears of the end lets the socket go).
TEST_F(IpcLocalSocketTest, WhatAPausedPeerSentBeforeClosingIsHandedOutBeforeItsEnd) {
    // About 80 KiB: more than the socket reads at a time.
    constexpr int kMessages = 40;
    auto server = platform_->createIpcLocalServer(path("ipc"), [this](SocketPtr socket) {
        // The first read fills the bound, and no message is ever handled.
        socket->setReadBound(1024);
        socket->setConnectCallback([](IIpcLocalSocket*, const std::string&, unsigned int) {});
        socket->setReadCallback([this](IIpcLocalSocket*, const std::string&,
                                       const std::string& message) { events_.add(message); });
        const auto end = [this](IIpcLocalSocket*, const std::string&, unsigned int) {
            events_.add("end");
        };
        socket->setDisconnectCallback(end);
        socket->setErrorCallback(end);
        std::lock_guard lock(mutex_);
        accepted_.push_back(std::move(socket));
    });
    ASSERT_TRUE(listening(path("ipc")));
    {
        RawPeer peer(path("ipc"));
        ASSERT_TRUE(peer.connected());
        QByteArray bytes = frame("raw");
        for (int i = 0; i < kMessages; ++i) {
            bytes += frame(QString("%1-").arg(i, 2, 10, QLatin1Char('0')) + QString(1000, 'm'));
        }
        peer.send(bytes);
    }
    std::vector<std::string> all;
    for (std::size_t seen = 1; events_.waitFor(seen); ++seen) {
        all = events_.all();
        if (std::find(all.begin(), all.end(), "end") != all.end()) {
            break;
        }
    }
    const auto end = std::find(all.begin(), all.end(), "end");
    ASSERT_NE(end, all.end()) << "the end was not told";
    const auto before = static_cast<int>(end - all.begin());
    EXPECT_EQ(before, kMessages) << "messages handed out before the end";
    for (int i = 0; i < std::min(before, kMessages); ++i) {
        EXPECT_EQ(all[static_cast<std::size_t>(i)].substr(0, 3),
                  QString("%1-").arg(i, 2, 10, QLatin1Char('0')).toStdString());
    }
}

TEST_F(IpcLocalSocketTest, AUserKeepsSixtyFourConnectionsOpenAndTheNextOneIsClosedAtOnce) {
    auto server = recordingServer(path("ipc"));
    ASSERT_TRUE(listening(path("ipc")));
    std::vector<std::unique_ptr<RawPeer>> peers;
    for (int i = 0; i < IpcLocalServer::kMaxConnectionsPerUser; ++i) {
        peers.push_back(std::make_unique<RawPeer>(path("ipc")));
        ASSERT_TRUE(peers.back()->connected());
        peers.back()->send(frame(QString("peer-%1").arg(i)));
    }
    ASSERT_TRUE(events_.waitFor(IpcLocalServer::kMaxConnectionsPerUser));
    RawPeer extra(path("ipc"));
    ASSERT_TRUE(extra.connected());
    // The server may close it before these bytes go; either way they must reach nobody.
    extra.trySend(frame("extra"));
    EXPECT_TRUE(extra.closedWithin(2s)) << "one connection past the cap stayed open";
    for (auto& peer : peers) {
        EXPECT_FALSE(peer->closedWithin(10ms));
    }
    EXPECT_EQ(events_.all().size(), static_cast<std::size_t>(IpcLocalServer::kMaxConnectionsPerUser));
}

// At most kMaxUngreeted connections of all users wait for their greeting; past that, the oldest
// of the user with the most waiting is closed, but never root's, and a connection that greeted
// waits no more. Root's 64 come first, then other users' up to 300 silent connections in all, or
// 260 that greet (each user's greeted before the next user's come) and then one that does not.
TEST_F(IpcLocalSocketTest, PastTheBoundOfUngreetedConnectionsRootsAndGreetedOnesStay) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "the other users need a root test";
    }
    const PlantingFolder planted;
    ASSERT_FALSE(planted.path.empty());
    const std::string& folder = planted.path;
    constexpr int kPerUser = IpcLocalServer::kMaxConnectionsPerUser;
    const QByteArray hello = frame("peer");
    const auto count = [&](const std::string& prefix) {
        const auto all = events_.all();
        return std::count_if(all.begin(), all.end(),
                             [&](const std::string& event) { return event.rfind(prefix, 0) == 0; });
    };
    const auto accepted = [&] {
        std::lock_guard lock(mutex_);
        return accepted_.size();
    };
    const auto until = [](const std::function<bool()>& done) {
        for (const auto end = std::chrono::steady_clock::now() + 20s;
             !done() && std::chrono::steady_clock::now() < end;) {
            std::this_thread::sleep_for(5ms);
        }
        return done();
    };
    for (const bool greet : {false, true}) {
        SCOPED_TRACE(greet ? "greeting" : "silent");
        const std::string name = folder + (greet ? "/greeting" : "/silent");
        QtMessageRecorder log;
        const auto greetedBefore = count("greeted:");
        auto server = recordingServer(name);
        ASSERT_TRUE(listening(name));
        // `n` connections of `user`, kept open until the child is released.
        std::vector<std::unique_ptr<testsupport::NobodyChild>> users;
        const auto connect = [&](uid_t user, int n, bool greeting) {
            users.push_back(std::make_unique<testsupport::NobodyChild>(
                [&, n, greeting] {
                    for (int i = 0; i < n; ++i) {
                        auto* peer = new RawPeer(name);
                        if (!peer->connected()) return false;
                        if (greeting) peer->send(hello);
                    }
                    return true;
                },
                user));
            ASSERT_TRUE(users.back()->succeeded()) << "user " << user;
        };
        std::vector<std::unique_ptr<RawPeer>> roots;
        int total = 0;
        for (const auto& [user, n] : {std::pair<uid_t, int>{0, kPerUser},
                                      {65531, kPerUser},
                                      {65532, kPerUser},
                                      {65533, kPerUser},
                                      {65534, greet ? 4 : 300 - 4 * kPerUser}}) {
            if (user == 0) {
                for (int i = 0; i < n; ++i) {
                    roots.push_back(std::make_unique<RawPeer>(name));
                    if (greet) roots.back()->send(hello);
                }
            } else {
                connect(user, n, greet);
            }
            total += n;
            ASSERT_TRUE(until([&] { return accepted() == static_cast<std::size_t>(total); }));
            if (greet) {
                ASSERT_TRUE(until([&] { return count("greeted:") == greetedBefore + total; }))
                    << "user " << user;
            }
        }
        if (greet) {
            connect(65534, 1, false);
            ASSERT_TRUE(until([&] { return accepted() == static_cast<std::size_t>(total + 1); }));
            onQtThread();
            EXPECT_EQ(0, count("gone:peer")) << "a greeted connection was closed";
            EXPECT_EQ(0, log.count("Closing a connection not greeted yet"));
        } else {
            EXPECT_LE(1, log.count("Closing a connection not greeted yet"))
                << "none closed past the bound";
        }
        EXPECT_EQ(0, log.count("Closing a connection not greeted yet of user 0 "))
            << "root's was closed";
        // The newest first: each holds its elders' ends of their pipes.
        while (!users.empty()) users.pop_back();
        server.reset();
        onQtThread();
        std::lock_guard lock(mutex_);
        accepted_.clear();
    }
}

TEST_F(IpcLocalSocketTest, NothingIsHandedOutAfterCloseOrWithoutACallback) {
    auto closing = recordingServer(path("closing"));
    auto empty = platform_->createIpcLocalServer(path("empty"), {});
    ASSERT_TRUE(listening(path("closing")) && listening(path("empty")));
    // A connection that waits to be accepted when close() is called.
    const auto release = holdQtThread([&] { closing->close(); });
    RawPeer early(path("closing"));
    release();
    RawPeer ignored(path("empty"));
    for (RawPeer* peer : {&early, &ignored}) {
        ASSERT_TRUE(peer->connected());
        EXPECT_TRUE(peer->closedWithin(5s));
    }
    onQtThread();
    EXPECT_FALSE(RawPeer(path("closing")).connected());
    EXPECT_TRUE(events_.all().empty());
    EXPECT_TRUE(accepted_.empty());
}

TEST_F(IpcLocalSocketTest, AWaitingWriteFailsOnceTheQtThreadIsGone) {
    auto server = recordingServer(path("ipc"));
    ASSERT_TRUE(listening(path("ipc")));
    auto client = greetingClient(path("ipc"), "peer-a");
    ASSERT_TRUE(events_.waitFor(1));
    client->clearCallbacks();
    anchor_->deleteLater();
    platform_.reset();  // the connection stays up: nobody is left to notice anything
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(client->write("nobody hears"));
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
    // With the thread gone nothing else deletes them.
    delete dynamic_cast<IpcLocalSocket*>(client.release());
    for (auto& accepted : accepted_) {
        accepted->clearCallbacks();
        delete dynamic_cast<IpcLocalSocket*>(accepted.release());
    }
    accepted_.clear();
    delete dynamic_cast<IpcLocalServer*>(server.release());
    SetUp();
}

}  // namespace
