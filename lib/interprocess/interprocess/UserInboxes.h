#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "common/logging/ILogger.h"
#include "interprocess/SharedRecordQueue.h"

namespace interprocess {

// The inboxes of a root process's queue. A root process's own queue is
// written by root alone; the records of another local user's processes go
// into an inbox beside it, "<queue>~<uid>", which that user's senders make
// (mode 0600) and which only that user and root may write. So no user can
// cut, empty or lock root's records or another user's. The root process
// reads its inboxes next to its own queue, in turn; an inbox whose file is
// not its user's, or that cannot be read as a queue, is removed (its user's
// next send makes it anew).
class UserInboxes {
public:
    // How often the shared objects are looked through for new inboxes.
    static constexpr std::chrono::milliseconds kScanInterval{100};

    static std::string nameFor(const std::string& queue, uid_t uid);
    // Removes every inbox of `queue`: the records they held.
    static std::size_t removeAll(const std::string& queue);

    UserInboxes(std::string queue, common::ILogger& logger);

    // Records waiting in all inboxes; a repaired inbox is logged.
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
    };

    // The user an inbox name is for; 0 for a name that is none.
    static uid_t userOf(const std::string& queue, const std::string& name);
    // Takes up inboxes that appeared, lets go of those removed or replaced,
    // at most once per kScanInterval.
    void scan();

    std::string queue_;
    common::ILogger& logger_;
    std::vector<Inbox> inboxes_;
    std::size_t next_ = 0;
    std::chrono::steady_clock::time_point lastScan_{};
    bool scanned_ = false;
};

}  // namespace interprocess
