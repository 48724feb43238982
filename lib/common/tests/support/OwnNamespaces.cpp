#include "support/OwnNamespaces.h"

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "support/ChildProcess.h"

namespace testsupport {

namespace {

bool writeWhole(const char* file, const std::string& text) {
    const int fd = ::open(file, O_WRONLY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    const bool written = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    const int error = errno;
    ::close(fd);
    errno = error;
    return written;
}

bool failed(std::string& reason, const std::string& what) {
    reason = what + ": " + std::strerror(errno);
    return false;
}

}  // namespace

bool enterOwnNamespaces(int flags, std::string& reason) {
    const uid_t uid = ::geteuid();
    const gid_t gid = ::getegid();
    if (::unshare(flags | (uid == 0 ? 0 : CLONE_NEWUSER)) != 0) {
        return failed(reason, "unshare");
    }
    if (uid != 0 && (!writeWhole("/proc/self/setgroups", "deny") ||
                     !writeWhole("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1") ||
                     !writeWhole("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1"))) {
        return failed(reason, "mapping the user");
    }
    if ((flags & CLONE_NEWNS) != 0 &&
        ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        return failed(reason, "private mounts");
    }
    return true;
}

bool ownNamespacesWork(int flags, std::string& reason) {
    int report[2];
    if (::pipe2(report, O_CLOEXEC) != 0) {
        return failed(reason, "pipe");
    }
    const auto result = runInChild([&] {
        std::string why;
        if (enterOwnNamespaces(flags, why)) {
            return 0;
        }
        return ::write(report[1], why.data(), why.size()) >= 0 ? 1 : 2;
    });
    ::close(report[1]);
    char text[512] = {};
    const ssize_t length = ::read(report[0], text, sizeof text - 1);
    ::close(report[0]);
    reason = length > 0 ? std::string(text, static_cast<std::size_t>(length)) : "no namespaces";
    return result.exited && result.exitCode == 0;
}

}  // namespace testsupport
