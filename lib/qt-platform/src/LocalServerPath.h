#pragma once

#include <sys/types.h>

#include <QString>

// The socket file behind a local server name, as Qt places it: the name itself
// when it is a path, else a file of that name in the temporary folder. A
// server takes the place over only from a socket that nobody listens on any
// more, of its own user, or, when it runs as root, from a socket that another
// user planted there; it never follows a link nor removes anything else.
class LocalServerPath {
public:
    static QString fullPath(const QString& serverName);
    // Something, of whatever kind, is at the name's path.
    static bool isTaken(const QString& serverName);
    // Removes the socket at the name's path when a server may take the place
    // over (see above); for anything else there (a live server of the own
    // user, another user's socket when not root, a file, a link) it leaves
    // it, sets `error` and returns false. `owner` is the removed socket's
    // user.
    static bool removeStaleSocket(const QString& serverName, QString& error);
    static bool removeStaleSocket(const QString& serverName, QString& error, uid_t& owner);
    // Whether a server accepts connections at `path` now.
    static bool isLive(const QByteArray& path);
    // A non-blocking listening socket at the name's path, open to every local
    // user: bound in a private folder, opened up there and moved into place.
    // -1, with `error` set, on failure.
    static int listenWorldAccessible(const QString& serverName, int backlog, QString& error);
};
