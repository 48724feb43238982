#include "interprocess/HeldInboxes.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdio>

namespace interprocess {

std::optional<std::string> HeldInboxes::openToOthers(mode_t mode) {
    if ((mode & 077) == 0) {
        return std::nullopt;
    }
    char octal[16];
    std::snprintf(octal, sizeof octal, "%04o", static_cast<unsigned>(mode & 07777u));
    return std::string("other users may open it (mode ") + octal + ")";
}

HeldInboxes::HeldInboxes(std::size_t maxRecordSize, common::ILogger& logger)
    : maxRecordSize_(maxRecordSize), logger_(logger) {}

HeldInboxes::Held HeldInboxes::isHeld(uid_t user, const std::string& name) const {
    const auto found = users_.find(user);
    if (found == users_.end()) {
        return Held::No;
    }
    for (const auto& inbox : found->second.open) {
        if (inbox.name == name) {
            return inbox.queue->isUnder(name) ? Held::Yes : Held::Replaced;
        }
    }
    const auto& waiting = found->second.waiting;
    return std::any_of(waiting.begin(), waiting.end(),
                       [&](const Waiting& entry) { return entry.name == name; })
               ? Held::Waiting
               : Held::No;
}

void HeldInboxes::drop(uid_t user, const std::string& name) {
    const auto found = users_.find(user);
    if (found == users_.end()) {
        return;
    }
    auto& open = found->second.open;
    const auto held = std::find_if(open.begin(), open.end(),
                                   [&](const Inbox& inbox) { return inbox.name == name; });
    if (held != open.end()) {
        open.erase(held);
        --open_;
    }
    auto& waiting = found->second.waiting;
    waiting.erase(std::remove_if(waiting.begin(), waiting.end(),
                                 [&](const Waiting& entry) { return entry.name == name; }),
                  waiting.end());
    if (open.empty() && waiting.empty()) {
        users_.erase(found);
    }
}

HeldInboxes::Inbox* HeldInboxes::victimFor(uid_t user, uid_t session, uid_t& owner) {
    // Those read whole first, then the longest idle.
    const auto before = [](const Inbox& one, const Inbox& other) {
        return (one.counted == 0) != (other.counted == 0) ? one.counted == 0
                                                          : one.active < other.active;
    };
    Inbox* victim = nullptr;
    for (auto& [uid, held] : users_) {
        if (uid == user || uid == session) {
            continue;
        }
        for (auto& inbox : held.open) {
            if (victim == nullptr || before(inbox, *victim)) {
                victim = &inbox;
                owner = uid;
            }
        }
    }
    if (victim != nullptr && user != session &&
        (victim->counted > 0 || Clock::now() - victim->active < kIdleToClose)) {
        return nullptr;
    }
    return victim;
}

bool HeldInboxes::hasRoom(uid_t user, uid_t session, std::size_t open) {
    const auto found = users_.find(user);
    if (found != users_.end() && found->second.open.size() >= kMaxPerUser) {
        return false;
    }
    uid_t owner = 0;
    return open < kMaxOpen || victimFor(user, session, owner) != nullptr;
}

bool HeldInboxes::makeRoom(uid_t user, uid_t session) {
    if (!hasRoom(user, session, open_)) {
        return false;
    }
    if (open_ < kMaxOpen) {
        return true;
    }
    uid_t owner = 0;
    Inbox* victim = victimFor(user, session, owner);
    Waiting closed;
    closed.name = victim->name;
    closed.closed = true;
    closed.heldRecords = victim->counted > 0 || victim->busy;
    if (const auto status = victim->queue->status()) {
        closed.changed = status->st_ctim;
    }
    drop(owner, closed.name);
    users_[owner].waiting.push_back(std::move(closed));
    return true;
}

void HeldInboxes::add(uid_t user, const std::string& name,
                      std::unique_ptr<SharedRecordQueue> queue) {
    Inbox inbox;
    inbox.name = name;
    inbox.queue = std::move(queue);
    inbox.active = Clock::now();
    users_[user].open.push_back(std::move(inbox));
    ++open_;
}

bool HeldInboxes::wait(uid_t user, const std::string& name) {
    auto& held = users_[user];
    auto& waiting = held.waiting;
    if (waiting.size() >= kMaxWaitingPerUser && pruned_.insert(user).second) {
        waiting.erase(std::remove_if(waiting.begin(), waiting.end(),
                                     [](const Waiting& entry) {
                                         return !SharedRecordQueue::statusOf(entry.name);
                                     }),
                      waiting.end());
    }
    if (waiting.size() >= kMaxWaitingPerUser) {
        return false;
    }
    held.waiting.push_back(Waiting{name});
    return true;
}

HeldInboxes::Due HeldInboxes::isDue(uid_t user, uid_t session, const Waiting& waiting,
                                    std::size_t open, std::size_t& looks) {
    if (!hasRoom(user, session, open)) {
        return Due::NoRoom;
    }
    // Another's place is taken only for what may hold records.
    if (open >= kMaxOpen && waiting.closed && !waiting.heldRecords) {
        if (looks == 0) {
            return Due::NotYet;
        }
        --looks;
        const auto status = SharedRecordQueue::statusOf(waiting.name);
        if (!status || (status->st_ctim.tv_sec == waiting.changed.tv_sec &&
                        status->st_ctim.tv_nsec == waiting.changed.tv_nsec)) {
            return Due::NotYet;
        }
    }
    return Due::Yes;
}

std::vector<std::pair<uid_t, std::string>> HeldInboxes::due(std::size_t count, uid_t session) {
    pruned_.clear();
    std::vector<std::pair<uid_t, std::string>> names;
    std::vector<uid_t> order;
    if (users_.count(session) != 0) {
        order.push_back(session);
    }
    for (const auto& [uid, held] : users_) {
        if (uid != session && !held.waiting.empty()) {
            order.push_back(uid);
        }
    }
    std::size_t looks = count;
    for (const uid_t uid : order) {
        auto& held = users_[uid];
        for (auto waiting = held.waiting.begin();
             waiting != held.waiting.end() && names.size() < count;) {
            // The room is judged as if each name taken off were taken up.
            const std::size_t taken = static_cast<std::size_t>(std::count_if(
                names.begin(), names.end(), [&](const auto& name) { return name.first == uid; }));
            const auto due = held.open.size() + taken < kMaxPerUser
                                 ? isDue(uid, session, *waiting, open_ + names.size(), looks)
                                 : Due::NoRoom;
            if (due == Due::NoRoom) {
                break;
            }
            if (due == Due::NotYet) {
                ++waiting;
                continue;
            }
            names.emplace_back(uid, std::move(waiting->name));
            waiting = held.waiting.erase(waiting);
        }
    }
    return names;
}

void HeldInboxes::noteBusy(Inbox& inbox) {
    inbox.busy = true;
    if (!inbox.busyLogged) {
        inbox.busyLogged = true;
        logger_.error("unable to receive message: '%s: %s'", inbox.name.c_str(),
                      inbox.queue->error().c_str());
    }
}

std::size_t HeldInboxes::count(std::vector<Unfit>& unfit) {
    const auto now = Clock::now();
    std::size_t records = 0;
    for (auto user = users_.begin(); user != users_.end();) {
        auto& open = user->second.open;
        for (auto inbox = open.begin(); inbox != open.end();) {
            bool repaired = false;
            const auto held = inbox->queue->count(&repaired);
            inbox->counted = 0;
            if (!held) {
                noteBusy(*inbox);
                ++inbox;
                continue;
            }
            inbox->busy = false;
            inbox->busyLogged = false;
            if (repaired) {
                logger_.error("unable to receive message: '%s: %s'", inbox->name.c_str(),
                              inbox->queue->error().c_str());
            }
            const auto status = inbox->queue->status();
            // Opened to others by its user: what it holds may be anybody's.
            if (auto reason = status ? openToOthers(status->st_mode) : std::nullopt) {
                if (inbox->queue->isUnder(inbox->name)) {
                    unfit.push_back(Unfit{inbox->name, status->st_uid, std::move(*reason)});
                }
                inbox = open.erase(inbox);
                --open_;
                continue;
            }
            // Read whole, and its sender ended: it removed the inbox, or
            // marks it in use no more.
            if (*held == 0 && !repaired &&
                ((status && status->st_nlink == 0) ||
                 inbox->queue->removeIfUnused(inbox->name))) {
                inbox = open.erase(inbox);
                --open_;
                continue;
            }
            if (*held > 0) {
                inbox->active = now;
            }
            inbox->counted = *held;
            records += *held;
            ++inbox;
        }
        if (open.empty() && user->second.waiting.empty()) {
            user = users_.erase(user);
        } else {
            ++user;
        }
    }
    return records;
}

SharedRecordQueue::Status HeldInboxes::popFrom(User& user, std::vector<std::uint8_t>& record,
                                               std::string& error) {
    const std::size_t size = user.open.size();
    for (std::size_t i = 0; i < size; ++i) {
        const std::size_t at = (user.next + i) % size;
        auto& inbox = user.open[at];
        if (inbox.busy || inbox.counted == 0) {
            continue;
        }
        const auto status = inbox.queue->pop(record, maxRecordSize_);
        if (status == SharedRecordQueue::Status::Empty) {
            inbox.counted = 0;
            continue;
        }
        if (status == SharedRecordQueue::Status::Busy) {
            noteBusy(inbox);
            continue;
        }
        --inbox.counted;
        inbox.active = Clock::now();
        user.next = at + 1;
        if (status != SharedRecordQueue::Status::Ok) {
            error = inbox.name + ": " + inbox.queue->error();
        }
        return status;
    }
    return SharedRecordQueue::Status::Empty;
}

SharedRecordQueue::Status HeldInboxes::pop(std::vector<std::uint8_t>& record, uid_t session,
                                           uid_t& user, std::string& error) {
    if (const auto found = users_.find(session); found != users_.end()) {
        const auto status = popFrom(found->second, record, error);
        if (status != SharedRecordQueue::Status::Empty) {
            user = session;
            return status;
        }
    }
    // The others in turn, from the one after the last whose turn it was.
    auto turn = users_.upper_bound(lastTurn_);
    for (std::size_t i = 0; i < users_.size(); ++i, ++turn) {
        if (turn == users_.end()) {
            turn = users_.begin();
        }
        if (turn->first == session) {
            continue;
        }
        const auto status = popFrom(turn->second, record, error);
        if (status != SharedRecordQueue::Status::Empty) {
            lastTurn_ = turn->first;
            user = turn->first;
            return status;
        }
    }
    return SharedRecordQueue::Status::Empty;
}

}  // namespace interprocess
