#include "interprocess/controller/HostingLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace interprocess {

namespace {

// How often a taker tries again when the file it locked was removed.
constexpr int kAttempts = 4;

// Root's folder of lock files, made when missing; false, with `reason`
// set, when what is there is not a folder that only root writes.
bool makeRootFolder(const std::string& folder, std::string& reason) {
    if (::mkdir(folder.c_str(), 0755) != 0 && errno != EEXIST) {
        reason = folder + ": " + std::strerror(errno);
        return false;
    }
    struct stat status {};
    if (::lstat(folder.c_str(), &status) != 0 || !S_ISDIR(status.st_mode) || status.st_uid != 0 ||
        (status.st_mode & 0022) != 0) {
        reason = folder + " is not a folder that only root writes";
        return false;
    }
    return true;
}

}  // namespace

std::string HostingLock::pathFor(const std::string& socketPath, const std::string& rootFolder) {
    if (::geteuid() != 0) {
        return socketPath + ".lock";
    }
    const std::string::size_type slash = socketPath.rfind('/');
    return rootFolder + "/" +
           (slash == std::string::npos ? socketPath : socketPath.substr(slash + 1)) + ".lock";
}

std::unique_ptr<HostingLock> HostingLock::take(const std::string& socketPath, std::string& reason,
                                               const std::string& rootFolder) {
    if (::geteuid() == 0 && !makeRootFolder(rootFolder, reason)) {
        return nullptr;
    }
    const std::string path = pathFor(socketPath, rootFolder);
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd < 0) {
            reason = path + ": " + std::strerror(errno);
            return nullptr;
        }
        struct stat held {};
        if (::fstat(fd, &held) != 0 || !S_ISREG(held.st_mode) || held.st_uid != ::geteuid()) {
            reason = path + " is not a file of this user";
            ::close(fd);
            return nullptr;
        }
        if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
            reason = errno == EWOULDBLOCK ? "another server of the same kind and id hosts"
                                          : path + ": " + std::strerror(errno);
            ::close(fd);
            return nullptr;
        }
        // The holder before may have let go and removed the file after it was
        // opened here: a lock on a removed file guards nothing.
        struct stat now {};
        if (::lstat(path.c_str(), &now) == 0 && now.st_dev == held.st_dev &&
            now.st_ino == held.st_ino) {
            return std::unique_ptr<HostingLock>(new HostingLock(fd, path, held.st_dev, held.st_ino));
        }
        ::close(fd);
    }
    reason = path + " keeps being replaced";
    return nullptr;
}

HostingLock::~HostingLock() {
    struct stat now {};
    if (::lstat(path_.c_str(), &now) == 0 && now.st_dev == device_ && now.st_ino == inode_) {
        ::unlink(path_.c_str());
    }
    ::close(fd_);
}

}  // namespace interprocess
