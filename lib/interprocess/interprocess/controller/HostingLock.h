#pragma once

#include <sys/types.h>

#include <memory>
#include <string>

namespace interprocess {

// Who hosts at a socket path: the server that holds the path's lock, an
// exclusive lock on a file taken without waiting and held for the server's
// life, so that of two servers started at once exactly one hosts. Root's lock
// files lie in a folder that only root writes, kFolder, a user's beside its
// socket (the path and ".lock"). The file is opened without following a
// link and must be the own user's; its holder removes it, still holding it,
// when it lets go, and a taker whose file was removed meanwhile tries again.
class HostingLock {
public:
    static constexpr const char* kFolder = "/run/quorvane-ipc";

    // The lock of `socketPath`; nothing, with `reason` set, when another
    // server holds it or it cannot be taken. Root's lock files lie in
    // `rootFolder`, which must be a folder that only root writes.
    static std::unique_ptr<HostingLock> take(const std::string& socketPath, std::string& reason,
                                             const std::string& rootFolder = kFolder);
    // Where the lock of `socketPath` lies, for this process's user.
    static std::string pathFor(const std::string& socketPath,
                               const std::string& rootFolder = kFolder);

    ~HostingLock();
    HostingLock(const HostingLock&) = delete;
    HostingLock& operator=(const HostingLock&) = delete;

private:
    HostingLock(int fd, std::string path, dev_t device, ino_t inode)
        : fd_(fd), path_(std::move(path)), device_(device), inode_(inode) {}

    int fd_;
    std::string path_;
    dev_t device_;
    ino_t inode_;
};

}  // namespace interprocess
