#include "LocalServerPath.h"

#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QRandomGenerator>
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
    if (seen.finding == Finding::Kept || seen.aside) {
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

namespace {

// The name the socket has in its private folder.
constexpr const char* kInside = "s";

QString decoded(const std::string& path) {
    return QFile::decodeName(QByteArray::fromStdString(path));
}

// What came out of the place when the socket went in, now in the private
// folder `own`: an own socket is removed unsaid; another user's entry is
// removed, or, a folder with something in it, moved aside beside the place
// under a name of its own; anything else of the own user's (a second name of
// an own file, say) is moved aside.
void dispose(int own, int folder, const std::string& folderPath, const std::string& name,
             std::vector<LocalServerPath::TakenBack>& takenBack) {
    struct stat out {};
    if (::fstatat(own, kInside, &out, AT_SYMLINK_NOFOLLOW) != 0) {
        return;
    }
    const bool others = out.st_uid != ::geteuid();
    std::string what = std::string(LocalSocketPlace::kindOf(out.st_mode)) + " of user " +
                       std::to_string(out.st_uid);
    if (!others && LocalSocketPlace::isSecondName(out)) {
        what += " with " + std::to_string(out.st_nlink) + " links";
    }
    if (!others && S_ISSOCK(out.st_mode)) {
        ::unlinkat(own, kInside, 0);
        return;
    }
    if (others && ::unlinkat(own, kInside, S_ISDIR(out.st_mode) ? AT_REMOVEDIR : 0) == 0) {
        takenBack.push_back({decoded(what), QString()});
        return;
    }
    if (S_ISDIR(out.st_mode)) {
        what += " with something in it";
    }
    for (int attempt = 0; attempt < LocalServerPath::kPlaceAttempts; ++attempt) {
        const std::string aside =
            name + ".planted-" +
            QString::number(QRandomGenerator::system()->generate(), 16).toStdString();
        if (::renameat2(own, kInside, folder, aside.c_str(), RENAME_NOREPLACE) == 0) {
            takenBack.push_back({decoded(what), decoded(folderPath + "/" + aside)});
            return;
        }
        if (errno != EEXIST) {
            break;
        }
    }
    takenBack.push_back({decoded(what), QStringLiteral("(left in a private folder beside it)")});
}

// Puts the socket `kInside` of the private folder `own` at `name` in `folder`.
bool place(int own, int folder, const std::string& folderPath, const std::string& name,
           std::vector<LocalServerPath::TakenBack>& takenBack, QString& error) {
    const std::string path = folderPath + "/" + name;
    using Finding = LocalSocketPlace::Finding;
    for (int attempt = 0; attempt < LocalServerPath::kPlaceAttempts; ++attempt) {
        if (::renameat2(own, kInside, folder, name.c_str(), RENAME_NOREPLACE) == 0) {
            return true;
        }
        if (errno != EEXIST) {
            error = QStringLiteral("cannot listen at ") + decoded(path) + QStringLiteral(": ") +
                    systemError();
            return false;
        }
        const LocalSocketPlace::Look seen = LocalSocketPlace::look(path);
        std::string failure;
        switch (seen.finding) {
            case Finding::Free:
                break;
            case Finding::Live:
                error = decoded(path) +
                        QStringLiteral(" is where a live server listens; it is left in place");
                return false;
            case Finding::Kept:
                error = decoded(path) + QStringLiteral(" holds ") + decoded(seen.what) +
                        QStringLiteral("; it is left in place");
                return false;
            case Finding::Stale:
                // Gone or changed meanwhile: looked at again.
                LocalSocketPlace::clear(path, seen, failure);
                break;
            case Finding::Planted:
                // In one step, so that nothing can be put back in between.
                if (::renameat2(own, kInside, folder, name.c_str(), RENAME_EXCHANGE) == 0) {
                    dispose(own, folder, folderPath, name, takenBack);
                    return true;
                }
                if (errno != ENOENT) {
                    error = QStringLiteral("cannot take ") + decoded(path) +
                            QStringLiteral(" back: ") + systemError();
                    return false;
                }
                break;
        }
    }
    error = decoded(path) + QStringLiteral(" keeps being taken");
    return false;
}

}  // namespace

int LocalServerPath::listenWorldAccessible(const QString& serverName, int backlog, QString& error,
                                           std::vector<TakenBack>& takenBack) {
    const std::string path = QFile::encodeName(fullPath(serverName)).toStdString();
    const std::string::size_type slash = path.rfind('/');
    const std::string folderPath = path.substr(0, slash);
    const std::string name = path.substr(slash + 1);
    sockaddr_un address{};
    if (!socketAddress(QByteArray::fromStdString(path), address)) {
        error = QStringLiteral("cannot listen at ") + decoded(path) +
                QStringLiteral(": the path is too long for a socket address");
        return -1;
    }
    std::string own = folderPath + "/.qvsXXXXXX";
    const int folder =
        ::open(folderPath.empty() ? "/" : folderPath.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder < 0 || ::mkdtemp(own.data()) == nullptr) {
        error = QStringLiteral("cannot make a private folder: ") + systemError();
        if (folder >= 0) {
            ::close(folder);
        }
        return -1;
    }
    const int ownFolder = ::open(own.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    const std::string inside = own + "/" + kInside;
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    bool done = ownFolder >= 0 && fd >= 0 &&
                socketAddress(QByteArray::fromStdString(inside), address) &&
                ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
                ::chmod(inside.c_str(), 0666) == 0 && ::listen(fd, backlog) == 0;
    if (!done) {
        error = QStringLiteral("cannot listen at ") + decoded(path) + QStringLiteral(": ") +
                systemError();
    } else {
        done = place(ownFolder, folder, folderPath, name, takenBack, error);
    }
    if (!done && ownFolder >= 0) {
        ::unlinkat(ownFolder, kInside, 0);
    }
    ::rmdir(own.c_str());
    if (ownFolder >= 0) {
        ::close(ownFolder);
    }
    ::close(folder);
    if (!done && fd >= 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}
