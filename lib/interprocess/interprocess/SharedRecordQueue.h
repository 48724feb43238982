#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace interprocess {

// A bounded queue of byte records in one POSIX shared-memory object, which
// other local users may be able to write: nothing read from it is trusted.
// The object is never mapped (a peer that shrinks it cannot fault us); it is
// read and written with pread and pwrite, and every count, position and
// length read from it is checked before it is used. The lock is an
// open-file-description lock on its first byte: the kernel drops it with
// its holder, and a lock nobody gives up is waited for kLockWait at most
// (or not at all, setLockWait). A shared lock on its second byte marks a
// queue that its maker still uses (createNew).
//
// Layout, integers little-endian 32-bit: magic, record limit, size limit,
// first record's slot, records held; then one slot per record, its length
// and room for size-limit bytes.
class SharedRecordQueue {
public:
    enum class Status { Ok, Empty, Full, Busy, Damaged, Failed };

    static constexpr std::chrono::milliseconds kLockWait{20};
    // The largest dimensions a sender accepts from a queue it opens.
    static constexpr std::uint32_t kMaxRecords = 4096;
    static constexpr std::uint32_t kMaxRecordSize = 1u << 20;

    // Where the system keeps the shared-memory objects, as files.
    static constexpr const char* kDirectory = "/dev/shm";

    // Puts a new, empty queue of user `geteuid()` and file mode `mode` in
    // place of whatever has the name, in one step: it is made whole under a
    // name of its own first, so that nobody sees it half made and another
    // user who re-creates the name meanwhile only costs another attempt
    // (kCreateAttempts at most; what another user planted is moved aside,
    // which only root may do). Null, and `error` set, on failure.
    static std::unique_ptr<SharedRecordQueue> create(const std::string& name,
                                                     std::uint32_t maxRecords,
                                                     std::uint32_t maxRecordSize, mode_t mode,
                                                     std::string& error);
    // Makes a new queue of user `geteuid()`, mode 0600, under `name` when
    // nothing has that name: it appears there whole, with that one link, and
    // marked in use for as long as this object lives (inUse). Null, and
    // `error` set, on failure; `taken` is set when the name was not free.
    static std::unique_ptr<SharedRecordQueue> createNew(const std::string& name,
                                                        std::uint32_t maxRecords,
                                                        std::uint32_t maxRecordSize,
                                                        std::string& error, bool* taken = nullptr);
    // Opens an existing queue for sending; its dimensions are checked.
    // `unusable` is set when something is under the name but it is not a
    // queue of this kind, or a damaged one.
    static std::unique_ptr<SharedRecordQueue> open(const std::string& name, std::string& error,
                                                   bool* unusable = nullptr);
    // Removes the queue's name; false when there was none.
    static bool remove(const std::string& name);
    // Removes whatever is under `name`, or moves it out of the way where it
    // cannot (a folder with something in it stays, under another name); root
    // may do so with what another user put there. False when nothing could
    // be removed or moved (errno tells why).
    static bool clear(const std::string& name);
    // The user of the queue file of that name; nothing when there is no
    // regular file under it. Not followed when it is a link.
    static std::optional<uid_t> ownerOf(const std::string& name);
    // The status of whatever has the name, not followed when it is a link;
    // nothing when nothing has it. Looked up from `folder`, when given, a
    // descriptor of kDirectory (which spares the walk of its path).
    static std::optional<struct stat> statusOf(const std::string& name, int folder = -1);
    // The names of the shared objects that begin with `prefix`.
    static std::vector<std::string> namesStartingWith(const std::string& prefix);

    static constexpr int kCreateAttempts = 32;
    // The size of the smallest queue: its header and one slot for a record
    // of no bytes.
    static constexpr off_t kSmallestSize = 24;

    ~SharedRecordQueue();
    SharedRecordQueue(const SharedRecordQueue&) = delete;
    SharedRecordQueue& operator=(const SharedRecordQueue&) = delete;

    // Appends one record; Full when the queue holds its limit, Damaged when
    // the record is larger than the queue's size limit or the queue's state
    // is unreadable. Ok only when the record was found in place once
    // written: a queue that was cut, emptied or removed meanwhile (by
    // somebody who does not take its lock) gives Failed.
    Status push(const std::uint8_t* data, std::size_t size);
    // Takes the first record into `record`. A record whose length exceeds the
    // size limit, or `limit`, is taken off unread and reported Damaged; a
    // queue whose state is unreadable (its header, or its size) is
    // repaired, empty, and reported Damaged, error() saying so. Busy when
    // the lock was not free in time.
    Status pop(std::vector<std::uint8_t>& record,
               std::size_t limit = std::numeric_limits<std::size_t>::max());
    // The records held, or nothing when the lock was not free in time; a
    // queue whose state is unreadable is repaired, empty (error() says so,
    // and `repaired` is set when given).
    std::optional<std::size_t> count(bool* repaired = nullptr);

    // Whether another open file than this object's marks the queue in use
    // (its maker, createNew, while it lives).
    bool inUse() const;
    // Removes `name`, when it is still this queue, if the queue is empty and
    // nobody else marks it in use, under its lock: whoever pushes into it
    // afterwards is told the record was lost (push). False when it stays.
    bool removeIfUnused(const std::string& name);
    // How long push, pop and count wait for the lock; kLockWait unless set.
    void setLockWait(std::chrono::milliseconds wait) { lockWait_ = wait; }

    uid_t owner() const { return owner_; }
    // The status of the file this object holds, as it is now.
    std::optional<struct stat> status() const;
    // Whether the queue is still the file under `name`.
    bool isUnder(const std::string& name) const;
    std::uint32_t maxRecordSize() const { return maxRecordSize_; }
    // What went wrong in the last call that did not return Ok or Empty.
    const std::string& error() const { return error_; }

private:
    struct State {
        std::uint32_t first = 0;
        std::uint32_t held = 0;
    };
    class Lock;

    SharedRecordQueue(int fd, uid_t owner, std::uint32_t maxRecords, std::uint32_t maxRecordSize);

    static off_t sizeFor(std::uint32_t maxRecords, std::uint32_t maxRecordSize);
    off_t slotAt(std::uint32_t index) const;
    // Reads the header; false (error set) when it is not this queue's.
    bool readState(State& state);
    bool writeState(const State& state);
    // Gives the queue back its size and an empty state, after readState
    // failed; error() tells both.
    void repair();
    Status fail(Status status, std::string error);
    Status busy();

    int fd_;
    uid_t owner_;
    std::uint32_t maxRecords_;
    std::uint32_t maxRecordSize_;
    std::chrono::milliseconds lockWait_ = kLockWait;
    std::string error_;
};

}  // namespace interprocess
