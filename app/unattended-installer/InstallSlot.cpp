#include "InstallSlot.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <thread>
#include <vector>

#include <boost/filesystem/operations.hpp>

#include "InstallFolders.h"

namespace quorvane::unattended {

namespace fs = boost::filesystem;

namespace {

constexpr std::chrono::milliseconds kLockPoll{100};

bool isPresent(const fs::path& path) {
    struct stat info {};
    return ::lstat(path.c_str(), &info) == 0;
}

}  // namespace

InstallSlot::InstallSlot(fs::path destination, common::ILogger& logger)
    : destination_(std::move(destination)), logger_(logger) {}

InstallSlot::~InstallSlot() {
    if (lock_ >= 0) {
        // Removed while still held: a run waiting on the removed file finds
        // it gone once it has the lock and opens the name again.
        ::unlink(hidden("lock").c_str());
        ::close(lock_);
    }
}

fs::path InstallSlot::hidden(const std::string& state) const {
    return destination_.parent_path() / ("." + destination_.filename().string() + "." + state);
}

bool InstallSlot::lock(std::chrono::milliseconds wait) {
    const fs::path path = hidden("lock");
    const auto deadline = std::chrono::steady_clock::now() + wait;
    bool waiting = false;
    for (;;) {
        const int fd =
            ::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
        struct stat info {};
        if (fd < 0 || ::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_uid != 0) {
            logger_.error("the lock '%s' cannot be used: %s", path.c_str(),
                          fd < 0 ? strerror(errno) : "not a file of root's");
            if (fd >= 0) {
                ::close(fd);
            }
            return false;
        }
        if (::flock(fd, LOCK_EX | LOCK_NB) == 0) {
            struct stat named {};
            if (::lstat(path.c_str(), &named) == 0 && named.st_ino == info.st_ino &&
                named.st_dev == info.st_dev) {
                lock_ = fd;
                return true;
            }
            // The holder before removed it: the name is free again.
            ::close(fd);
            continue;
        }
        ::close(fd);
        if (std::chrono::steady_clock::now() >= deadline) {
            logger_.error("another install into '%s' is still running", destination_.c_str());
            return false;
        }
        if (!waiting) {
            logger_.info("waiting for another install into '%s'", destination_.c_str());
            waiting = true;
        }
        std::this_thread::sleep_for(kLockPoll);
    }
}

bool InstallSlot::isLeftOver(const std::string& name) const {
    for (const char* state : {"new", "earlier", "old"}) {
        if (name == hidden(state).filename().string()) {
            return true;
        }
    }
    // ".<name>.unpacking-" and a random part, alone or followed by
    // "-params-" and another: what makeStaging and the parameter file's
    // private folder make, nothing that merely begins as they do.
    const std::string unpacking = hidden(kUnpacking).filename().string();
    if (name.compare(0, unpacking.size(), unpacking) != 0) {
        return false;
    }
    const std::string rest = name.substr(unpacking.size());
    const std::string staging = rest.substr(0, kPrivateSuffixLength);
    const std::string params = kParamsInfix;
    return isPrivateSuffix(staging) &&
           (rest.size() == staging.size() ||
            (rest.compare(staging.size(), params.size(), params) == 0 &&
             isPrivateSuffix(rest.substr(staging.size() + params.size()))));
}

void InstallSlot::recover() {
    std::vector<fs::path> left;
    if (DIR* folder = ::opendir(destination_.parent_path().c_str())) {
        while (const dirent* entry = ::readdir(folder)) {
            if (isLeftOver(entry->d_name)) {
                left.push_back(destination_.parent_path() / entry->d_name);
            }
        }
        ::closedir(folder);
    }
    if (left.empty()) {
        return;
    }
    logger_.warn("a stopped install into '%s' left %zu folders: recovering",
                 destination_.c_str(), left.size());
    remove(hidden("old"));
    if (isPresent(hidden("earlier"))) {
        // How far the new install had come is not known: the earlier one,
        // which was complete, comes back, as a failed registration would
        // have it.
        if (isPresent(destination_)) {
            move(destination_, hidden("old"));
        }
        if (move(hidden("earlier"), destination_)) {
            logger_.warn("the earlier install is back in '%s'", destination_.c_str());
        }
        remove(hidden("old"));
    }
    for (const auto& path : left) {
        if (path != hidden("earlier")) {
            remove(path);
        }
    }
}

fs::path InstallSlot::makeStaging() const {
    return makePrivateFolder(destination_.parent_path(), hidden(kUnpacking).filename().string());
}

bool InstallSlot::putInPlace(const fs::path& staging) {
    if (!move(staging, hidden("new"))) {
        remove(staging);
        return false;
    }
    hadEarlier_ = isRealFolder(destination_);
    if ((hadEarlier_ && !move(destination_, hidden("earlier"))) ||
        !move(hidden("new"), destination_)) {
        if (hadEarlier_ && !isPresent(destination_)) {
            move(hidden("earlier"), destination_);
        }
        remove(hidden("new"));
        return false;
    }
    return true;
}

bool InstallSlot::rollBack() {
    if (!move(destination_, hidden("old"))) {
        return false;
    }
    const bool restored = !hadEarlier_ || move(hidden("earlier"), destination_);
    remove(hidden("old"));
    return restored;
}

void InstallSlot::complete() {
    if (hadEarlier_ && move(hidden("earlier"), hidden("old"))) {
        remove(hidden("old"));
    }
}

bool InstallSlot::move(const fs::path& from, const fs::path& to) {
    if (::rename(from.c_str(), to.c_str()) != 0) {
        logger_.error("unable to move '%s' to '%s': %s", from.c_str(), to.c_str(),
                      strerror(errno));
        return false;
    }
    return true;
}

void InstallSlot::remove(const fs::path& folder) {
    if (!isPresent(folder)) {
        return;
    }
    boost::system::error_code error;
    fs::remove_all(folder, error);
    if (error) {
        logger_.warn("unable to delete directory: '%s', error: '%s'", folder.c_str(),
                     error.message().c_str());
    }
}

}  // namespace quorvane::unattended
