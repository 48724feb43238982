#include "common/utils/TargetEntry.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>

namespace common {

namespace {

// The kind of entry `mode` is, in words.
const char* kindOf(mode_t mode) {
    if (S_ISREG(mode)) return "file";
    if (S_ISFIFO(mode)) return "FIFO";
    if (S_ISLNK(mode)) return "link";
    if (S_ISCHR(mode) || S_ISBLK(mode)) return "device";
    if (S_ISDIR(mode)) return "folder";
    return "entry";
}

bool sameEntry(const struct stat& one, const struct stat& other) {
    return one.st_dev == other.st_dev && one.st_ino == other.st_ino;
}

}  // namespace

mode_t TargetEntry::currentUmask() {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("Umask:", 0) == 0) {
            char* end = nullptr;
            const unsigned long mask = std::strtoul(line.c_str() + 6, &end, 8);
            if (end != line.c_str() + 6) {
                return static_cast<mode_t>(mask & 0777);
            }
        }
    }
    return 077;
}

TargetEntry TargetEntry::look(int folder, const std::string& name) {
    TargetEntry entry;
    struct stat place {};
    if (::fstat(folder, &place) != 0) {
        entry.refuse(errno);
        return entry;
    }
    const uid_t caller = ::geteuid();
    if (::fstatat(folder, name.c_str(), &entry.seen_, AT_SYMLINK_NOFOLLOW) == 0) {
        const uid_t owner = entry.seen_.st_uid;
        const bool shared = (place.st_mode & S_ISVTX) != 0 && (place.st_mode & S_IWOTH) != 0;
        if (shared && owner != caller && owner != place.st_uid) {
            entry.refuse(EACCES, std::string("another user's ") + kindOf(entry.seen_.st_mode) +
                                     " (uid " + std::to_string(owner) +
                                     ") in a shared folder (sticky, writable by every user) is "
                                     "refused: that user could read or change what is written");
            return entry;
        }
        entry.kind_ = S_ISREG(entry.seen_.st_mode) ? Kind::regular : Kind::inPlace;
    } else if (errno == ENOENT) {
        entry.kind_ = Kind::missing;
    } else {
        entry.refuse(errno);
        return entry;
    }
    if (entry.kind_ == Kind::inPlace) {
        // What a link leads to is looked at again once it is open; what is
        // refused then is said now already.
        struct stat destination {};
        if (S_ISLNK(entry.seen_.st_mode) && ::fstatat(folder, name.c_str(), &destination, 0) == 0) {
            entry.refuseDestination(destination.st_mode);
        }
        return entry;
    }
    // The new file is made in the folder and renamed over the old one: what
    // would keep either from happening is found out before the transfer.
    if (::faccessat(folder, ".", W_OK | X_OK, AT_EACCESS) != 0) {
        const int error = errno;
        entry.refuse(error, std::string("its folder does not let this user make a file: ") +
                                std::strerror(error));
        return entry;
    }
    const bool callerOwns = entry.kind_ == Kind::regular && entry.seen_.st_uid == caller;
    if (entry.kind_ == Kind::regular && (place.st_mode & S_ISVTX) != 0 && !callerOwns &&
        place.st_uid != caller && caller != 0) {
        entry.refuse(EPERM,
                     "another user's file in a sticky folder: only its owner or the folder's "
                     "can replace it");
        return entry;
    }
    // A mode is taken over only from the caller's own file (without set-id
    // bits): another user's would let that user widen the new one.
    entry.newFileMode_ = callerOwns ? (entry.seen_.st_mode & 0777) : (0666 & ~currentUmask());
    return entry;
}

int TargetEntry::openInPlace(int folder, const std::string& name, bool waitForReader) {
    const bool link = S_ISLNK(seen_.st_mode);
    const int fd = ::openat(folder, name.c_str(),
                            O_WRONLY | O_NOCTTY | O_CLOEXEC | (link ? 0 : O_NOFOLLOW) |
                                (waitForReader ? 0 : O_NONBLOCK));
    if (fd < 0) {
        // A link put there since it was looked at is not followed.
        if (errno == ELOOP && !link) {
            refuse(EAGAIN, "it was replaced while it was being opened");
        } else {
            refuse(errno);
        }
        return -1;
    }
    struct stat opened {};
    struct stat now {};
    if (::fstat(fd, &opened) != 0) {
        refuse(errno);
    } else if (link ? ::fstatat(folder, name.c_str(), &now, AT_SYMLINK_NOFOLLOW) != 0 ||
                          !sameEntry(now, seen_)
                    : !sameEntry(opened, seen_)) {
        refuse(EAGAIN, "it was replaced while it was being opened");
    } else if (!refuseDestination(opened.st_mode) && !waitForReader) {
        const int flags = ::fcntl(fd, F_GETFL);
        if (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
            refuse(errno);
        }
    }
    if (kind_ == Kind::refused) {
        ::close(fd);
        return -1;
    }
    return fd;
}

bool TargetEntry::refuseDestination(mode_t mode) {
    if (S_ISREG(mode)) {
        // Only a link leads to a regular file here.
        refuse(ELOOP, "a link to a regular file is refused");
    } else if (S_ISDIR(mode)) {
        refuse(EISDIR);
    } else if (S_ISBLK(mode)) {
        refuse(EINVAL, "a block device is refused");
    } else {
        return false;
    }
    return true;
}

std::string TargetEntry::reason() const {
    return reason_.empty() ? std::string(std::strerror(error_)) : reason_;
}

void TargetEntry::refuse(int error, std::string reason) {
    kind_ = Kind::refused;
    error_ = error != 0 ? error : EIO;
    reason_ = std::move(reason);
}

}  // namespace common
