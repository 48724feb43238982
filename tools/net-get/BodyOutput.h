#pragma once

#include <sys/types.h>

#include <mutex>
#include <optional>
#include <string>

// Where net-get puts a body: standard output, or the path of -o.
//
// The path is looked at before the request (Check) and touched only when
// the first bytes are written (or, for an empty body, when the answer is
// complete). A regular file, or a path that does not exist yet, is written
// through a new file beside it, readable by its owner alone while it is
// written, that takes its place only once the transfer has succeeded: a
// failed transfer leaves whatever was there as it was. The new file gets the
// old one's mode when net-get's user owns it, else the usual mode of a new
// file. An existing target that is not a regular file (a device such as
// /dev/null, a FIFO, or a link to one, as /dev/stdout is) is written
// directly and never renamed over or removed. A link to a regular file and
// a block device are refused; so is, in a shared folder (sticky and
// writable by every user, as /tmp), whatever another user than net-get's
// and the folder's owner put at the name (common::TargetEntry has the
// rule). Nothing the output did not make itself is ever removed. The folder
// is the one the path named when it was first looked at.
//
// One thread writes; Abandon() may come from another one at any time.
class BodyOutput {
public:
    explicit BodyOutput(std::optional<std::string> path);
    BodyOutput(const BodyOutput&) = delete;
    BodyOutput& operator=(const BodyOutput&) = delete;
    // Discards what a transfer that never finished made.
    ~BodyOutput();

    // Before the request: false, with the reason in Problem(), when what
    // stands at the path is refused or its folder would not let the new
    // file be made or put in place. Nothing is made or opened but the
    // folder; the path is looked at again when the output is opened.
    bool Check();
    // Appends `size` bytes; false, with the reason in Problem(), once a step failed.
    bool Write(const unsigned char* data, std::size_t size);
    // The transfer succeeded: makes the output when nothing made it yet, and
    // puts the temporary file in place. False on a failure.
    bool Finish();
    // An answer without a body (to HEAD, a 204 or a 304) completed: an
    // existing output is left as it was, a missing one is made empty.
    bool FinishWithoutBody();
    // The transfer failed: removes the temporary file, if one was made.
    void Discard();
    // The run is being stopped, from any thread: removes the temporary file,
    // and none is made or put in place after.
    void Abandon();
    // Whether the output is one a reader follows as it comes (a pipe, a
    // FIFO, a terminal or another device): each read's bytes are then worth
    // handing on at once. A regular file, or a path not there yet, is not.
    bool FollowedByAReader() const;
    bool Failed() const { return error_ != 0; }
    // The failure in the tool's words: the output that cannot be made, or the write.
    std::string Problem() const;

private:
    bool OpenFolder();
    bool Open();
    void Fail(int error, std::string reason = {});

    std::optional<std::string> path_;
    int folder_ = -1;
    std::string name_;  // the last part of the path
    mode_t mode_ = 0;   // that of the temporary file once in place
    // Guards the temporary file's name from its making to its renaming or
    // removal, against Abandon().
    std::mutex naming_;
    std::string temporary_;  // the file written in place of a regular one, in the folder
    bool abandoned_ = false;
    int fd_ = -1;
    bool opened_ = false;
    bool done_ = false;
    int error_ = 0;
    std::string reason_;
};
