#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace interprocess {

// Tells which entries of a folder, of those whose names begin with a prefix,
// may have changed since it was last asked, so that finding them does not
// cost a reading of the whole folder however many entries others put there:
// the kernel reports each name (inotify) that is made, removed, moved or
// changed in its attributes or links. Everything may have changed the first
// time, after the kernel dropped reports, and always when the folder cannot
// be watched.
class FolderWatch {
public:
    struct Changes {
        bool everything = false;
        // The names made, moved in or changed, and those removed or moved
        // away, each in the order reported; a name may come more than once.
        std::vector<std::string> names;
        std::vector<std::string> gone;
    };

    // Reads of the kernel's reports (64 KiB each, some 800 names) by one call
    // at most; the rest wait for the next, in the kernel (which drops them,
    // and says so, past its own bound).
    static constexpr std::size_t kMaxReadsPerCall = 4;

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
