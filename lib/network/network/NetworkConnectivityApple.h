#pragma once

#include <atomic>
#include <memory>

#include <boost/asio/io_context.hpp>

#include "network/NetworkConnectivity.h"
#include "platform/systemconfiguration/NetworkReachability.h"

namespace network {

// The connectivity monitor with the system's reachability: the network is
// reachable while the flags say "reachable" without "connection required".
// The flags are read at construction and again at every change of the
// routing table, watched on the given I/O context.
class NetworkConnectivityApple : public NetworkConnectivity {
public:
    using Reachability = platform::systemconfiguration::NetworkReachability;

    // The system's reachability.
    static std::shared_ptr<NetworkConnectivityApple> Create(boost::asio::io_context& context);

    // `reachability` is the source of the flags (tests hand in their own).
    NetworkConnectivityApple(boost::asio::io_context& context,
                             std::unique_ptr<Reachability> reachability);
    ~NetworkConnectivityApple() override;

    // The reachability test on one set of flags.
    static bool IsReachableFlags(platform::systemconfiguration::ReachabilityFlags flags);

protected:
    bool IsReachable() override { return reachable_; }

private:
    void StartMonitoring(boost::asio::io_context& context);
    void StopMonitoring();

    std::atomic<bool> reachable_{true};
    std::unique_ptr<Reachability> reachability_;
};

}  // namespace network
