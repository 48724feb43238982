#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

#include <boost/asio/io_context.hpp>
#include <boost/asio/posix/stream_descriptor.hpp>

namespace platform::systemconfiguration {

using ReachabilityFlags = std::uint32_t;

constexpr ReachabilityFlags kReachabilityFlagsTransientConnection = 1 << 0;
constexpr ReachabilityFlags kReachabilityFlagsReachable = 1 << 1;
constexpr ReachabilityFlags kReachabilityFlagsConnectionRequired = 1 << 2;

// Stand-in for a reachability reference on the "any" address: the network
// counts as reachable when the routing table has a default route (IPv4 or
// IPv6) that is up and not a reject route. Changes are watched through a
// netlink route socket on the I/O context it is scheduled on.
class NetworkReachability {
public:
    // Reads the current flags; nothing when they cannot be read.
    using FlagsReader = std::function<std::optional<ReachabilityFlags>()>;
    using Callback = std::function<void(ReachabilityFlags)>;

    // The flags from /proc/net/route and /proc/net/ipv6_route.
    static std::optional<ReachabilityFlags> readRouteFlags();

    explicit NetworkReachability(FlagsReader reader = readRouteFlags);
    ~NetworkReachability();
    NetworkReachability(const NetworkReachability&) = delete;
    NetworkReachability& operator=(const NetworkReachability&) = delete;

    std::optional<ReachabilityFlags> getFlags() const { return reader_(); }
    // Called with the new flags after every change of the routing table.
    void setCallback(Callback callback) { callback_ = std::move(callback); }
    // Starts watching the routing table; false when the netlink socket
    // cannot be opened (then no change is reported).
    bool scheduleWithIoContext(boost::asio::io_context& context);
    void unschedule();
    // Reads the flags again and hands them to the callback, as a change of
    // the routing table does.
    void flagsChanged();

private:
    void watch();

    FlagsReader reader_;
    Callback callback_;
    std::unique_ptr<boost::asio::posix::stream_descriptor> socket_;
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace platform::systemconfiguration
