#pragma once

#include <functional>
#include <string>

#include "common/Stoppable.h"
#include "common/utils/Observable.h"
#include "interprocess/IAsynchronousDataLinkClient.h"

namespace interprocess {

// The data link as the connections of one process share it: polled from a
// task queue, received payloads decoded into link messages for the observers.
class IAsynchronousDataLink : public common::Observable<IAsynchronousDataLinkClient>,
                              public common::Stoppable {
public:
    ~IAsynchronousDataLink() override = default;

    virtual bool init() = 0;
    // Queues the sending of `text`; `callback` gets whether it was queued to
    // the peer.
    virtual void send(const std::string& to, const std::string& text,
                      std::function<void(bool)> callback, bool toListener, bool quiet) = 0;
    // Sends at once and waits for the peer's acknowledgement, at most 6 s.
    virtual bool sendSync(const std::string to, const std::string text) = 0;
    virtual std::string name() = 0;
};

}  // namespace interprocess
