#include "interprocess/controller/LocalSocketLinks.h"

#include <algorithm>
#include <utility>

#include "interprocess/KindUsers.h"

namespace interprocess {

using helper::ApplicationType;

ApplicationType LocalSocketLinks::typeOf(const Socket& socket) {
    return helper::fromString(socket->getTargetName());
}

LocalSocketLinks::Socket LocalSocketLinks::find(ApplicationType type) const {
    std::lock_guard lock(mutex_);
    Socket best;
    int bestRank = -1;
    for (auto it = sockets_.rbegin(); it != sockets_.rend(); ++it) {
        if (typeOf(*it) != type) {
            continue;
        }
        const int rank = (*it)->isValid() ? ((*it)->isFresh() ? 1 : 2) : 0;
        if (rank > bestRank) {
            best = *it;
            bestRank = rank;
        }
    }
    return best;
}

LocalSocketLinks::Socket LocalSocketLinks::findById(unsigned int id) const {
    std::lock_guard lock(mutex_);
    const auto found = std::find_if(sockets_.begin(), sockets_.end(),
                                    [id](const Socket& socket) { return socket->getId() == id; });
    return found != sockets_.end() ? *found : nullptr;
}

bool LocalSocketLinks::hasPending(ApplicationType type) const {
    std::lock_guard lock(mutex_);
    return std::any_of(sockets_.begin(), sockets_.end(), [type](const Socket& socket) {
        return socket->isFresh() && typeOf(socket) == type;
    });
}

void LocalSocketLinks::add(Socket socket) {
    std::lock_guard lock(mutex_);
    if (!closed_) {
        sockets_.push_back(std::move(socket));
    }
}

bool LocalSocketLinks::remove(unsigned int id) {
    std::vector<Socket> removed;
    {
        std::lock_guard lock(mutex_);
        if (!removed_.insert(id).second) {
            return false;
        }
        for (auto it = sockets_.begin(); it != sockets_.end();) {
            if ((*it)->getId() == id) {
                removed.push_back(std::move(*it));
                it = sockets_.erase(it);
            } else {
                ++it;
            }
        }
    }
    // Closed without another report; deleted on the Qt thread once unused.
    for (const auto& socket : removed) {
        socket->clearCallbacks();
    }
    return true;
}

std::vector<unsigned int> LocalSocketLinks::idsOf(ApplicationType type) const {
    std::lock_guard lock(mutex_);
    std::vector<unsigned int> ids;
    for (const auto& socket : sockets_) {
        if (typeOf(socket) == type) {
            ids.push_back(socket->getId());
        }
    }
    return ids;
}

std::optional<uid_t> LocalSocketLinks::linkedUser(ApplicationType type) const {
    std::lock_guard lock(mutex_);
    for (const auto& socket : sockets_) {
        if (!socket->isFresh() && socket->isValid() && typeOf(socket) == type) {
            return socket->peerUser();
        }
    }
    return std::nullopt;
}

std::vector<LocalSocketLinks::Link> LocalSocketLinks::linksNotFor(uid_t self, uid_t session) const {
    std::lock_guard lock(mutex_);
    std::vector<Link> links;
    for (const auto& socket : sockets_) {
        const ApplicationType type = typeOf(socket);
        const auto user = socket->peerUser();
        if (!socket->isFresh() && user && KindUsers::isRunByUsers(type) &&
            !KindUsers::mayBe(type, *user, self, session)) {
            links.push_back({socket->getId(), type, *user});
        }
    }
    return links;
}

void LocalSocketLinks::clearCallbacks() {
    std::lock_guard lock(mutex_);
    for (const auto& socket : sockets_) {
        socket->clearCallbacks();
    }
}

std::vector<LocalSocketLinks::Socket> LocalSocketLinks::close() {
    std::lock_guard lock(mutex_);
    closed_ = true;
    return std::exchange(sockets_, {});
}

}  // namespace interprocess
