#include "interprocess/FolderLister.h"

#include <cstring>

namespace interprocess {

FolderLister::FolderLister(std::string folder, std::string prefix)
    : path_(std::move(folder)), prefix_(std::move(prefix)) {}

FolderLister::~FolderLister() {
    close();
}

void FolderLister::close() {
    if (folder_ != nullptr) {
        ::closedir(folder_);
        folder_ = nullptr;
    }
}

void FolderLister::restart() {
    close();
    folder_ = ::opendir(path_.c_str());
}

std::size_t FolderLister::next(std::size_t entries, std::vector<std::string>& names) {
    std::size_t read = 0;
    for (; folder_ != nullptr && read < entries; ++read) {
        const dirent* entry = ::readdir(folder_);
        if (entry == nullptr) {
            close();
            break;
        }
        if (std::strncmp(entry->d_name, prefix_.c_str(), prefix_.size()) == 0) {
            names.emplace_back(entry->d_name);
        }
    }
    return read;
}

}  // namespace interprocess
