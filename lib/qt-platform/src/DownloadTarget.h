#pragma once

#include <cstddef>
#include <string>

// The file a download goes to, by path.
//
// A regular file, or a name where there is nothing yet, is written through
// a new file beside it: made by this process alone (never through a link,
// never into a file someone else put there) under a name nobody can guess,
// with the mode an existing file has. It takes the name only when the
// transfer succeeded, so a failed one leaves whatever was there byte for
// byte, and nothing of its own behind. A target that is not a regular file
// (a device such as /dev/null or /dev/full, a FIFO, or a link to one such as
// /dev/stdout) is written where it is, from its start, and nothing is made
// beside it or put in its place. A link to a regular file, a folder and a
// block device are refused. The folder is the one the target was in when it
// was opened, whatever is renamed meanwhile.
class DownloadTarget {
public:
    explicit DownloadTarget(std::string path);
    // Discards what was not committed.
    ~DownloadTarget();
    DownloadTarget(const DownloadTarget&) = delete;
    DownloadTarget& operator=(const DownloadTarget&) = delete;

    // Makes the file written into; false, with error(), when it cannot be had.
    bool open();
    // Appends `size` bytes; false, with error(), when they could not all be
    // written. After a failure every call fails the same way.
    bool write(const char* data, std::size_t size);
    // The transfer succeeded: closes the file and puts it in place; false,
    // with error(), and nothing left behind, when a step failed.
    bool commit();
    // The transfer failed: closes the file and removes the one made beside
    // the target, if any.
    void discard();

    // The errno value of the first failure; 0 when there was none.
    int error() const { return error_; }

private:
    bool openExisting(bool link);
    bool openBeside(bool replacing, unsigned mode);
    void fail(int error);

    const std::string path_;
    int folder_ = -1;
    std::string name_;
    std::string temporary_;  // the name made beside the target, while it is ours
    int fd_ = -1;
    int error_ = 0;
};
