#include "platform/systemconfiguration/NetworkReachability.h"

#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/route.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <fstream>
#include <sstream>
#include <string>

namespace platform::systemconfiguration {

namespace {

// A default route is one with destination and mask (prefix length) zero
// that is up and does not reject.
bool hasIpv4DefaultRoute() {
    std::ifstream table("/proc/net/route");
    std::string line;
    std::getline(table, line);  // heading
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string interface, destination, gateway, mask;
        unsigned flags = 0;
        int refCount = 0, use = 0, metric = 0;
        fields >> interface >> destination >> gateway >> std::hex >> flags >> std::dec >> refCount >>
            use >> metric >> mask;
        if (fields && destination == "00000000" && mask == "00000000" && (flags & RTF_UP) &&
            !(flags & RTF_REJECT)) {
            return true;
        }
    }
    return false;
}

bool hasIpv6DefaultRoute() {
    std::ifstream table("/proc/net/ipv6_route");
    std::string line;
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string destination, prefix, source, sourcePrefix, nextHop, metric, refCount, use;
        unsigned flags = 0;
        fields >> destination >> prefix >> source >> sourcePrefix >> nextHop >> metric >>
            refCount >> use >> std::hex >> flags;
        if (fields && destination == std::string(32, '0') && prefix == "00" && (flags & RTF_UP) &&
            !(flags & RTF_REJECT)) {
            return true;
        }
    }
    return false;
}

}  // namespace

std::optional<ReachabilityFlags> NetworkReachability::readRouteFlags() {
    std::ifstream probe("/proc/net/route");
    if (!probe) {
        return std::nullopt;
    }
    return hasIpv4DefaultRoute() || hasIpv6DefaultRoute() ? kReachabilityFlagsReachable : 0;
}

NetworkReachability::NetworkReachability(FlagsReader reader) : reader_(std::move(reader)) {}

NetworkReachability::~NetworkReachability() {
    unschedule();
}

bool NetworkReachability::scheduleWithIoContext(boost::asio::io_context& context) {
    unschedule();
    const int fd = ::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_ROUTE);
    if (fd < 0) {
        return false;
    }
    sockaddr_nl address{};
    address.nl_family = AF_NETLINK;
    address.nl_groups = RTMGRP_LINK | RTMGRP_IPV4_ROUTE | RTMGRP_IPV6_ROUTE;
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return false;
    }
    socket_ = std::make_unique<boost::asio::posix::stream_descriptor>(context, fd);
    alive_ = std::make_shared<bool>(true);
    watch();
    return true;
}

void NetworkReachability::unschedule() {
    *alive_ = false;
    if (socket_) {
        boost::system::error_code ignored;
        socket_->close(ignored);
        socket_.reset();
    }
}

void NetworkReachability::flagsChanged() {
    const auto flags = reader_();
    if (flags && callback_) {
        callback_(*flags);
    }
}

void NetworkReachability::watch() {
    socket_->async_wait(boost::asio::posix::descriptor_base::wait_read,
                        [this, alive = alive_](const boost::system::error_code& error) {
                            if (error || !*alive) {
                                return;
                            }
                            // The messages only say that something changed;
                            // the table is read again whole.
                            std::array<char, 8192> message;
                            while (::recv(socket_->native_handle(), message.data(), message.size(),
                                          MSG_DONTWAIT) > 0) {
                            }
                            flagsChanged();
                            if (*alive) {
                                watch();
                            }
                        });
}

}  // namespace platform::systemconfiguration
