#pragma once

#include <QString>

// The socket file behind a local server name, as Qt places it: the name itself
// when it is a path, else a file of that name in the temporary folder. A
// server takes the place over only from a socket of its own user, never
// following or removing anything else found there: another user may have put
// it there.
class LocalServerPath {
public:
    static QString fullPath(const QString& serverName);
    // Something, of whatever kind, is at the name's path.
    static bool isTaken(const QString& serverName);
    // Removes the socket at the name's path when it belongs to this process's
    // user; for anything else there (another user's socket, a file, a link)
    // it leaves it, sets `error` and returns false.
    static bool removeStaleSocket(const QString& serverName, QString& error);
};
