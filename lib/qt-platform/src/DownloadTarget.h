#pragma once

#include <sys/types.h>

#include <cstddef>
#include <mutex>
#include <string>

// The file a download goes to, by path.
//
// A regular file, or a name where there is nothing yet, is written through
// a new file beside it: made by this process alone (never through a link,
// never into a file someone else put there) under a name nobody can guess,
// readable by its owner alone while it is written, and given at the end the
// mode of the file it replaces when the caller owns that one (else the usual
// mode of a new file). It takes the name only when the transfer succeeded,
// so a failed one leaves whatever was there byte for byte, and nothing of
// its own behind. A target that is not a regular file (a device such as
// /dev/null or /dev/full, a FIFO, or a link to one such as /dev/stdout) is
// written where it is, from its start, and nothing is made beside it or put
// in its place. A link to a regular file, a folder and a block device are
// refused; so is, in a shared folder (sticky and writable by every user, as
// /tmp), whatever another user than the caller and the folder's owner put at
// the name (common::TargetEntry has the rule). What keeps the file from
// being made or put in place is found out by open(), before any transfer.
// The folder is the one the target was in when it was opened, whatever is
// renamed meanwhile.
//
// One thread uses it; abandon() may come from any other.
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
    // The process is being stopped (a closing signal), from any thread:
    // removes the file made beside the target, and none is made or put in
    // place after (open and commit then fail with EINTR).
    void abandon();

    // The errno value of the first failure; 0 when there was none.
    int error() const { return error_; }
    // The first failure in words: why what stands at the name is refused, or
    // the system's words for error().
    std::string problem() const;

private:
    bool openBeside();
    void fail(int error, std::string reason = {});

    const std::string path_;
    int folder_ = -1;
    std::string name_;
    mode_t mode_ = 0;  // that of the file made beside the target, at the end
    // Guards the name made beside the target from its making to its renaming
    // or removal, against abandon().
    std::mutex naming_;
    std::string temporary_;  // the name made beside the target, while it is ours
    bool abandoned_ = false;
    int fd_ = -1;
    int error_ = 0;
    std::string reason_;
};
