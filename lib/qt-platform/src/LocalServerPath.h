#pragma once

#include <sys/types.h>

#include <QString>
#include <vector>

// The socket file behind a local server name, as Qt places it: the name itself
// when it is a path, else a file of that name in the temporary folder. A
// server takes the place over only from a socket of its own user that nobody
// listens on any more, from a second name of a file of its own user (moved
// aside), or, when it runs as root, from whatever another user planted there
// (LocalSocketPlace); it never follows a link.
class LocalServerPath {
public:
    // What a server running as root found of another user's at its path.
    struct TakenBack {
        // "a folder of user 65534 with something in it", say.
        QString what;
        // Where it was moved aside to; empty when it was removed.
        QString movedTo;
    };

    static QString fullPath(const QString& serverName);
    // Something, of whatever kind, is at the name's path.
    static bool isTaken(const QString& serverName);
    // Makes the name's path free for a server of this user, as
    // LocalSocketPlace says: true when nothing is there any more; `removed`
    // then tells what another user had planted there, if anything. False,
    // with `error` set, when the place is kept (what would be moved aside
    // included: a folder with something in it, a second name of an own
    // file).
    static bool takePlace(const QString& serverName, QString& error, QString& removed);
    // Whether a server accepts connections at `path` now.
    static bool isLive(const QByteArray& path);
    // A non-blocking listening socket at the name's path, open to every local
    // user: bound in a private folder beside the path, opened up there and
    // moved into place, never over anything. What is in the way is dealt
    // with as LocalSocketPlace says, kPlaceAttempts times at most: a stale
    // own socket is removed; whatever another user put there, and a second
    // name of an own file, is swapped with the socket in one step (so that
    // it cannot be put back in between) and then removed or, a folder with
    // something in it or that second name, moved aside to
    // "<path>.planted-<random>"; `takenBack` tells which. -1, with `error`
    // set, on failure.
    static int listenWorldAccessible(const QString& serverName, int backlog, QString& error,
                                     std::vector<TakenBack>& takenBack);

    static constexpr int kPlaceAttempts = 8;
};
