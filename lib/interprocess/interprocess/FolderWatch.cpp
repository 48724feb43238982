#include "interprocess/FolderWatch.h"

#include <sys/inotify.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace interprocess {

FolderWatch::FolderWatch(const std::string& folder, std::string prefix)
    : prefix_(std::move(prefix)) {
    fd_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (fd_ >= 0 &&
        ::inotify_add_watch(fd_, folder.c_str(),
                            IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_ATTRIB |
                                IN_ONLYDIR | IN_DONT_FOLLOW | IN_EXCL_UNLINK) < 0) {
        close();
    }
}

FolderWatch::~FolderWatch() {
    close();
}

void FolderWatch::close() {
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
}

FolderWatch::Changes FolderWatch::changes() {
    Changes changes;
    changes.everything = first_ || fd_ < 0;
    first_ = false;
    alignas(inotify_event) char buffer[64 * 1024];
    for (std::size_t read = 0; fd_ >= 0 && read < kMaxReadsPerCall; ++read) {
        const ssize_t got = ::read(fd_, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            if (got == 0 || errno != EAGAIN) {
                close();
                changes.everything = true;
            }
            break;
        }
        for (ssize_t at = 0; at + static_cast<ssize_t>(sizeof(inotify_event)) <= got;) {
            inotify_event event;
            std::memcpy(&event, buffer + at, sizeof event);
            const char* name = buffer + at + sizeof event;
            at += static_cast<ssize_t>(sizeof event + event.len);
            if ((event.mask & IN_Q_OVERFLOW) != 0) {
                changes.everything = true;
            } else if ((event.mask & IN_IGNORED) != 0) {
                // The folder itself went away: no more reports come.
                close();
                changes.everything = true;
            } else if (event.len > 0 && at <= got &&
                       std::strncmp(name, prefix_.c_str(), prefix_.size()) == 0 &&
                       ::strnlen(name, event.len) >= prefix_.size()) {
                auto& names = (event.mask & (IN_DELETE | IN_MOVED_FROM)) != 0 ? changes.gone
                                                                               : changes.names;
                names.emplace_back(name, ::strnlen(name, event.len));
            }
        }
    }
    return changes;
}

}  // namespace interprocess
