#include "InstallFolders.h"

#include <fcntl.h>
#include <ftw.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string_view>

#include "ParameterFileText.h"
#include "common/utils/RandomString.h"

namespace quorvane::unattended {

namespace fs = boost::filesystem;

bool isRealFolder(const fs::path& path) {
    struct stat info {};
    return ::lstat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

bool makeFolderChain(const fs::path& folder, std::string& problem) {
    if (!folder.is_absolute()) {
        problem = "'" + folder.string() + "' is not an absolute path";
        return false;
    }
    fs::path built;
    for (const auto& element : folder) {
        built /= element;
        const bool made = ::mkdir(built.c_str(), 0755) == 0;
        if (!made && errno != EEXIST) {
            problem = "'" + built.string() + "' cannot be made: " + strerror(errno);
            return false;
        }
        // A folder just made is still root's alone: the one above it is.
        if (made && (::lchown(built.c_str(), 0, 0) != 0 || ::chmod(built.c_str(), 0755) != 0)) {
            problem = "'" + built.string() + "' cannot be given to root";
            return false;
        }
        struct stat info {};
        if (::lstat(built.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
            problem = "'" + built.string() + "' is not a folder";
        } else if (info.st_uid != 0) {
            problem = "'" + built.string() + "' belongs to user " + std::to_string(info.st_uid);
        } else if ((info.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
            problem = "'" + built.string() + "' is writable by others";
        } else {
            continue;
        }
        return false;
    }
    return true;
}

fs::path makePrivateFolder(const fs::path& parent, const std::string& prefix) {
    for (int attempt = 0; attempt < 10; ++attempt) {
        const fs::path folder =
            parent / (prefix + common::randomString(kPrivateSuffixLength,
                                                    common::kAlphanumericAlphabet));
        if (::mkdir(folder.c_str(), 0700) == 0) {
            return folder;
        }
        if (errno != EEXIST) {
            break;
        }
    }
    return {};
}

bool isPrivateSuffix(const std::string& text) {
    const std::string_view alphabet = common::kAlphanumericAlphabet;
    return text.size() == kPrivateSuffixLength &&
           std::all_of(text.begin(), text.end(),
                       [&alphabet](char c) { return alphabet.find(c) != std::string_view::npos; });
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

std::optional<std::string> readPlainFile(const fs::path& folder, const char* name,
                                         std::size_t limit, bool* tooLarge) {
    bool over = false;
    if (tooLarge != nullptr) {
        *tooLarge = false;
    }
    const int directory = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (directory < 0) {
        return std::nullopt;
    }
    const int fd = ::openat(directory, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    ::close(directory);
    if (fd < 0) {
        return std::nullopt;
    }
    struct stat info {};
    std::optional<std::string> content;
    if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode)) {
        over = static_cast<std::uint64_t>(info.st_size) > limit;
    }
    if (S_ISREG(info.st_mode) && !over) {
        // The file may grow meanwhile: no more than the limit is read.
        content.emplace();
        char buffer[8192];
        ssize_t n = 0;
        while (content->size() <= limit && (n = ::read(fd, buffer, sizeof buffer)) > 0) {
            content->append(buffer, static_cast<std::size_t>(n));
        }
        over = content->size() > limit;
        if (n < 0 || over) {
            content.reset();
        }
    }
    ::close(fd);
    if (tooLarge != nullptr) {
        *tooLarge = over;
    }
    return content;
}

std::optional<std::string> readParameterFile(const fs::path& folder) {
    auto content = readPlainFile(folder, kParameterFile, kLargestParameterFile);
    if (content && content->empty()) {
        content.reset();
    }
    return content;
}

std::string parameterFileProblem(const fs::path& folder) {
    bool tooLarge = false;
    const auto content = readPlainFile(folder, kParameterFile, kLargestParameterFile, &tooLarge);
    if (tooLarge) {
        return "is larger than " + std::to_string(kLargestParameterFile) + " bytes";
    }
    if (!content || content->empty()) {
        return {};
    }
    const ParameterFileText text(*content);
    // Each would take the token carried over, each as large as it may be.
    if (const std::size_t tokens = text.count(kDeviceToken); tokens > 1) {
        return std::string("holds ") + kDeviceToken + " " + std::to_string(tokens) + " times";
    }
    return text.problem();
}

bool writeNewFile(const fs::path& path, const std::string& content, mode_t mode) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
        return false;
    }
    std::size_t done = 0;
    while (done < content.size()) {
        const ssize_t n = ::write(fd, content.data() + done, content.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        done += static_cast<std::size_t>(n);
    }
    const bool written = done == content.size() && ::fchmod(fd, mode) == 0 && ::fsync(fd) == 0;
    return ::close(fd) == 0 && written;
}

namespace {

thread_local bool g_modesRestricted = true;
thread_local TreeSize* g_measured = nullptr;

int restrictEntry(const char* path, const struct stat* info, int type, FTW*) {
    constexpr mode_t kUnwanted = S_IWGRP | S_IWOTH | S_ISUID | S_ISGID;
    if (type != FTW_SL && type != FTW_SLN && (info->st_mode & kUnwanted) != 0 &&
        ::chmod(path, info->st_mode & 07777 & ~kUnwanted) != 0) {
        g_modesRestricted = false;
    }
    return 0;
}

int measureEntry(const char*, const struct stat* info, int type, FTW* position) {
    if (position->level > 0) {
        ++g_measured->entries;
    }
    if (type == FTW_F) {
        g_measured->bytes += static_cast<std::uint64_t>(info->st_size);
    }
    return 0;
}

}  // namespace

bool restrictModes(const fs::path& folder) {
    g_modesRestricted = true;
    const bool walked = ::nftw(folder.c_str(), restrictEntry, 32, FTW_PHYS) == 0;
    return walked && g_modesRestricted;
}

TreeSize measureTree(const fs::path& folder) {
    TreeSize size;
    g_measured = &size;
    ::nftw(folder.c_str(), measureEntry, 32, FTW_PHYS);
    g_measured = nullptr;
    return size;
}

}  // namespace quorvane::unattended
