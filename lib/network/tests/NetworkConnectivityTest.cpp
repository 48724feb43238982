#include <gtest/gtest.h>

#include <optional>
#include <vector>

#include <boost/asio/io_context.hpp>

#include "network/NetworkConnectivityApple.h"
#include "platform/systemconfiguration/NetworkReachability.h"

namespace {

namespace sc = platform::systemconfiguration;
using network::NetworkConnectivityApple;

// Reachability whose flags the test sets; nothing when `flags` is empty.
std::unique_ptr<sc::NetworkReachability> fakeReachability(std::optional<sc::ReachabilityFlags>* flags) {
    return std::make_unique<sc::NetworkReachability>([flags] { return *flags; });
}

// Counts the platform hook of a connected socket.
class CountingConnectivity : public network::NetworkConnectivity {
public:
    int connected = 0;

protected:
    void OnConnected() override { ++connected; }
};

// Unreadable flags (none) count as reachable until the first change.
TEST(NetworkConnectivityTest, ReachableExactlyWhenReachableWithoutConnectionRequired) {
    using Flags = std::optional<sc::ReachabilityFlags>;
    const std::vector<std::pair<Flags, bool>> cases = {
        {std::nullopt, true}, {0, false}, {sc::kReachabilityFlagsReachable, true},
        {sc::kReachabilityFlagsReachable | sc::kReachabilityFlagsConnectionRequired, false},
        {sc::kReachabilityFlagsConnectionRequired, false},
        {sc::kReachabilityFlagsReachable | sc::kReachabilityFlagsTransientConnection | 0x10000, true},
        {sc::kReachabilityFlagsTransientConnection, false}};
    boost::asio::io_context context;
    for (const auto& [start, reachable] : cases) {
        const auto shown = start ? std::to_string(*start) : "none";
        Flags flags = start;
        auto owned = fakeReachability(&flags);
        auto* reachability = owned.get();
        NetworkConnectivityApple connectivity(context, std::move(owned));
        EXPECT_EQ(reachable, connectivity.IsNetworkAvailable()) << "flags at start " << shown;
        if (start) {  // the same flags reached by a change from the opposite state
            flags = reachable ? sc::kReachabilityFlagsConnectionRequired
                              : sc::kReachabilityFlagsReachable;
            reachability->flagsChanged();
            EXPECT_NE(reachable, connectivity.IsNetworkAvailable()) << shown;
            flags = start;
            reachability->flagsChanged();
            EXPECT_EQ(reachable, connectivity.IsNetworkAvailable()) << "after a change " << shown;
        }
    }
}

TEST(NetworkConnectivityTest, DisabledMeansNoNetworkAndNoConnectedHook) {
    CountingConnectivity connectivity;
    connectivity.NotifyConnected();
    EXPECT_EQ(1, connectivity.connected);
    connectivity.SetDisabled(true);
    EXPECT_FALSE(connectivity.IsNetworkAvailable());
    connectivity.NotifyConnected();
    EXPECT_EQ(1, connectivity.connected);
    connectivity.SetDisabled(false);
    EXPECT_TRUE(connectivity.IsNetworkAvailable());
}

TEST(NetworkConnectivityTest, ThisMachineIsReachableThroughItsDefaultRoute) {
    const auto flags = sc::NetworkReachability::readRouteFlags();
    ASSERT_TRUE(flags.has_value()) << "the routing table cannot be read";
    boost::asio::io_context context;
    auto connectivity = NetworkConnectivityApple::Create(context);
    EXPECT_TRUE(connectivity->IsNetworkAvailable())
        << "no default route found; flags " << *flags;
    // The netlink watch is in place and can be polled without a change.
    context.poll();
    EXPECT_TRUE(connectivity->IsNetworkAvailable());
}

}  // namespace
