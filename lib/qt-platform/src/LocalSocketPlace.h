#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "LocalSocketProbe.h"

// What a local server of this process's effective user finds at its socket
// path, and whether it may take the place:
//
//   found there                                          the server
//   nothing                                              listens
//   a socket of its own user that nobody listens on      removes it, listens
//   (root only) another user's entry of any kind         takes the place (a
//                                                        link itself, never
//                                                        what it names),
//                                                        removes the entry or,
//                                                        a folder with
//                                                        something in it,
//                                                        moves it aside;
//                                                        listens
//   an entry of its own user, neither socket nor folder, takes the place,
//   with more than one link (a second name that another  moves the entry aside
//   user gave there to a file it may write)              and logs it; listens
//   a live socket of its own user                        does not listen
//   anything else (its own or root's file, link or       does not listen
//   folder, another user's entry when not root)
//
// Nothing here follows a link at the path. No Qt: the inter-process layer
// asks it too, before it has a server made.
class LocalSocketPlace {
public:
    enum class Finding { Free, Stale, Planted, Live, Kept };

    struct Look {
        Finding finding = Finding::Free;
        // Of the entry found, when there is one.
        struct stat status {};
        // What it is, for the log: "a FIFO of user 65534", say.
        std::string what;
        // Moved aside rather than removed: a folder with something in it, or
        // a second name of an own file.
        bool aside = false;
    };

    static Look look(const std::string& path) {
        Look seen;
        if (::lstat(path.c_str(), &seen.status) != 0) {
            seen.finding = errno == ENOENT ? Finding::Free : Finding::Kept;
            seen.what = errno == ENOENT ? "nothing" : std::strerror(errno);
            return seen;
        }
        const uid_t self = ::geteuid();
        const mode_t mode = seen.status.st_mode;
        seen.what = std::string(kindOf(mode)) + " of user " + std::to_string(seen.status.st_uid);
        if (seen.status.st_uid == self && isSecondName(seen.status)) {
            // No server of ours makes one: a name another user gave a file of
            // ours. What the file holds stays under its other names.
            seen.finding = Finding::Planted;
            seen.aside = true;
            seen.what += " with " + std::to_string(seen.status.st_nlink) + " links";
        } else if (seen.status.st_uid == self) {
            seen.finding = !S_ISSOCK(mode)                                ? Finding::Kept
                           : LocalSocketProbe::isLive(path)               ? Finding::Live
                                                                          : Finding::Stale;
        } else if (self != 0) {
            seen.finding = Finding::Kept;
        } else {
            seen.finding = Finding::Planted;
            seen.aside = S_ISDIR(mode) && !isEmptyFolder(path);
            if (seen.aside) {
                seen.what += " with something in it";
            }
        }
        return seen;
    }

    // Whether `status` is of a non-socket entry, not a folder, that has
    // more than one name.
    static bool isSecondName(const struct stat& status) {
        return !S_ISSOCK(status.st_mode) && !S_ISDIR(status.st_mode) && status.st_nlink > 1;
    }

    // Removes the entry that `look` found stale or planted (but one to move
    // aside), when the path still names that very entry; false, with `error`
    // set, otherwise.
    static bool clear(const std::string& path, const Look& seen, std::string& error) {
        const std::string::size_type slash = path.rfind('/');
        const std::string folder = slash == std::string::npos ? "." : path.substr(0, slash + 1);
        const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
        const int at = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (at < 0) {
            error = folder + ": " + std::strerror(errno);
            return false;
        }
        struct stat now {};
        bool done = ::fstatat(at, name.c_str(), &now, AT_SYMLINK_NOFOLLOW) == 0 &&
                    now.st_dev == seen.status.st_dev && now.st_ino == seen.status.st_ino;
        if (!done) {
            error = path + " changed while it was looked at";
        } else if (::unlinkat(at, name.c_str(), S_ISDIR(now.st_mode) ? AT_REMOVEDIR : 0) != 0 &&
                   errno != ENOENT) {
            error = path + " cannot be removed: " + std::strerror(errno);
            done = false;
        }
        ::close(at);
        return done;
    }

    static const char* kindOf(mode_t mode) {
        return S_ISSOCK(mode)   ? "a socket"
               : S_ISREG(mode)  ? "a file"
               : S_ISLNK(mode)  ? "a symbolic link"
               : S_ISDIR(mode)  ? "a folder"
               : S_ISFIFO(mode) ? "a FIFO"
               : S_ISCHR(mode)  ? "a character device"
               : S_ISBLK(mode)  ? "a block device"
                                : "an entry";
    }

private:
    static bool isEmptyFolder(const std::string& path) {
        const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0) {
            return false;
        }
        DIR* folder = ::fdopendir(fd);
        if (folder == nullptr) {
            ::close(fd);
            return false;
        }
        bool empty = true;
        while (const dirent* entry = ::readdir(folder)) {
            if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0) {
                empty = false;
                break;
            }
        }
        ::closedir(folder);
        return empty;
    }
};
