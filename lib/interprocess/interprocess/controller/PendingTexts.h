#pragma once

#include <cstddef>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "helper/ApplicationType.h"

namespace interprocess {

// The texts that wait for each peer of the local-socket controller, in
// sending order, kMaxBytes at most a peer. While a peer's list is being sent
// it counts as waiting, so that texts sent meanwhile queue behind it; what
// could not be sent goes back in front, in its order.
class PendingTexts {
public:
    // A peer's list warns once when it reaches this size.
    static constexpr std::size_t kWarningSize = 50;
    static constexpr std::size_t kMaxBytes = 16u * 1024u * 1024u;

    // Appends `text`; false, and nothing kept, when the peer's list would
    // pass kMaxBytes. `size` is then the list's new size.
    bool add(helper::ApplicationType peer, const std::string& text, std::size_t& size);
    // Texts wait for the peer, or its list is being sent.
    bool waiting(helper::ApplicationType peer) const;
    std::size_t count(helper::ApplicationType peer) const;
    // Marks the peer's list as being sent.
    void startSending(helper::ApplicationType peer);
    // The whole list, taken out, while it is being sent; empty (and no
    // longer being sent) when nothing is left.
    std::vector<std::string> take(helper::ApplicationType peer);
    // Puts `texts` back in front of what waits, ends the sending and
    // returns how many now wait.
    std::size_t putBack(helper::ApplicationType peer, std::vector<std::string> texts);

private:
    mutable std::mutex mutex_;
    std::map<helper::ApplicationType, std::vector<std::string>> texts_;
    std::map<helper::ApplicationType, std::size_t> bytes_;
    std::set<helper::ApplicationType> sending_;
};

}  // namespace interprocess
