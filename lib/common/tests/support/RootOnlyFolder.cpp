#include "support/RootOnlyFolder.h"

#include <sys/stat.h>
#include <unistd.h>

#include <vector>

#include <boost/filesystem.hpp>

namespace fs = boost::filesystem;

namespace testsupport {

std::string firstFolderNotRootsAlone(const std::string& path) {
    fs::path built;
    for (const auto& element : fs::path(path)) {
        built /= element;
        struct stat info {};
        if (::lstat(built.c_str(), &info) != 0 || !S_ISDIR(info.st_mode) || info.st_uid != 0 ||
            (info.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
            return built.string();
        }
    }
    return {};
}

RootOnlyFolder::RootOnlyFolder() {
    if (::geteuid() != 0) {
        why_ = "only root can make a folder in a chain of root's alone";
        return;
    }
    for (const std::string base : {"/run", "/var/lib", "/var/cache"}) {
        if (!firstFolderNotRootsAlone(base).empty()) {
            continue;
        }
        std::string pattern = base + "/quorvane-test-XXXXXX";
        std::vector<char> buffer(pattern.begin(), pattern.end());
        buffer.push_back('\0');
        if (::mkdtemp(buffer.data()) != nullptr) {
            path_ = buffer.data();
            ::chmod(path_.c_str(), 0755);
            return;
        }
    }
    why_ = "none of /run, /var/lib and /var/cache is root's alone and writable";
}

RootOnlyFolder::~RootOnlyFolder() {
    if (!path_.empty()) {
        boost::system::error_code error;
        fs::remove_all(path_, error);
    }
}

}  // namespace testsupport
