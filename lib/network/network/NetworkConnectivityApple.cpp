#include "network/NetworkConnectivityApple.h"

namespace network {

namespace sc = platform::systemconfiguration;

std::shared_ptr<NetworkConnectivityApple> NetworkConnectivityApple::Create(
    boost::asio::io_context& context) {
    return std::make_shared<NetworkConnectivityApple>(context, std::make_unique<Reachability>());
}

NetworkConnectivityApple::NetworkConnectivityApple(boost::asio::io_context& context,
                                                   std::unique_ptr<Reachability> reachability)
    : reachability_(std::move(reachability)) {
    StartMonitoring(context);
}

NetworkConnectivityApple::~NetworkConnectivityApple() {
    StopMonitoring();
}

bool NetworkConnectivityApple::IsReachableFlags(sc::ReachabilityFlags flags) {
    return (flags & (sc::kReachabilityFlagsReachable | sc::kReachabilityFlagsConnectionRequired)) ==
           sc::kReachabilityFlagsReachable;
}

void NetworkConnectivityApple::StartMonitoring(boost::asio::io_context& context) {
    if (const auto flags = reachability_->getFlags()) {
        reachable_ = IsReachableFlags(*flags);
    }
    reachability_->setCallback([this](sc::ReachabilityFlags flags) {
        reachable_ = IsReachableFlags(flags);
        logger_->info("Network reachability changed: %s",
                      reachable_ ? "reachable" : "not reachable");
    });
    if (!reachability_->scheduleWithIoContext(context)) {
        logger_->warn("Cannot watch the routing table; reachability stays as read at start");
    }
}

void NetworkConnectivityApple::StopMonitoring() {
    reachability_->unschedule();
    reachability_->setCallback({});
}

}  // namespace network
