#pragma once

#include <sys/types.h>
#include <QElapsedTimer>
#include <QLocalSocket>
#include <QObject>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "IIpcLocalSocket.h"
#include "IIpcQtSocketPlugin.h"
#include "LocalSocketFrameCodec.h"

class QThread;
class QTimer;

// One end of an IPC link over a Qt local socket, living on the Qt thread.
// The client form owns a new socket and connects to its socket name at once;
// the accepted form takes over a socket that a server accepted (and from then
// on outlives that server) and takes the peer's first message as its name,
// a frame of kMaxGreetingBytes at most: a longer one drops the connection
// before it is kept. Messages are read whole, however the bytes arrive, at
// most kReadChunkBytes at a time and, with a read bound, only while the
// messages not yet handled and the bytes of the frame in progress stay under
// it. A frame longer than the bound is read past it only with what the
// process lends for such frames (kMaxLentBytes in all), and a peer that stays
// past the bound on an unfinished frame for kPastBoundMs is dropped; so is a
// corrupt stream. Callbacks run on the Qt thread and may be replaced from any
// thread.
class IpcLocalSocket : public QObject, public IIpcLocalSocket {
    Q_OBJECT

public:
    // How long a waiting write waits for the Qt thread.
    static constexpr int kWriteWaitMs = 5000;
    // The most bytes that wait to be written to one peer; a message that
    // does not fit is refused.
    static constexpr qint64 kMaxUnwrittenBytes = 32 * 1024 * 1024;
    // The longest greeting frame's text, in bytes (kinds' names are short).
    static constexpr std::uint32_t kMaxGreetingBytes = 256;
    // What is read from the peer at a time, and held by Qt at most.
    static constexpr qint64 kReadChunkBytes = 64 * 1024;
    // What a message counts beyond its bytes against the read bound.
    static constexpr std::size_t kMessageCost = 128;
    // What the process lends in all to the frames read past their socket's
    // bound: room for one frame of the longest kind, and another.
    static constexpr std::size_t kMaxLentBytes = 2 * LocalSocketFrameCodec::kMaxFrameBytes;
    // How long a peer may stay past the read bound on one unfinished frame,
    // as long as it may take to greet.
    static constexpr int kPastBoundMs = 3000;
    // How often a socket past its bound looks again.
    static constexpr int kPastBoundCheckMs = 100;

    // Client form.
    IpcLocalSocket(const std::string& socketName, const std::string& targetName, QThread* thread,
                   SocketConnectCallback connectCallback = {},
                   SocketConnectCallback disconnectCallback = {});
    // Accepted form: takes `socket` over from its server.
    IpcLocalSocket(QLocalSocket* socket, const std::string& socketName, QThread* thread,
                   SocketConnectCallback disconnectCallback = {});
    // On the Qt thread: closes the connection, which still reaches the
    // disconnect callback when one is set.
    ~IpcLocalSocket() override;

    // Qt thread, accepted form: the peer's user, the place it takes among its
    // user's connections (given back with the socket), the place it takes
    // among the connections not greeted yet (given back with its greeting),
    // and how long it has to greet before the connection is closed.
    void admit(uid_t peer, std::shared_ptr<void> place, std::shared_ptr<void> ungreeted,
               int greetingTimeoutMs);
    // Qt thread: closes a connection not greeted yet to make room for others.
    void shed();

    // `socket` as its user holds it: releasing it calls requestDelete.
    static IIpcQtSocketPlugin::IpcLocalSocketPtr makeHandle(IpcLocalSocket* socket);

    void connect() override;
    bool isValid() const override;
    bool isConnected() const override;
    bool isFresh() const override { return fresh_; }
    bool takeFresh() override { return fresh_.exchange(false); }
    unsigned int getId() const override { return id_; }
    void setId(unsigned int id) override { id_ = id; }
    bool write(const std::string& message) override;
    // On the Qt thread itself the frame is written directly; a waiting write
    // from another thread fails when the Qt thread has stopped or does not
    // write within kWriteWaitMs.
    bool writeData(const std::string& message, bool wait) override;
    void setReadCallback(ReadCallback callback) override;
    void setReadBound(std::size_t bytes) override { readBound_ = bytes; }
    void handled(std::size_t bytes) override;
    void setWritableCallback(SocketConnectCallback callback) override;
    void setConnectCallback(SocketConnectCallback callback) override;
    void setDisconnectCallback(SocketConnectCallback callback) override;
    void setErrorCallback(SocketConnectCallback callback) override;
    void clearCallbacks() override;
    std::optional<uid_t> peerUser() const override;
    const std::string& getSocketName() const override { return _socketName; }
    // Any thread: empty until the peer's name is known, and never changed
    // once it is.
    const std::string& getTargetName() const override;
    void requestDelete() override;

    // Qt thread: writes one frame, whose bytes writeData reserved, and
    // flushes it; false when the socket refused it.
    Q_INVOKABLE bool internalWrite(QString message);

private:
    struct Callbacks {
        ReadCallback read;
        SocketConnectCallback connect;
        SocketConnectCallback disconnect;
        SocketConnectCallback error;
        SocketConnectCallback writable;
    };

    void initSocket(QThread* thread);
    Callbacks callbacks() const;
    bool writeAndWait(const QString& message);
    // Takes room for `size` bytes among those waiting to be written; false,
    // the writable callback then due, when there is none.
    bool reserve(qint64 size);

    // Qt thread.
    void internalConnect();
    void onReadyRead();
    // Whether reading waits for messages to be handled.
    bool mustPause();
    // Whether another chunk may be read: under the read bound, or past it on
    // a frame in progress with room lent for the chunk.
    bool mayRead();
    // Gives back what was lent beyond what the socket holds past its bound.
    void settleLoan();
    // A peer past the bound on an unfinished frame is looked at again soon,
    // and dropped once it has stayed there kPastBoundMs.
    void watchPastBound();
    // Reads kReadChunkBytes at most and hands out the messages completed;
    // false when nothing was read.
    bool readChunk();
    // Before the end of the link is told: hands out what the peer sent
    // before it, the read bound notwithstanding.
    void deliverLeftovers();
    void onBytesWritten(qint64 written);
    void deliver(const QString& text);
    void onConnected();
    void onDisconnected();
    void onError(QLocalSocket::LocalSocketError error);

    QLocalSocket* socket_;
    mutable std::mutex callbacksMutex_;
    Callbacks callbacks_;
    std::string _socketName;
    // Written once, on the Qt thread, before `named_` is set.
    std::string targetName_;
    std::atomic<bool> named_{false};
    // The Qt socket's state as the Qt thread last saw it, for other threads.
    std::atomic<int> state_{QLocalSocket::UnconnectedState};
    std::atomic<bool> fresh_{true};
    std::atomic<unsigned int> id_{0};
    LocalSocketFrameCodec codec_;
    // -1 while unknown.
    std::atomic<long long> peerUser_{-1};
    std::shared_ptr<void> place_;
    // Bytes handed to the socket and not yet taken by the kernel.
    std::atomic<qint64> unwritten_{0};
    // A write was refused for want of room: the writable callback is due.
    std::atomic<bool> wantsRoom_{false};
    std::atomic<std::size_t> readBound_{0};
    // What messages handed out and not yet handled count.
    std::atomic<std::size_t> unhandled_{0};
    // Reading waits for `handled`.
    std::atomic<bool> paused_{false};
    // Qt thread: lent by the process to the frame in progress.
    std::size_t lent_ = 0;
    // Qt thread: messages handed out, and when the socket went past its
    // bound on the frame in progress (invalid while it is not).
    std::uint64_t delivered_ = 0;
    std::uint64_t deliveredWhenPast_ = 0;
    QElapsedTimer pastBound_;
    QTimer* pastBoundCheck_;
    std::shared_ptr<void> ungreeted_;
};
