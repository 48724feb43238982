#pragma once

#include <sys/types.h>

#include <cstddef>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "helper/ApplicationType.h"

namespace interprocess {

// The texts that wait for each peer of the local-socket controller, in
// sending order, kMaxBytes at most a peer. Each text is meant for the user
// the peer ran as when it was sent, and goes only to a link of that user or
// of root. While a peer's texts are being sent they count as waiting, so
// that texts sent meanwhile queue behind them; what could not be sent goes
// back in front, in its order.
class PendingTexts {
public:
    struct Text {
        std::string text;
        uid_t user;
    };

    // A peer's list warns once when it reaches this size.
    static constexpr std::size_t kWarningSize = 50;
    static constexpr std::size_t kMaxBytes = 16u * 1024u * 1024u;

    // Appends `text`; false, and nothing kept, when the peer's list would
    // pass kMaxBytes. `size` is then the list's new size.
    bool add(helper::ApplicationType peer, Text text, std::size_t& size);
    // Appends `text` when texts wait for the peer or are being sent (then
    // true, with `kept` telling whether it fit); false, and nothing done,
    // when nothing waits.
    bool addBehind(helper::ApplicationType peer, Text text, bool& kept, std::size_t& size);
    // Texts wait for the peer, or are being sent to it.
    bool waiting(helper::ApplicationType peer) const;
    std::size_t count(helper::ApplicationType peer) const;
    // Marks the peer's texts as being sent; false when they are already,
    // so that one sending at a time is started.
    bool startSending(helper::ApplicationType peer);
    // While they are being sent: the texts that may go to a link of user
    // `user`, taken out in their order, the others left. Empty, and no
    // longer being sent, when there are none.
    std::vector<Text> take(helper::ApplicationType peer, uid_t user);
    // Ends the sending, nothing taken.
    void endSending(helper::ApplicationType peer);
    // Puts `texts` back in front of what waits, ends the sending and
    // returns how many now wait.
    std::size_t putBack(helper::ApplicationType peer, std::vector<Text> texts);
    // Whether a text meant for `meant` may go to a link of user `user`.
    static bool mayGo(uid_t meant, uid_t user) { return user == meant || user == 0; }

private:
    std::size_t bytesOf(helper::ApplicationType peer) const;

    mutable std::mutex mutex_;
    std::map<helper::ApplicationType, std::vector<Text>> texts_;
    std::map<helper::ApplicationType, std::size_t> bytes_;
    std::set<helper::ApplicationType> sending_;
};

}  // namespace interprocess
