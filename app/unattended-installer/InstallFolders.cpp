#include "InstallFolders.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include <rapidjson/document.h>

#include "common/utils/RandomString.h"

namespace quorvane::unattended {

namespace fs = boost::filesystem;

namespace {

constexpr const char* kParameterFile = "unattended.json";
constexpr const char* kDeviceToken = "DeviceToken";
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

std::optional<std::string> readDeviceToken(const fs::path& folder) {
    const int directory = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (directory < 0) {
        return std::nullopt;
    }
    const int fd =
        ::openat(directory, kParameterFile, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    ::close(directory);
    if (fd < 0) {
        return std::nullopt;
    }
    struct stat info {};
    std::string text;
    if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_size <= kLargestParameterFile) {
        std::vector<char> buffer(static_cast<std::size_t>(info.st_size));
        const ssize_t n = ::read(fd, buffer.data(), buffer.size());
        if (n > 0) {
            text.assign(buffer.data(), static_cast<std::size_t>(n));
        }
    }
    ::close(fd);
    rapidjson::Document document;
    document.Parse<rapidjson::kParseIterativeFlag>(text.data(), text.size());
    if (document.HasParseError() || !document.IsObject() || !document.HasMember(kDeviceToken) ||
        !document[kDeviceToken].IsString()) {
        return std::nullopt;
    }
    const auto& token = document[kDeviceToken];
    return std::string(token.GetString(), token.GetStringLength());
}

bool exchangeFolders(const fs::path& first, const fs::path& second) {
    return ::renameat2(AT_FDCWD, first.c_str(), AT_FDCWD, second.c_str(), RENAME_EXCHANGE) == 0;
}

}  // namespace quorvane::unattended
