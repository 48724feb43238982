#include "LocalServerPath.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <cerrno>
#include <cstring>

#include "LocalSocketPlace.h"
#include "LocalSocketProbe.h"

QString LocalServerPath::fullPath(const QString& serverName) {
    if (serverName.startsWith(QLatin1Char('/'))) {
        return serverName;
    }
    return QDir::cleanPath(QDir::tempPath()) + QLatin1Char('/') + serverName;
}

bool LocalServerPath::isTaken(const QString& serverName) {
    struct stat status {};
    return ::lstat(QFile::encodeName(fullPath(serverName)).constData(), &status) == 0;
}

namespace {

bool socketAddress(const QByteArray& path, sockaddr_un& address) {
    address = sockaddr_un{};
    address.sun_family = AF_UNIX;
    if (path.size() >= static_cast<int>(sizeof address.sun_path) || path.contains('\0')) {
        return false;
    }
    std::memcpy(address.sun_path, path.constData(), static_cast<std::size_t>(path.size()));
    return true;
}

QString systemError() {
    return QString::fromLocal8Bit(std::strerror(errno));
}

}  // namespace

bool LocalServerPath::isLive(const QByteArray& path) {
    return LocalSocketProbe::isLive(path.toStdString());
}

bool LocalServerPath::takePlace(const QString& serverName, QString& error, QString& removed) {
    const QString path = fullPath(serverName);
    const std::string encoded = QFile::encodeName(path).toStdString();
    const LocalSocketPlace::Look seen = LocalSocketPlace::look(encoded);
    using Finding = LocalSocketPlace::Finding;
    if (seen.finding == Finding::Free) {
        return true;
    }
    if (seen.finding == Finding::Live) {
        error = path + QStringLiteral(" is where a live server listens; it is left in place");
        return false;
    }
    if (seen.finding == Finding::Kept) {
        error = path + QStringLiteral(" holds ") + QString::fromStdString(seen.what) +
                QStringLiteral("; it is left in place");
        return false;
    }
    std::string failure;
    if (!LocalSocketPlace::clear(encoded, seen, failure)) {
        error = QString::fromStdString(failure);
        return false;
    }
    if (seen.finding == Finding::Planted) {
        removed = QString::fromStdString(seen.what);
    }
    return true;
}

int LocalServerPath::listenWorldAccessible(const QString& serverName, int backlog,
                                           QString& error) {
    const QByteArray path = QFile::encodeName(fullPath(serverName));
    const int slash = path.lastIndexOf('/');
    QByteArray folder = path.left(slash < 0 ? 0 : slash) + "/.qvsXXXXXX";
    if (::mkdtemp(folder.data()) == nullptr) {
        error = QStringLiteral("cannot make a private folder: ") + systemError();
        return -1;
    }
    const QByteArray inside = folder + "/s";
    sockaddr_un address{};
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    bool done = fd >= 0 && socketAddress(inside, address) && socketAddress(path, address);
    done = done && socketAddress(inside, address) &&
           ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
           ::chmod(inside.constData(), 0666) == 0 && ::listen(fd, backlog) == 0 &&
           ::rename(inside.constData(), path.constData()) == 0;
    if (!done) {
        error = QStringLiteral("cannot listen at ") + QFile::decodeName(path) +
                QStringLiteral(": ") + systemError();
        ::unlink(inside.constData());
    }
    ::rmdir(folder.constData());
    if (!done && fd >= 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}
