#pragma once

#include <sys/types.h>

#include <QObject>
#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "IIpcLocalServer.h"

class QSocketNotifier;
class QThread;
class QTimer;

// Listens under a name on the Qt thread, the socket file open to every local
// user, and hands each accepted connection as an accepted IpcLocalSocket to
// the connect callback. A stale socket of its own user under the name is
// replaced, and so, when it runs as root, is whatever another user planted
// there, which is removed or moved aside and logged (LocalServerPath); so is
// a second name that another user gave a file of its own user there (a hard
// link), which is moved aside and logged. A live server of its own user and
// anything else are left alone, and the server does not listen.
//
// Each peer's user comes from the kernel. A user has at most
// kMaxConnectionsPerUser connections open at a time (more are closed at
// once), and a connection that does not greet within kGreetingTimeoutMs is
// closed. At most kMaxUngreeted connections of all users wait for their
// greeting: past that, the oldest of the user with the most waiting is closed
// (root's never), so that many users cannot take every descriptor. At most
// kAcceptBatch connections are taken per wake-up; when the process runs out
// of descriptors the listener keeps its socket and tries again every
// kAcceptRetryMs.
class IpcLocalServer : public QObject, public IIpcLocalServer {
    Q_OBJECT

public:
    static constexpr int kMaxConnectionsPerUser = 64;
    static constexpr int kGreetingTimeoutMs = 3000;
    static constexpr int kAcceptBatch = 64;
    static constexpr int kAcceptRetryMs = 100;
    static constexpr int kBacklog = 128;
    static constexpr int kMaxUngreeted = 256;

    IpcLocalServer(const std::string& name, QThread* thread, ConnectCallback connectCallback);
    ~IpcLocalServer() override;

    void setConnectCallback(ConnectCallback callback) override;
    void close() override;
    void requestDelete() override;

private:
    // Open connections per user, shared with the connections themselves.
    struct Users;
    // The connections not greeted yet, oldest first, shared likewise.
    struct Ungreeted;

    // Qt thread.
    void internalListen();
    void onReadable();
    void admit(int fd);
    void internalClose();
    // Descriptors kept in reserve (two: enough for a pipe) and given up when
    // the process runs out, so that logging and the retry still have some.
    void takeSpare();
    void releaseSpare();

    std::string name_;
    QThread* _parentThread;
    std::mutex callbackMutex_;
    ConnectCallback connectCallback_;
    int listener_ = -1;
    dev_t device_ = 0;
    ino_t inode_ = 0;
    int spare_[2] = {-1, -1};
    QSocketNotifier* notifier_ = nullptr;
    QTimer* retry_;
    std::shared_ptr<Users> users_;
    std::shared_ptr<Ungreeted> ungreeted_;
    std::atomic<bool> accepting_{true};
};
