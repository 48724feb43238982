#pragma once

#include <dirent.h>

#include <cstddef>
#include <string>
#include <vector>

namespace interprocess {

// Lists the names in a folder that begin with a prefix a few entries at a
// time, resuming where it stopped, so that a folder of any size is read
// within a bound per call. Entries made or removed meanwhile may or may not
// be listed.
class FolderLister {
public:
    FolderLister(std::string folder, std::string prefix);
    ~FolderLister();
    FolderLister(const FolderLister&) = delete;
    FolderLister& operator=(const FolderLister&) = delete;

    // Starts listing from the beginning, dropping a listing under way.
    void restart();
    // Whether a listing is under way.
    bool listing() const { return folder_ != nullptr; }
    // A descriptor of the folder while a listing is under way, else -1.
    int fd() const { return folder_ != nullptr ? ::dirfd(folder_) : -1; }
    // Reads at most `entries` entries on, appending the names with the prefix
    // to `names`: the entries read. The listing ends (listing() false) at the
    // folder's end, or when the folder cannot be read.
    std::size_t next(std::size_t entries, std::vector<std::string>& names);

private:
    void close();

    std::string path_;
    std::string prefix_;
    DIR* folder_ = nullptr;
};

}  // namespace interprocess
