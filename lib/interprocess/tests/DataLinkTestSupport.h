#pragma once

// What the data link's tests share: the fixture, the records' helpers and
// a sender that runs as user nobody.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <grp.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "PeerProcess.h"
#include "RecordingLogger.h"
#include "interprocess/DataLink.h"
#include "interprocess/SharedRecordQueue.h"
#include "interprocess/UserInboxes.h"
#include "support/ChildProcess.h"
#include "support/NobodyChild.h"

namespace datalinktest {

using interprocess::DataLink;
using interprocess::IDataLink;
using interprocesstest::QueueNames;
using testsupport::NobodyChild;
using testsupport::RecordingLogger;

constexpr std::size_t kCount = 100;
constexpr std::size_t kSize = 16384;

struct Received {
    bool ok = false;
    std::string from;
    std::string payload;
    std::int64_t id = 0;
};

// Polls enough to look through a folder that other tests' floods filled: the kernel then drops
// its reports of new senders, and a link lists the folder a bounded number of entries a poll.
constexpr int kLookingPolls = 64;

// Looks for new senders until there are records to take, kLookingPolls polls at most.
inline void lookForSenders(IDataLink& link) {
    link.findSenders();
    for (int poll = 1; poll < kLookingPolls && link.pendingCount() == 0; ++poll) {
        link.findSenders();
    }
}

// What polls give: new senders looked for, then one record taken.
inline Received receive(IDataLink& link) {
    lookForSenders(link);
    Received r;
    std::vector<std::uint8_t> payload;
    bool sync = false, toListener = false, ack = false;
    r.ok = link.receive(payload, r.from, sync, r.id, toListener, ack, false);
    r.payload.assign(payload.begin(), payload.end());
    return r;
}

// The records polls find waiting, new senders looked for first.
inline std::size_t pending(IDataLink& link) {
    lookForSenders(link);
    return link.pendingCount();
}

inline std::vector<std::uint8_t> bytes(const std::string& text) {
    return {text.begin(), text.end()};
}

inline bool waitFor(const std::function<bool()>& condition,
                    std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition() && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return condition();
}

class DataLinkTest : public ::testing::Test {
protected:
    std::unique_ptr<IDataLink> link(const std::string& name) {
        names.queue(name);
        return DataLink::create(names.prefix(), name, std::make_unique<RecordingLogger>(lines));
    }

    QueueNames names;
    std::shared_ptr<RecordingLogger::Lines> lines = std::make_shared<RecordingLogger::Lines>();
};

// Bytes at `offset` of the shared object behind a queue, written by user
// nobody through a descriptor of its own.
inline bool forge(const std::string& queue, off_t offset, const std::vector<std::uint8_t>& bytes) {
    const int fd = ::shm_open(("/" + queue).c_str(), O_RDWR, 0);
    const bool written = fd >= 0 && ::pwrite(fd, bytes.data(), bytes.size(), offset) ==
                                        static_cast<ssize_t>(bytes.size());
    ::close(fd);
    return written;
}

inline std::vector<std::uint8_t> little(std::uint32_t value) {
    return {static_cast<std::uint8_t>(value), static_cast<std::uint8_t>(value >> 8),
            static_cast<std::uint8_t>(value >> 16), static_cast<std::uint8_t>(value >> 24)};
}

// Sends `texts` to `to`, in order, from a data link of kind `kind` (records of `size` bytes
// at most) that user `uid` runs in a child process: how many of them were reported sent.
inline int sendAs(uid_t uid, const std::string& prefix, const std::string& kind,
                  const std::string& to, const std::vector<std::string>& texts,
                  std::size_t size = kSize) {
    return testsupport::runInChild([&] {
               if (::setgroups(0, nullptr) != 0 || ::setgid(uid) != 0 || ::setuid(uid) != 0) {
                   return 255;
               }
               auto link = DataLink::create(prefix, kind,
                                            std::make_unique<RecordingLogger>(
                                                std::make_shared<RecordingLogger::Lines>()));
               if (!link->init(kCount, size)) {
                   return 254;
               }
               int sent = 0;
               for (const auto& text : texts) {
                   sent += link->send(to, bytes(text), false, 1, false, false, true) ? 1 : 0;
               }
               return sent;
           })
        .exitCode;
}

inline int sendAsNobody(const std::string& prefix, const std::string& kind,
                        const std::string& to, const std::vector<std::string>& texts) {
    return sendAs(NobodyChild::kUid, prefix, kind, to, texts);
}

// Takes the lock of the queue `name` through a descriptor of its own, which
// stays open (and the lock held) for the rest of the process's life.
inline bool holdLockOf(const std::string& name) {
    struct flock region {};
    region.l_type = F_WRLCK;
    region.l_whence = SEEK_SET;
    region.l_len = 1;
    const int fd = ::shm_open(("/" + name).c_str(), O_RDWR, 0);
    return fd >= 0 && ::fcntl(fd, F_OFD_SETLK, &region) == 0;
}

// The name of the one inbox that `uid` has for `queue`; empty when it has
// none or several.
inline std::string onlyInboxOf(const std::string& queue, uid_t uid) {
    const auto names = interprocess::SharedRecordQueue::namesStartingWith(
        interprocess::UserInboxes::prefixFor(queue, uid));
    return names.size() == 1 ? names.front() : std::string();
}

// The mode, user and type of whatever has the name `queue`.
inline struct stat statusOf(const std::string& queue) {
    struct stat status {};
    ::lstat(("/dev/shm/" + queue).c_str(), &status);
    return status;
}


}  // namespace datalinktest
