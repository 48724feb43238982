#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "common/logging/ILogger.h"
#include "interprocess/FolderWatch.h"
#include "interprocess/SharedRecordQueue.h"

namespace interprocess {

// The inboxes of a root process's queue. A root process's own queue is
// written by root alone; the records of another local user's process go into
// an inbox of that process's own beside it, "<queue>~<uid>.<random part>",
// which the sender makes (mode 0600) under a name nobody could know before,
// so that no user can take it first, and which only that user and root may
// write. So no user can cut, empty, lock or block root's records or another
// user's. The root process reads its own queue first and then its inboxes,
// in turn; a name of that form that is not a queue of the user it names is
// removed, and so is an inbox, once empty, whose sender has ended (its next
// send makes a new one).
class UserInboxes {
public:
    // How often the folder is read for new inboxes at most when the kernel
    // cannot report its changes (else its reports are read at every call).
    static constexpr std::chrono::milliseconds kScanInterval{100};
    // How often the whole folder is read at most once the kernel dropped
    // reports.
    static constexpr std::chrono::seconds kFullScanInterval{1};
    // Inboxes of one user read at a time; more wait until one is gone.
    static constexpr std::size_t kMaxInboxesPerUser = 16;
    // Names of waiting inboxes kept; past them the folder is read again.
    static constexpr std::size_t kMaxWaiting = 256;
    // The largest record an inbox carries: what a root process's queue
    // takes (AsynchronousDataLink::kMaxMsgSize).
    static constexpr std::uint32_t kRecordLimit = 16384;
    static constexpr std::size_t kRandomSize = 12;

    // What the names of the inboxes of `uid` for `queue` begin with.
    static std::string prefixFor(const std::string& queue, uid_t uid);
    // A new inbox of the own user for `queue`, its record size `maxRecordSize`
    // at most kRecordLimit, its name written to `name`; null and `error` set
    // on failure.
    static std::unique_ptr<SharedRecordQueue> make(const std::string& queue,
                                                   std::uint32_t maxRecords,
                                                   std::uint32_t maxRecordSize, std::string& name,
                                                   std::string& error);
    // Removes every inbox of `queue` without waiting for its lock: the
    // records they held, as far as they could be counted.
    static std::size_t removeAll(const std::string& queue);

    // `maxRecordSize`: the largest record taken from an inbox, the own
    // queue's.
    UserInboxes(std::string queue, std::size_t maxRecordSize, common::ILogger& logger);

    // Records waiting in the inboxes whose lock is free; starts a poll, in
    // which an inbox found busy is not tried again. Repaired and busy
    // inboxes are logged, and empty ones whose sender ended removed.
    std::size_t count();
    // Takes the next record of the next inbox that holds one: Empty when
    // none does. `user` is that inbox's user; `error` names the inbox when
    // the result is neither Ok nor Empty.
    SharedRecordQueue::Status pop(std::vector<std::uint8_t>& record, uid_t& user,
                                  std::string& error);

private:
    struct Inbox {
        std::string name;
        uid_t user;
        std::unique_ptr<SharedRecordQueue> queue;
        // Found busy in this poll; its busy lock logged.
        bool busy = false;
        bool busyLogged = false;
    };

    // The user an inbox name is for; 0 for a name that is none.
    static uid_t userOf(const std::string& queue, const std::string& name);
    // Takes up inboxes that appeared, lets go of those removed or replaced.
    void scan();
    void readFolder();
    // Takes up, lets go of, removes or puts off the inbox of that name.
    void examine(const std::string& name);
    std::size_t inboxesOf(uid_t user) const;
    void noteBusy(Inbox& inbox);

    std::string queue_;
    std::size_t maxRecordSize_;
    common::ILogger& logger_;
    FolderWatch watch_;
    std::vector<Inbox> inboxes_;
    // Inboxes of users who had kMaxInboxesPerUser already.
    std::set<std::string> waiting_;
    std::size_t next_ = 0;
    std::chrono::steady_clock::time_point lastRead_{};
    bool scanned_ = false;
    bool readPending_ = false;
    // An inbox was let go of since waiting_ was last looked at.
    bool freed_ = false;
};

}  // namespace interprocess
