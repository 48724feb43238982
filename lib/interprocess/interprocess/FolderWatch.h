#pragma once

#include <cstddef>
#include <set>
#include <string>

namespace interprocess {

// Tells which entries of a folder, of those whose names begin with a prefix,
// may have changed since it was last asked, so that finding them does not
// cost a reading of the whole folder however many entries others put there:
// the kernel reports each name (inotify). Everything may have changed the
// first time, after the kernel dropped reports, and always when the folder
// cannot be watched.
class FolderWatch {
public:
    struct Changes {
        bool everything = false;
        std::set<std::string> names;
    };

    // Reports read by one call at most; the rest wait for the next.
    static constexpr std::size_t kMaxReadsPerCall = 64;

    FolderWatch(const std::string& folder, std::string prefix);
    ~FolderWatch();
    FolderWatch(const FolderWatch&) = delete;
    FolderWatch& operator=(const FolderWatch&) = delete;

    // Whether the kernel reports the folder's changes.
    bool watching() const { return fd_ >= 0; }
    Changes changes();

private:
    void close();

    std::string prefix_;
    int fd_ = -1;
    bool first_ = true;
};

}  // namespace interprocess
