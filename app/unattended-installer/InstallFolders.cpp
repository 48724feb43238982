#include "InstallFolders.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "common/utils/RandomString.h"

namespace quorvane::unattended {

namespace fs = boost::filesystem;

namespace {

constexpr const char* kParameterFile = "unattended.json";
constexpr off_t kLargestParameterFile = 1 << 20;

}  // namespace

bool isRealFolder(const fs::path& path) {
    struct stat info {};
    return ::lstat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

bool makeFolderChain(const fs::path& folder) {
    if (!folder.is_absolute()) {
        return false;
    }
    fs::path built;
    for (const auto& element : folder) {
        built /= element;
        if (::mkdir(built.c_str(), 0755) != 0 && errno != EEXIST) {
            return false;
        }
        if (!isRealFolder(built)) {
            return false;
        }
    }
    return true;
}

fs::path makePrivateFolder(const fs::path& parent, const std::string& prefix) {
    for (int attempt = 0; attempt < 10; ++attempt) {
        const fs::path folder =
            parent / (prefix + common::randomString(10, common::kAlphanumericAlphabet));
        if (::mkdir(folder.c_str(), 0700) == 0) {
            return folder;
        }
        if (errno != EEXIST) {
            break;
        }
    }
    return {};
}

int openPackage(const std::string& path, uid_t user, std::string& reason) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        reason = errno == ELOOP ? "it is a link" : std::string("cannot open: ") + strerror(errno);
        return -1;
    }
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        reason = "not a regular file";
    } else if (info.st_uid != 0 && info.st_uid != user) {
        reason = "owned by user " + std::to_string(info.st_uid);
    } else if ((info.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        reason = "writable by others";
    } else if (info.st_nlink != 1) {
        reason = "it has other names";
    } else {
        return fd;
    }
    ::close(fd);
    return -1;
}

bool copyParameterFile(const fs::path& folder, const fs::path& copy) {
    const int directory = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (directory < 0) {
        return false;
    }
    const int fd =
        ::openat(directory, kParameterFile, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    ::close(directory);
    if (fd < 0) {
        return false;
    }
    struct stat info {};
    std::vector<char> content;
    if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_size <= kLargestParameterFile) {
        content.resize(static_cast<std::size_t>(info.st_size));
        const ssize_t n = ::read(fd, content.data(), content.size());
        content.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
    }
    ::close(fd);
    const int out = ::open(copy.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (out < 0) {
        return false;
    }
    const bool written = !content.empty() &&
                         ::write(out, content.data(), content.size()) ==
                             static_cast<ssize_t>(content.size());
    ::close(out);
    return written;
}

bool exchangeFolders(const fs::path& first, const fs::path& second) {
    return ::renameat2(AT_FDCWD, first.c_str(), AT_FDCWD, second.c_str(), RENAME_EXCHANGE) == 0;
}

}  // namespace quorvane::unattended
