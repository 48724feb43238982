#include "IpcLocalServer.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDebug>
#include <QFile>
#include <QLocalSocket>
#include <QLoggingCategory>
#include <QPointer>
#include <QSocketNotifier>
#include <QTimer>
#include <boost/assert.hpp>
#include <cerrno>
#include <list>

#include "IpcLocalSocket.h"
#include "LocalServerPath.h"

namespace {

Q_LOGGING_CATEGORY(lcIpcLocalServer, "IpcLocalServer")

}  // namespace

struct IpcLocalServer::Users {
    std::mutex mutex;
    std::map<uid_t, int> open;

    // A place for one more connection of `uid`, given back when the returned
    // token goes; null when the user has all its places taken.
    static std::shared_ptr<void> take(const std::shared_ptr<Users>& users, uid_t uid) {
        {
            std::lock_guard lock(users->mutex);
            int& count = users->open[uid];
            if (count >= kMaxConnectionsPerUser) {
                return nullptr;
            }
            ++count;
        }
        return std::shared_ptr<void>(users.get(), [users, uid](void*) {
            std::lock_guard lock(users->mutex);
            if (--users->open[uid] == 0) {
                users->open.erase(uid);
            }
        });
    }
};

struct IpcLocalServer::Ungreeted {
    struct Entry {
        QPointer<IpcLocalSocket> socket;
        uid_t user;
    };

    std::mutex mutex;
    std::list<Entry> entries;

    // A place among the connections not greeted yet, given back when the
    // returned token goes.
    static std::shared_ptr<void> take(const std::shared_ptr<Ungreeted>& all, IpcLocalSocket* socket,
                                      uid_t user) {
        std::list<Entry>::iterator entry;
        {
            std::lock_guard lock(all->mutex);
            entry = all->entries.insert(all->entries.end(), Entry{socket, user});
        }
        return std::shared_ptr<void>(all.get(), [all, entry](void*) {
            std::lock_guard lock(all->mutex);
            all->entries.erase(entry);
        });
    }

    // Qt thread: while kMaxUngreeted or more wait, closes the oldest
    // connection of the user with the most waiting, root's never.
    void makeRoom() {
        for (;;) {
            QPointer<IpcLocalSocket> oldest;
            {
                std::lock_guard lock(mutex);
                if (entries.size() < static_cast<std::size_t>(kMaxUngreeted)) {
                    return;
                }
                std::map<uid_t, int> waiting;
                for (const Entry& entry : entries) {
                    ++waiting[entry.user];
                }
                int most = 0;
                for (const Entry& entry : entries) {
                    if (entry.user != 0 && waiting[entry.user] > most) {
                        most = waiting[entry.user];
                        oldest = entry.socket;
                    }
                }
            }
            if (oldest.isNull()) {
                return;
            }
            // Gives its place back.
            oldest->shed();
        }
    }
};

IpcLocalServer::IpcLocalServer(const std::string& name, QThread* thread,
                               ConnectCallback connectCallback)
    : name_(name),
      _parentThread(thread),
      connectCallback_(std::move(connectCallback)),
      retry_(new QTimer(this)),
      users_(std::make_shared<Users>()),
      ungreeted_(std::make_shared<Ungreeted>()) {
    BOOST_ASSERT_MSG(_parentThread, "_parentThread should not be null");
    retry_->setSingleShot(true);
    QObject::connect(retry_, &QTimer::timeout, this, [this] {
        takeSpare();
        if (notifier_ != nullptr && accepting_) {
            notifier_->setEnabled(true);
            onReadable();
        }
    });
    moveToThread(_parentThread);
    if (!QMetaObject::invokeMethod(
            this, [this] { internalListen(); }, Qt::QueuedConnection)) {
        qCCritical(lcIpcLocalServer) << "failed to call internalListen";
    }
}

IpcLocalServer::~IpcLocalServer() {
    internalClose();
}

void IpcLocalServer::setConnectCallback(ConnectCallback callback) {
    std::lock_guard lock(callbackMutex_);
    connectCallback_ = std::move(callback);
}

void IpcLocalServer::close() {
    accepting_.exchange(false);
    if (!QMetaObject::invokeMethod(
            this, [this] { internalClose(); }, Qt::QueuedConnection)) {
        qCCritical(lcIpcLocalServer) << "failed to call internalClose";
    }
}

void IpcLocalServer::requestDelete() {
    deleteLater();
}

void IpcLocalServer::internalListen() {
    if (!accepting_) {
        return;
    }
    const QString name = QString::fromStdString(name_);
    if (LocalServerPath::isTaken(name)) {
        qCInfo(lcIpcLocalServer) << "Address " << name << " already in use. Try removing server.";
    }
    QString error;
    std::vector<LocalServerPath::TakenBack> takenBack;
    listener_ = LocalServerPath::listenWorldAccessible(name, kBacklog, error, takenBack);
    for (const auto& taken : takenBack) {
        if (taken.movedTo.isEmpty()) {
            qCWarning(lcIpcLocalServer) << "Took" << name << "back: removed" << taken.what;
        } else {
            qCWarning(lcIpcLocalServer)
                << "Took" << name << "back: moved" << taken.what << "aside to" << taken.movedTo;
        }
    }
    if (listener_ < 0) {
        qCCritical(lcIpcLocalServer) << "Failed to start socket server listening, error:" << error;
        return;
    }
    struct stat status {};
    if (::lstat(QFile::encodeName(LocalServerPath::fullPath(name)).constData(), &status) == 0) {
        device_ = status.st_dev;
        inode_ = status.st_ino;
    }
    notifier_ = new QSocketNotifier(listener_, QSocketNotifier::Read, this);
    takeSpare();
    QObject::connect(notifier_, &QSocketNotifier::activated, this, &IpcLocalServer::onReadable);
    qCInfo(lcIpcLocalServer) << "Socket server is listening on " << name
                             << " full name: " << LocalServerPath::fullPath(name);
}

void IpcLocalServer::onReadable() {
    for (int taken = 0; taken < kAcceptBatch && listener_ >= 0; ++taken) {
        const int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd >= 0) {
            admit(fd);
            continue;
        }
        if (errno == EINTR || errno == ECONNABORTED) {
            continue;
        }
        if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
            // The connection waits in the backlog; the listener stays.
            releaseSpare();
            qCWarning(lcIpcLocalServer) << "Out of descriptors, accepting again in"
                                        << kAcceptRetryMs << "ms";
            notifier_->setEnabled(false);
            retry_->start(kAcceptRetryMs);
        }
        return;
    }
    // More may wait: they are taken on the next turn of the event loop.
}

void IpcLocalServer::takeSpare() {
    for (int& spare : spare_) {
        if (spare < 0) {
            spare = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
        }
    }
}

void IpcLocalServer::releaseSpare() {
    for (int& spare : spare_) {
        if (spare >= 0) {
            ::close(spare);
            spare = -1;
        }
    }
}

void IpcLocalServer::admit(int fd) {
    ucred peer{};
    socklen_t size = sizeof peer;
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0 || !accepting_) {
        ::close(fd);
        return;
    }
    auto place = Users::take(users_, peer.uid);
    if (!place) {
        qCWarning(lcIpcLocalServer) << "User" << peer.uid << "has" << kMaxConnectionsPerUser
                                    << "connections open already; closing a new one";
        ::close(fd);
        return;
    }
    ConnectCallback callback;
    {
        std::lock_guard lock(callbackMutex_);
        callback = connectCallback_;
    }
    if (!callback) {
        qCWarning(lcIpcLocalServer) << "Connect callback is empty, closing the accepted socket";
        ::close(fd);
        return;
    }
    auto* socket = new QLocalSocket(this);
    if (!socket->setSocketDescriptor(fd, QLocalSocket::ConnectedState, QIODevice::ReadWrite)) {
        ::close(fd);
        delete socket;
        return;
    }
    ungreeted_->makeRoom();
    auto* accepted = new IpcLocalSocket(socket, name_, _parentThread);
    accepted->admit(peer.uid, std::move(place), Ungreeted::take(ungreeted_, accepted, peer.uid),
                    kGreetingTimeoutMs);
    callback(IpcLocalSocket::makeHandle(accepted));
}

void IpcLocalServer::internalClose() {
    if (notifier_ != nullptr) {
        notifier_->setEnabled(false);
    }
    retry_->stop();
    releaseSpare();
    if (listener_ < 0) {
        return;
    }
    ::close(listener_);
    listener_ = -1;
    // The file goes with the listener, unless a successor has taken the place.
    const QByteArray path = QFile::encodeName(LocalServerPath::fullPath(QString::fromStdString(name_)));
    struct stat status {};
    if (::lstat(path.constData(), &status) == 0 && S_ISSOCK(status.st_mode) &&
        status.st_dev == device_ && status.st_ino == inode_) {
        ::unlink(path.constData());
    }
}
