#pragma once

#include <sys/types.h>

#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <vector>

#include "IIpcLocalSocket.h"
#include "helper/ApplicationType.h"

namespace interprocess {

// The sockets of the local-socket controller, client and accepted, each under
// the id the controller gave it, in the order they came. A socket taken out
// is told nothing more and is deleted on the Qt thread once unused; its id is
// remembered, so that a second report of its end is told apart. Once closed,
// no socket is added any more. Any thread.
class LocalSocketLinks {
public:
    using Socket = std::shared_ptr<IIpcLocalSocket>;
    // A link that is up: its socket's id, its peer's kind and user.
    struct Link {
        unsigned int id;
        helper::ApplicationType type;
        uid_t user;
    };

    // The newest socket to the type, preferring one whose link is up.
    Socket find(helper::ApplicationType type) const;
    Socket findById(unsigned int id) const;
    // A socket to the type that is still fresh.
    bool hasPending(helper::ApplicationType type) const;
    void add(Socket socket);
    // Takes the socket out; false when the id was taken out before.
    bool remove(unsigned int id);
    // The ids of every socket to the type.
    std::vector<unsigned int> idsOf(helper::ApplicationType type) const;
    // The user of the link that is up to the type, if one is.
    std::optional<uid_t> linkedUser(helper::ApplicationType type) const;
    // The links up to kinds users run whose user may not be that kind for a
    // process of user `self` while `session` owns the local session
    // (KindUsers): those of an earlier session's user, say.
    std::vector<Link> linksNotFor(uid_t self, uid_t session) const;
    void clearCallbacks();
    // Takes every socket out, and adds none from now on.
    std::vector<Socket> close();

private:
    static helper::ApplicationType typeOf(const Socket& socket);

    mutable std::mutex mutex_;
    std::vector<Socket> sockets_;
    std::set<unsigned int> removed_;
    bool closed_ = false;
};

}  // namespace interprocess
