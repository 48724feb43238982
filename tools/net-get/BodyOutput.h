#pragma once

#include <mutex>
#include <optional>
#include <string>

// Where net-get puts a body: standard output, or the path of -o.
//
// The path is touched only when the first bytes are written (or, for an
// empty body, when the answer is complete). A regular file, or a path that
// does not exist yet, is written through a new temporary file beside it
// that takes its place only once the transfer has succeeded: a failed
// transfer leaves whatever was there as it was. An existing target that is
// not a regular file (a device such as /dev/null, a FIFO, or a link to one,
// as /dev/stdout is) is written directly and never renamed over or removed.
// A link to a regular file and a block device are refused. Nothing the
// output did not make itself is ever removed.
//
// One thread writes; Abandon() may come from another one at any time.
class BodyOutput {
public:
    explicit BodyOutput(std::optional<std::string> path);
    BodyOutput(const BodyOutput&) = delete;
    BodyOutput& operator=(const BodyOutput&) = delete;
    // Discards what a transfer that never finished made.
    ~BodyOutput();

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
    bool Open();
    bool OpenExisting(bool link);

    std::optional<std::string> path_;
    // Guards the temporary file's name from its making to its renaming or
    // removal, against Abandon().
    std::mutex naming_;
    std::string temporary_;  // the file written in place of a regular one
    bool abandoned_ = false;
    int fd_ = -1;
    bool opened_ = false;
    bool done_ = false;
    int error_ = 0;
};
