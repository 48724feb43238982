#include "interprocess/SharedRecordQueue.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <thread>

#include "common/utils/RandomString.h"

namespace interprocess {

namespace {

constexpr std::uint32_t kMagic = 0x31515651;  // "QVQ1"
constexpr off_t kHeaderSize = 20;
constexpr off_t kLengthSize = 4;
static_assert(SharedRecordQueue::kSmallestSize == kHeaderSize + kLengthSize);

std::string objectName(const std::string& name) {
    return "/" + name;
}

std::string pathOf(const std::string& name) {
    return std::string(SharedRecordQueue::kDirectory) + "/" + name;
}

std::string randomPart() {
    return common::randomString(12, common::kAlphanumericAlphabet);
}

std::string lastError(const char* what) {
    return std::string(what) + ": " + std::strerror(errno);
}

void putInteger(std::uint8_t* out, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) {
        out[i] = static_cast<std::uint8_t>(value >> (8 * i));
    }
}

std::uint32_t getInteger(const std::uint8_t* in) {
    std::uint32_t value = 0;
    for (int i = 0; i < 4; ++i) {
        value |= static_cast<std::uint32_t>(in[i]) << (8 * i);
    }
    return value;
}

bool readExactly(int fd, void* data, std::size_t size, off_t at) {
    const ssize_t got = ::pread(fd, data, size, at);
    return got >= 0 && static_cast<std::size_t>(got) == size;
}

bool writeExactly(int fd, const void* data, std::size_t size, off_t at) {
    const ssize_t put = ::pwrite(fd, data, size, at);
    return put >= 0 && static_cast<std::size_t>(put) == size;
}

// The bytes whose open-file-description locks mean something: the queue's
// lock, and the mark of a queue in use by its maker.
constexpr off_t kLockByte = 0;
constexpr off_t kInUseByte = 1;

// Sets (or, with F_UNLCK, drops) a lock of `type` on one byte, without
// waiting.
bool lockByte(int fd, short type, off_t at) {
    struct flock region {};
    region.l_type = type;
    region.l_whence = SEEK_SET;
    region.l_start = at;
    region.l_len = 1;
    return ::fcntl(fd, F_OFD_SETLK, &region) == 0;
}

}  // namespace

// Holds the queue's lock for one operation, waiting `wait` at most.
class SharedRecordQueue::Lock {
public:
    Lock(int fd, std::chrono::milliseconds wait) : fd_(fd) {
        const auto deadline = std::chrono::steady_clock::now() + wait;
        for (;;) {
            if (lockByte(fd_, F_WRLCK, kLockByte)) {
                held_ = true;
                return;
            }
            if ((errno != EAGAIN && errno != EACCES && errno != EINTR) ||
                std::chrono::steady_clock::now() >= deadline) {
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }
    ~Lock() {
        if (held_) {
            lockByte(fd_, F_UNLCK, kLockByte);
        }
    }
    Lock(const Lock&) = delete;
    Lock& operator=(const Lock&) = delete;

    bool held() const { return held_; }

private:
    int fd_;
    bool held_ = false;
};

namespace {

// A new queue, whole, under a name of its own beside `name` (written to
// `temporary`): its descriptor, or -1 and `error` set.
int makeWhole(const std::string& name, std::uint32_t maxRecords, std::uint32_t maxRecordSize,
              mode_t mode, off_t size, std::string& temporary, std::string& error) {
    for (int attempt = 0; attempt < SharedRecordQueue::kCreateAttempts; ++attempt) {
        temporary = name + ".new-" + randomPart();
        // O_EXCL: whatever another user put under the name is never taken
        // for ours.
        const int fd = ::shm_open(objectName(temporary).c_str(),
                                  O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW, mode);
        if (fd < 0 && errno == EEXIST) {
            continue;
        }
        if (fd < 0) {
            error = lastError("shm_open");
            return -1;
        }
        std::array<std::uint8_t, kHeaderSize> header{};
        putInteger(&header[0], kMagic);
        putInteger(&header[4], maxRecords);
        putInteger(&header[8], maxRecordSize);
        if (::fchmod(fd, mode) != 0 || ::ftruncate(fd, size) != 0 ||
            !writeExactly(fd, header.data(), header.size(), 0)) {
            error = lastError("preparing the queue");
            ::shm_unlink(objectName(temporary).c_str());
            ::close(fd);
            return -1;
        }
        return fd;
    }
    error = "no free name to make the queue under";
    return -1;
}

}  // namespace

bool SharedRecordQueue::clear(const std::string& name) {
    // Anything but a folder goes in one step.
    if (::unlink(pathOf(name).c_str()) == 0) {
        return true;
    }
    if (errno == ENOENT) {
        return false;
    }
    const std::string aside = name + ".planted-" + randomPart();
    if (::rename(pathOf(name).c_str(), pathOf(aside).c_str()) != 0) {
        return false;
    }
    if (::unlink(pathOf(aside).c_str()) != 0) {
        ::rmdir(pathOf(aside).c_str());
    }
    return true;
}

std::unique_ptr<SharedRecordQueue> SharedRecordQueue::create(const std::string& name,
                                                             std::uint32_t maxRecords,
                                                             std::uint32_t maxRecordSize,
                                                             mode_t mode, std::string& error) {
    if (maxRecords == 0 || maxRecords > kMaxRecords || maxRecordSize > kMaxRecordSize) {
        error = "queue dimensions out of range";
        return nullptr;
    }
    for (int attempt = 0; attempt < kCreateAttempts; ++attempt) {
        std::string temporary;
        const int fd = makeWhole(name, maxRecords, maxRecordSize, mode,
                                 sizeFor(maxRecords, maxRecordSize), temporary, error);
        if (fd < 0) {
            return nullptr;
        }
        // The new queue takes the name in one step, whatever held it.
        if (::rename(pathOf(temporary).c_str(), pathOf(name).c_str()) == 0) {
            return std::unique_ptr<SharedRecordQueue>(
                new SharedRecordQueue(fd, ::geteuid(), maxRecords, maxRecordSize));
        }
        const int failure = errno;
        ::shm_unlink(objectName(temporary).c_str());
        ::close(fd);
        if ((failure != EISDIR && failure != ENOTEMPTY && failure != EEXIST) ||
            (!clear(name) && errno != ENOENT)) {
            error = std::string("putting the queue in place: ") + std::strerror(failure);
            return nullptr;
        }
    }
    error = "the name was taken again on every one of " + std::to_string(kCreateAttempts) +
            " attempts";
    return nullptr;
}

std::unique_ptr<SharedRecordQueue> SharedRecordQueue::createNew(const std::string& name,
                                                                std::uint32_t maxRecords,
                                                                std::uint32_t maxRecordSize,
                                                                std::string& error, bool* taken) {
    if (maxRecords == 0 || maxRecords > kMaxRecords || maxRecordSize > kMaxRecordSize) {
        error = "queue dimensions out of range";
        return nullptr;
    }
    std::string temporary;
    const int fd = makeWhole(name, maxRecords, maxRecordSize, 0600,
                             sizeFor(maxRecords, maxRecordSize), temporary, error);
    if (fd < 0) {
        return nullptr;
    }
    // Marked before anybody can see it, so that it is never taken for one
    // its maker left. Moved, not linked, into place: it never has a second
    // link there, which a reader takes for a file made for something else;
    // and the move replaces nothing.
    const bool placed = lockByte(fd, F_RDLCK, kInUseByte) &&
                        ::renameat2(AT_FDCWD, pathOf(temporary).c_str(), AT_FDCWD,
                                    pathOf(name).c_str(), RENAME_NOREPLACE) == 0;
    const int failure = errno;
    if (!placed) {
        ::shm_unlink(objectName(temporary).c_str());
        ::close(fd);
        if (taken != nullptr) {
            *taken = failure == EEXIST;
        }
        error = std::string("putting the queue in place: ") + std::strerror(failure);
        return nullptr;
    }
    return std::unique_ptr<SharedRecordQueue>(
        new SharedRecordQueue(fd, ::geteuid(), maxRecords, maxRecordSize));
}

std::unique_ptr<SharedRecordQueue> SharedRecordQueue::open(const std::string& name,
                                                           std::string& error, bool* unusable) {
    const int fd = ::shm_open(objectName(name).c_str(), O_RDWR | O_NOFOLLOW, 0);
    if (fd < 0) {
        error = lastError("shm_open");
        return nullptr;
    }
    struct stat status {};
    std::array<std::uint8_t, kHeaderSize> header{};
    const bool read = ::fstat(fd, &status) == 0 && S_ISREG(status.st_mode) &&
                      readExactly(fd, header.data(), header.size(), 0);
    const std::uint32_t records = getInteger(&header[4]);
    const std::uint32_t size = getInteger(&header[8]);
    if (!read || getInteger(&header[0]) != kMagic || records == 0 || records > kMaxRecords ||
        size > kMaxRecordSize || status.st_size != sizeFor(records, size)) {
        error = read ? "not a queue of this kind, or damaged" : "not a queue";
        if (unusable != nullptr) {
            *unusable = true;
        }
        ::close(fd);
        return nullptr;
    }
    return std::unique_ptr<SharedRecordQueue>(
        new SharedRecordQueue(fd, status.st_uid, records, size));
}

bool SharedRecordQueue::remove(const std::string& name) {
    return ::shm_unlink(objectName(name).c_str()) == 0;
}

std::optional<uid_t> SharedRecordQueue::ownerOf(const std::string& name) {
    const auto status = statusOf(name);
    if (!status || !S_ISREG(status->st_mode)) {
        return std::nullopt;
    }
    return status->st_uid;
}

std::optional<struct stat> SharedRecordQueue::statusOf(const std::string& name, int folder) {
    struct stat status {};
    if ((folder >= 0 ? ::fstatat(folder, name.c_str(), &status, AT_SYMLINK_NOFOLLOW)
                     : ::lstat(pathOf(name).c_str(), &status)) != 0) {
        return std::nullopt;
    }
    return status;
}

std::optional<struct stat> SharedRecordQueue::status() const {
    struct stat status {};
    if (::fstat(fd_, &status) != 0) {
        return std::nullopt;
    }
    return status;
}

std::vector<std::string> SharedRecordQueue::namesStartingWith(const std::string& prefix) {
    std::vector<std::string> names;
    DIR* folder = ::opendir(kDirectory);
    if (folder == nullptr) {
        return names;
    }
    while (const dirent* entry = ::readdir(folder)) {
        const std::string name = entry->d_name;
        if (name.compare(0, prefix.size(), prefix) == 0) {
            names.push_back(name);
        }
    }
    ::closedir(folder);
    return names;
}

bool SharedRecordQueue::isUnder(const std::string& name) const {
    struct stat held {};
    struct stat named {};
    return ::fstat(fd_, &held) == 0 && ::lstat(pathOf(name).c_str(), &named) == 0 &&
           held.st_dev == named.st_dev && held.st_ino == named.st_ino;
}

bool SharedRecordQueue::inUse() const {
    struct flock region {};
    region.l_type = F_WRLCK;
    region.l_whence = SEEK_SET;
    region.l_start = kInUseByte;
    region.l_len = 1;
    // Not knowing counts as in use: nothing is removed on a guess.
    return ::fcntl(fd_, F_OFD_GETLK, &region) != 0 || region.l_type != F_UNLCK;
}

bool SharedRecordQueue::removeIfUnused(const std::string& name) {
    const Lock lock(fd_, lockWait_);
    State state;
    return lock.held() && readState(state) && state.held == 0 && !inUse() && isUnder(name) &&
           remove(name);
}

SharedRecordQueue::SharedRecordQueue(int fd, uid_t owner, std::uint32_t maxRecords,
                                     std::uint32_t maxRecordSize)
    : fd_(fd), owner_(owner), maxRecords_(maxRecords), maxRecordSize_(maxRecordSize) {}

SharedRecordQueue::~SharedRecordQueue() {
    ::close(fd_);
}

off_t SharedRecordQueue::sizeFor(std::uint32_t maxRecords, std::uint32_t maxRecordSize) {
    return kHeaderSize + static_cast<off_t>(maxRecords) * (kLengthSize + maxRecordSize);
}

off_t SharedRecordQueue::slotAt(std::uint32_t index) const {
    return kHeaderSize + static_cast<off_t>(index) * (kLengthSize + maxRecordSize_);
}

SharedRecordQueue::Status SharedRecordQueue::fail(Status status, std::string error) {
    error_ = std::move(error);
    return status;
}

SharedRecordQueue::Status SharedRecordQueue::busy() {
    return fail(Status::Busy, lockWait_.count() > 0
                                  ? "the queue's lock was not free within " +
                                        std::to_string(lockWait_.count()) + " ms"
                                  : std::string("the queue's lock is held"));
}

bool SharedRecordQueue::readState(State& state) {
    struct stat status {};
    if (::fstat(fd_, &status) != 0 || status.st_size != sizeFor(maxRecords_, maxRecordSize_)) {
        error_ = "the queue's size was changed";
        return false;
    }
    std::array<std::uint8_t, kHeaderSize> header{};
    if (!readExactly(fd_, header.data(), header.size(), 0)) {
        error_ = "the queue's header cannot be read";
        return false;
    }
    // The dimensions are ours, not the header's: a changed one is damage.
    state.first = getInteger(&header[12]);
    state.held = getInteger(&header[16]);
    if (getInteger(&header[0]) != kMagic || getInteger(&header[4]) != maxRecords_ ||
        getInteger(&header[8]) != maxRecordSize_ || state.first >= maxRecords_ ||
        state.held > maxRecords_) {
        error_ = "the queue's header is damaged";
        return false;
    }
    return true;
}

bool SharedRecordQueue::writeState(const State& state) {
    std::array<std::uint8_t, kHeaderSize> header{};
    putInteger(&header[0], kMagic);
    putInteger(&header[4], maxRecords_);
    putInteger(&header[8], maxRecordSize_);
    putInteger(&header[12], state.first);
    putInteger(&header[16], state.held);
    if (!writeExactly(fd_, header.data(), header.size(), 0)) {
        error_ = lastError("writing the queue's header");
        return false;
    }
    return true;
}

void SharedRecordQueue::repair() {
    const std::string damage = error_;
    if (::ftruncate(fd_, sizeFor(maxRecords_, maxRecordSize_)) != 0 || !writeState(State{})) {
        error_ = damage + "; the queue could not be repaired: " + std::strerror(errno);
        return;
    }
    error_ = damage + "; the queue was emptied and repaired";
}

SharedRecordQueue::Status SharedRecordQueue::push(const std::uint8_t* data, std::size_t size) {
    if (size > maxRecordSize_) {
        return fail(Status::Damaged, "a record of " + std::to_string(size) +
                                         " bytes is larger than the queue's limit of " +
                                         std::to_string(maxRecordSize_));
    }
    const Lock lock(fd_, lockWait_);
    if (!lock.held()) {
        return busy();
    }
    State state;
    if (!readState(state)) {
        return Status::Damaged;
    }
    if (state.held == maxRecords_) {
        return fail(Status::Full, "the queue is full");
    }
    const off_t slot = slotAt((state.first + state.held) % maxRecords_);
    std::array<std::uint8_t, kLengthSize> length{};
    putInteger(length.data(), static_cast<std::uint32_t>(size));
    if (!writeExactly(fd_, length.data(), length.size(), slot) ||
        (size > 0 && !writeExactly(fd_, data, size, slot + kLengthSize))) {
        return fail(Status::Failed, lastError("writing the record"));
    }
    ++state.held;
    if (!writeState(state)) {
        return Status::Failed;
    }
    // Under the lock nobody who keeps to it changes the queue: a queue that
    // is not as written now was cut, emptied or removed by somebody else.
    struct stat status {};
    State written;
    if (::fstat(fd_, &status) != 0 || status.st_nlink == 0 || !readState(written) ||
        written.first != state.first || written.held != state.held ||
        !readExactly(fd_, length.data(), length.size(), slot) ||
        getInteger(length.data()) != size) {
        return fail(Status::Failed, "the record was lost: the queue was changed while it was "
                                    "written");
    }
    return Status::Ok;
}

SharedRecordQueue::Status SharedRecordQueue::pop(std::vector<std::uint8_t>& record,
                                                 std::size_t limit) {
    const Lock lock(fd_, lockWait_);
    if (!lock.held()) {
        return busy();
    }
    State state;
    if (!readState(state)) {
        repair();
        return Status::Damaged;
    }
    if (state.held == 0) {
        return Status::Empty;
    }
    const off_t slot = slotAt(state.first);
    std::array<std::uint8_t, kLengthSize> length{};
    const bool lengthRead = readExactly(fd_, length.data(), length.size(), slot);
    const std::uint32_t size = getInteger(length.data());
    state.first = (state.first + 1) % maxRecords_;
    --state.held;
    if (!writeState(state)) {
        return Status::Failed;
    }
    if (!lengthRead || size > maxRecordSize_) {
        return fail(Status::Damaged, "a record claims " + std::to_string(size) +
                                         " bytes, more than the queue's limit of " +
                                         std::to_string(maxRecordSize_));
    }
    if (size > limit) {
        return fail(Status::Damaged, "a record of " + std::to_string(size) +
                                         " bytes is larger than the " + std::to_string(limit) +
                                         " bytes taken here");
    }
    record.resize(size);
    if (size > 0 && !readExactly(fd_, record.data(), size, slot + kLengthSize)) {
        return fail(Status::Damaged, "a record cannot be read whole");
    }
    return Status::Ok;
}

std::optional<std::size_t> SharedRecordQueue::count(bool* repaired) {
    const Lock lock(fd_, lockWait_);
    if (!lock.held()) {
        busy();
        return std::nullopt;
    }
    State state;
    if (!readState(state)) {
        repair();
        if (repaired != nullptr) {
            *repaired = true;
        }
        return 0;
    }
    return state.held;
}

}  // namespace interprocess
