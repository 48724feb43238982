#pragma once

#include <atomic>

namespace common {

// The stop flag of the inter-process layer's long-lived objects. `stop`
// implementations do their work and then call `markStopped`, so that only
// the first call reports true.
class Stoppable {
public:
    virtual ~Stoppable() = default;

    virtual bool stop() = 0;
    virtual bool isStopped() const { return stopped_.load(); }

protected:
    // Sets the flag; true when it was not set before.
    bool markStopped() { return !stopped_.exchange(true); }

private:
    std::atomic<bool> stopped_{false};
};

}  // namespace common
