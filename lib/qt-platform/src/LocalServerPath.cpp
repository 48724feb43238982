#include "LocalServerPath.h"

#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <cerrno>
#include <cstring>

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

bool LocalServerPath::removeStaleSocket(const QString& serverName, QString& error) {
    const QString path = fullPath(serverName);
    const QByteArray encoded = QFile::encodeName(path);
    struct stat status {};
    if (::lstat(encoded.constData(), &status) != 0) {
        return errno == ENOENT;
    }
    if (!S_ISSOCK(status.st_mode)) {
        error = path + QStringLiteral(" is not a socket; it is left in place");
        return false;
    }
    if (status.st_uid != ::geteuid()) {
        error =
            path + QStringLiteral(" belongs to user %1; it is left in place").arg(status.st_uid);
        return false;
    }
    if (::unlink(encoded.constData()) != 0 && errno != ENOENT) {
        error = path + QStringLiteral(" cannot be removed: ") +
                QString::fromLocal8Bit(std::strerror(errno));
        return false;
    }
    return true;
}
