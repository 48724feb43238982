#include "IpcLocalSocket.h"

#include <sys/socket.h>

#include <QDebug>
#include <QLoggingCategory>
#include <QThread>
#include <QTimer>
#include <boost/assert.hpp>
#include <chrono>
#include <condition_variable>
#include <cstdio>

#include "QtStrings.h"

namespace {

Q_LOGGING_CATEGORY(lcIpcLocalSocket, "IpcLocalSocket")

// What a waiting writer learns from the Qt thread.
struct WriteCompletion {
    std::mutex mutex;
    std::condition_variable condition;
    bool done = false;
    bool written = false;
};

// Carried by the posted write: reports when it ran, and also when Qt drops it
// unrun (the socket was deleted first), so that the writer never waits for
// nothing.
struct WriteTicket {
    std::shared_ptr<WriteCompletion> completion;
    bool written = false;

    ~WriteTicket() {
        {
            std::lock_guard lock(completion->mutex);
            completion->done = true;
            completion->written = written;
        }
        completion->condition.notify_all();
    }
};

// The user at the other end of a connected local socket, -1 when unknown.
long long peerUserOf(qintptr descriptor) {
    ucred peer{};
    socklen_t size = sizeof peer;
    if (descriptor < 0 ||
        ::getsockopt(static_cast<int>(descriptor), SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0) {
        return -1;
    }
    return peer.uid;
}

// The bytes of the frame of `text`: a 32-bit count and UTF-16.
qint64 frameSize(const QString& text) {
    return 4 + 2 * static_cast<qint64>(text.size());
}

QString fromUtf8(const std::string& text) {
    return QString::fromUtf8(text.data(), static_cast<int>(text.size()));
}

// What the process has lent, in all, to frames read past their socket's bound.
std::atomic<std::size_t> lentInAll{0};

// Takes `bytes` of what the process lends; false when that would pass its bound.
bool borrow(std::size_t bytes) {
    std::size_t now = lentInAll.load();
    do {
        if (now + bytes > IpcLocalSocket::kMaxLentBytes) {
            return false;
        }
    } while (!lentInAll.compare_exchange_weak(now, now + bytes));
    return true;
}

}  // namespace

IpcLocalSocket::IpcLocalSocket(const std::string& socketName, const std::string& targetName,
                               QThread* thread, SocketConnectCallback connectCallback,
                               SocketConnectCallback disconnectCallback)
    : socket_(new QLocalSocket(this)),
      _socketName(socketName),
      targetName_(targetName),
      named_(!targetName.empty()) {
    callbacks_.connect = std::move(connectCallback);
    callbacks_.disconnect = std::move(disconnectCallback);
    std::printf(">>creating a socket:%s\n", socketName.c_str());
    std::fflush(stdout);
    initSocket(thread);
    connect();
}

IpcLocalSocket::IpcLocalSocket(QLocalSocket* socket, const std::string& socketName, QThread* thread,
                               SocketConnectCallback disconnectCallback)
    : socket_(socket), _socketName(socketName) {
    // The server made the socket as its own child; from now on it is ours,
    // so that it lives on when the server goes.
    socket_->setParent(this);
    callbacks_.disconnect = std::move(disconnectCallback);
    codec_.limitNextMessage(kMaxGreetingBytes);
    initSocket(thread);
}

IpcLocalSocket::~IpcLocalSocket() {
    qCDebug(lcIpcLocalSocket) << "delete socket" << id_.load();
    socket_->close();
    QObject::disconnect(socket_, nullptr, this, nullptr);
    delete socket_;
    lentInAll -= lent_;
}

void IpcLocalSocket::admit(uid_t peer, std::shared_ptr<void> place, std::shared_ptr<void> ungreeted,
                           int greetingTimeoutMs) {
    peerUser_ = peer;
    place_ = std::move(place);
    ungreeted_ = std::move(ungreeted);
    QTimer::singleShot(greetingTimeoutMs, this, [this, greetingTimeoutMs] {
        if (!named_ && socket_->state() != QLocalSocket::UnconnectedState) {
            qCWarning(lcIpcLocalSocket) << "No greeting within" << greetingTimeoutMs
                                        << "ms from user" << peerUser_.load() << ", closing";
            ungreeted_.reset();
            socket_->abort();
        }
    });
}

void IpcLocalSocket::shed() {
    qCWarning(lcIpcLocalSocket) << "Closing a connection not greeted yet of user"
                                << peerUser_.load() << "to make room for others, id:" << id_.load();
    ungreeted_.reset();
    socket_->abort();
}

std::optional<uid_t> IpcLocalSocket::peerUser() const {
    const long long user = peerUser_;
    return user < 0 ? std::nullopt : std::optional<uid_t>(static_cast<uid_t>(user));
}

IIpcQtSocketPlugin::IpcLocalSocketPtr IpcLocalSocket::makeHandle(IpcLocalSocket* socket) {
    return IIpcQtSocketPlugin::IpcLocalSocketPtr(socket, [](IIpcLocalSocket* handle) {
        if (handle != nullptr) {
            handle->requestDelete();
        }
    });
}

void IpcLocalSocket::initSocket(QThread* thread) {
    BOOST_ASSERT_MSG(thread, "thread should not be null");
    QObject::connect(socket_, &QLocalSocket::readyRead, this, &IpcLocalSocket::onReadyRead);
    QObject::connect(socket_, &QLocalSocket::errorOccurred, this, &IpcLocalSocket::onError);
    QObject::connect(socket_, &QLocalSocket::connected, this, &IpcLocalSocket::onConnected);
    QObject::connect(socket_, &QLocalSocket::disconnected, this, &IpcLocalSocket::onDisconnected);
    QObject::connect(socket_, &QLocalSocket::bytesWritten, this, &IpcLocalSocket::onBytesWritten);
    state_ = socket_->state();
    QObject::connect(socket_, &QLocalSocket::stateChanged, this,
                     [this](QLocalSocket::LocalSocketState state) { state_ = state; });
    // Qt holds this much of what the peer sends; the rest waits in the kernel.
    socket_->setReadBufferSize(kReadChunkBytes);
    pastBoundCheck_ = new QTimer(this);
    pastBoundCheck_->setSingleShot(true);
    QObject::connect(pastBoundCheck_, &QTimer::timeout, this, &IpcLocalSocket::onReadyRead);
    moveToThread(thread);
}

void IpcLocalSocket::connect() {
    if (!QMetaObject::invokeMethod(
            this, [this] { internalConnect(); }, Qt::QueuedConnection)) {
        qCCritical(lcIpcLocalSocket) << "failed to call internalConnect";
    }
}

void IpcLocalSocket::internalConnect() {
    qCInfo(lcIpcLocalSocket) << "socket connecting to " << QString::fromStdString(_socketName);
    if (socket_->state() == QLocalSocket::UnconnectedState) {
        codec_.reset();
        peerUser_ = -1;
        socket_->connectToServer(fromUtf8(_socketName), QIODevice::ReadWrite);
    }
}

bool IpcLocalSocket::isConnected() const {
    return state_ == QLocalSocket::ConnectedState;
}

bool IpcLocalSocket::isValid() const {
    // Only the Qt thread touches the Qt socket: it may be tearing down what
    // its own isValid would look at.
    return isConnected();
}

const std::string& IpcLocalSocket::getTargetName() const {
    static const std::string noName;
    return named_.load(std::memory_order_acquire) ? targetName_ : noName;
}

bool IpcLocalSocket::write(const std::string& message) {
    return writeData(message, true);
}

bool IpcLocalSocket::writeData(const std::string& message, bool wait) {
    if (!isValid()) {
        qCCritical(lcIpcLocalSocket)
            << "Socket invalid. _socketName: " << QString::fromStdString(_socketName);
        BOOST_ASSERT_MSG(false, "Writing data to invalid socket");
        return false;
    }
    const QString text = fromUtf8(message);
    if (!LocalSocketFrameCodec::fits(text)) {
        qCCritical(lcIpcLocalSocket)
            << "Message too long for a frame:" << message.size()
            << "bytes, _socketName: " << QString::fromStdString(_socketName);
        return false;
    }
    // The bytes are reserved here, on the caller's thread, so that a burst of
    // writes handed over before the Qt thread runs cannot pass the bound.
    const qint64 size = frameSize(text);
    if (!reserve(size)) {
        qCWarning(lcIpcLocalSocket)
            << "The peer does not read:" << unwritten_.load() << "bytes wait to be written;"
            << "refusing a message of" << size
            << "bytes, _socketName:" << QString::fromStdString(_socketName)
            << "target:" << QString::fromStdString(getTargetName());
        return false;
    }
    if (QThread::currentThread() == thread()) {
        // A blocking hand-over to the own thread could never complete.
        return internalWrite(text);
    }
    if (wait) {
        return writeAndWait(text);
    }
    if (!QMetaObject::invokeMethod(this, "internalWrite", Qt::QueuedConnection,
                                   Q_ARG(QString, text))) {
        qCCritical(lcIpcLocalSocket) << "failed to call internalWrite";
        unwritten_ -= size;
        return false;
    }
    return true;
}

bool IpcLocalSocket::reserve(qint64 size) {
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (unwritten_.fetch_add(size) + size <= kMaxUnwrittenBytes) {
            return true;
        }
        unwritten_ -= size;
        // Wanted before the room is looked at again: bytes written from now
        // on call the writable callback, and those written before are seen
        // here, so that the refusal is never left unheard.
        wantsRoom_ = true;
        if (unwritten_ + size > kMaxUnwrittenBytes) {
            return false;
        }
    }
    return false;
}

bool IpcLocalSocket::writeAndWait(const QString& message) {
    QThread* qtThread = thread();
    auto completion = std::make_shared<WriteCompletion>();
    if (qtThread == nullptr || !qtThread->isRunning() ||
        !QMetaObject::invokeMethod(
            this,
            [this, message, ticket = std::make_shared<WriteTicket>(completion)] {
                ticket->written = internalWrite(message);
            },
            Qt::QueuedConnection)) {
        qCCritical(lcIpcLocalSocket) << "failed to call internalWrite";
        return false;
    }
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(kWriteWaitMs);
    std::unique_lock lock(completion->mutex);
    while (!completion->done) {
        // A thread that stops leaves the posted write unrun for ever.
        if (!qtThread->isRunning() || std::chrono::steady_clock::now() >= deadline) {
            qCCritical(lcIpcLocalSocket) << "internalWrite did not run, _socketName: "
                                         << QString::fromStdString(_socketName);
            return false;
        }
        completion->condition.wait_for(lock, std::chrono::milliseconds(50));
    }
    return completion->written;
}

bool IpcLocalSocket::internalWrite(QString message) {
    if (socket_->write(LocalSocketFrameCodec::encode(message)) == -1) {
        unwritten_ -= frameSize(message);
        qCCritical(lcIpcLocalSocket)
            << "Local socket write error occurred:" << socket_->errorString();
        return false;
    }
    socket_->flush();
    return true;
}

void IpcLocalSocket::setReadCallback(ReadCallback callback) {
    std::lock_guard lock(callbacksMutex_);
    callbacks_.read = std::move(callback);
}

void IpcLocalSocket::setConnectCallback(SocketConnectCallback callback) {
    std::lock_guard lock(callbacksMutex_);
    callbacks_.connect = std::move(callback);
}

void IpcLocalSocket::setDisconnectCallback(SocketConnectCallback callback) {
    std::lock_guard lock(callbacksMutex_);
    callbacks_.disconnect = std::move(callback);
}

void IpcLocalSocket::setErrorCallback(SocketConnectCallback callback) {
    std::lock_guard lock(callbacksMutex_);
    callbacks_.error = std::move(callback);
}

void IpcLocalSocket::clearCallbacks() {
    qCDebug(lcIpcLocalSocket) << "clearCallbacks";
    Callbacks old;
    std::lock_guard lock(callbacksMutex_);
    std::swap(old, callbacks_);
}

IpcLocalSocket::Callbacks IpcLocalSocket::callbacks() const {
    std::lock_guard lock(callbacksMutex_);
    return callbacks_;
}

void IpcLocalSocket::requestDelete() {
    qCDebug(lcIpcLocalSocket) << "requestDelete";
    deleteLater();
}

void IpcLocalSocket::onBytesWritten(qint64 written) {
    unwritten_ -= written;
    if (unwritten_ < kMaxUnwrittenBytes && wantsRoom_.exchange(false)) {
        if (const Callbacks current = callbacks(); current.writable) {
            current.writable(this, targetName_, id_);
        }
    }
}

void IpcLocalSocket::setWritableCallback(SocketConnectCallback callback) {
    std::lock_guard lock(callbacksMutex_);
    callbacks_.writable = std::move(callback);
}

bool IpcLocalSocket::mustPause() {
    const std::size_t bound = readBound_;
    if (bound == 0 || unhandled_ < bound) {
        return false;
    }
    // Published before looking again: a `handled` that comes meanwhile
    // either is seen here or resumes the reading.
    paused_ = true;
    if (unhandled_ >= bound) {
        qCDebug(lcIpcLocalSocket) << "Reading paused:" << unhandled_.load()
                                  << "bytes of messages wait to be handled, id:" << id_.load();
        return true;
    }
    paused_ = false;
    return false;
}

void IpcLocalSocket::handled(std::size_t bytes) {
    unhandled_ -= bytes + kMessageCost;
    if (unhandled_ < readBound_ && paused_.exchange(false)) {
        if (!QMetaObject::invokeMethod(
                this, [this] { onReadyRead(); }, Qt::QueuedConnection)) {
            qCCritical(lcIpcLocalSocket) << "failed to resume reading";
        }
    }
}

bool IpcLocalSocket::mayRead() {
    if (mustPause()) {
        return false;
    }
    const std::size_t bound = readBound_;
    if (bound == 0 || unhandled_ + codec_.pendingBytes() < bound) {
        return true;
    }
    // Past the bound on the frame in progress: read on only with what is lent.
    if (!borrow(kReadChunkBytes)) {
        return false;
    }
    lent_ += kReadChunkBytes;
    return true;
}

void IpcLocalSocket::settleLoan() {
    const std::size_t bound = readBound_;
    const std::size_t held = unhandled_ + codec_.pendingBytes();
    const std::size_t past = held > bound ? held - bound : 0;
    if (lent_ > past) {
        lentInAll -= lent_ - past;
        lent_ = past;
    }
}

void IpcLocalSocket::watchPastBound() {
    const std::size_t bound = readBound_;
    const std::size_t unfinished = codec_.pendingBytes();
    const std::size_t unhandled = unhandled_;
    // Past the bound for want of the rest of a frame, not for want of the
    // messages being handled here.
    if (bound == 0 || unfinished == 0 || unhandled >= bound || unhandled + unfinished < bound ||
        socket_->state() == QLocalSocket::UnconnectedState) {
        pastBound_.invalidate();
        return;
    }
    if (!pastBound_.isValid() || deliveredWhenPast_ != delivered_) {
        pastBound_.start();
        deliveredWhenPast_ = delivered_;
    } else if (pastBound_.hasExpired(kPastBoundMs)) {
        qCWarning(lcIpcLocalSocket)
            << "Dropping the connection: a frame stayed unfinished past the read bound of" << bound
            << "bytes for" << kPastBoundMs << "ms," << unfinished << "bytes of it kept, user"
            << peerUser_.load() << "id:" << id_.load();
        pastBound_.invalidate();
        socket_->abort();
        return;
    }
    pastBoundCheck_->start(kPastBoundCheckMs);
}

void IpcLocalSocket::onReadyRead() {
    while (!codec_.isCorrupt() && mayRead() && readChunk()) {
    }
    settleLoan();
    if (codec_.isCorrupt() && socket_->state() != QLocalSocket::UnconnectedState) {
        qCWarning(lcIpcLocalSocket)
            << "Dropping the connection, unreadable data:" << codec_.error() << "id:" << id_.load();
        socket_->abort();
        return;
    }
    watchPastBound();
}

bool IpcLocalSocket::readChunk() {
    const QByteArray bytes = socket_->read(kReadChunkBytes);
    for (const QString& text : codec_.feed(bytes)) {
        deliver(text);
    }
    return !bytes.isEmpty();
}

void IpcLocalSocket::deliverLeftovers() {
    // Qt notices the peer's end only while it holds less than
    // kReadChunkBytes of its bytes: one chunk takes all that is left.
    if (!codec_.isCorrupt() && socket_->bytesAvailable() > 0 && readChunk()) {
        qCDebug(lcIpcLocalSocket) << "Handed out what the peer sent before its end, id:"
                                  << id_.load();
    }
}

void IpcLocalSocket::deliver(const QString& text) {
    ++delivered_;
    const Callbacks current = callbacks();
    const unsigned int id = id_;
    if (!named_) {
        if (!current.connect) {
            qCWarning(lcIpcLocalSocket) << "Connect Callback is empty, id: " << id;
            return;
        }
        targetName_ = qStringToStdString(text);
        named_.store(true, std::memory_order_release);
        ungreeted_.reset();
        qCDebug(lcIpcLocalSocket) << "Setting target to " << text << " id: " << id
                                  << " user: " << peerUser_.load();
        current.connect(this, targetName_, id);
    } else if (current.read) {
        const std::string message = qStringToStdString(text);
        if (readBound_ != 0) {
            unhandled_ += message.size() + kMessageCost;
        }
        current.read(this, targetName_, message);
    } else {
        qCWarning(lcIpcLocalSocket) << "Read Callback is empty, id: " << id;
    }
}

void IpcLocalSocket::onConnected() {
    state_ = socket_->state();
    peerUser_ = peerUserOf(socket_->socketDescriptor());
    unwritten_ = 0;
    const Callbacks current = callbacks();
    if (named_ && current.connect) {
        current.connect(this, targetName_, id_);
    }
}

void IpcLocalSocket::onDisconnected() {
    qCInfo(lcIpcLocalSocket) << "onDisconnected";
    state_ = QLocalSocket::UnconnectedState;
    deliverLeftovers();
    if (const Callbacks current = callbacks(); current.disconnect) {
        current.disconnect(this, targetName_, id_);
    }
}

void IpcLocalSocket::onError(QLocalSocket::LocalSocketError error) {
    qCWarning(lcIpcLocalSocket) << "Socket error, _socketName: "
                                << QString::fromStdString(_socketName) << ", error: " << error
                                << " fullServerName: " << socket_->fullServerName();
    deliverLeftovers();
    if (const Callbacks current = callbacks(); current.error) {
        current.error(this, targetName_, id_);
    }
}
