#pragma once

#include <sys/types.h>

#include <QString>

// The socket file behind a local server name, as Qt places it: the name itself
// when it is a path, else a file of that name in the temporary folder. A
// server takes the place over only from a socket of its own user that nobody
// listens on any more, or, when it runs as root, from whatever another user
// planted there but a folder with something in it (LocalSocketPlace); it
// never follows a link.
class LocalServerPath {
public:
    static QString fullPath(const QString& serverName);
    // Something, of whatever kind, is at the name's path.
    static bool isTaken(const QString& serverName);
    // Makes the name's path free for a server of this user, as
    // LocalSocketPlace says: true when nothing is there any more; `removed`
    // then tells what another user had planted there, if anything. False,
    // with `error` set, when the place is kept.
    static bool takePlace(const QString& serverName, QString& error, QString& removed);
    // Whether a server accepts connections at `path` now.
    static bool isLive(const QByteArray& path);
    // A non-blocking listening socket at the name's path, open to every local
    // user: bound in a private folder, opened up there and moved into place.
    // -1, with `error` set, on failure.
    static int listenWorldAccessible(const QString& serverName, int backlog, QString& error);
};
