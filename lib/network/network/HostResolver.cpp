#include "network/HostResolver.h"

#include <string>

namespace network {

HostResolver::HostResolver(std::shared_ptr<AsyncService> service)
    : service_(std::move(service)), logger_(common::createLogger("HostResolver")) {}

void HostResolver::Resolve(const Endpoint& target, Callback callback) {
    logger_->debug("Resolving address %s", target.host.c_str());
    auto resolver = std::make_shared<boost::asio::ip::tcp::resolver>(service_->GetIOContext());
    resolver->async_resolve(
        target.host, std::to_string(target.port), boost::asio::ip::tcp::resolver::numeric_service,
        [self = shared_from_this(), resolver, target, callback = std::move(callback)](
            const boost::system::error_code& error,
            const boost::asio::ip::tcp::resolver::results_type& results) {
            self->OnResolved(target, error, results, callback);
        });
}

void HostResolver::OnResolved(const Endpoint& target, const boost::system::error_code& error,
                              const boost::asio::ip::tcp::resolver::results_type& results,
                              const Callback& callback) {
    std::deque<ResolvedEndpoint> endpoints;
    if (error) {
        const std::string reason = std::string(error.category().name()) + ":" +
                                   std::to_string(error.value());
        logger_->error("Address resolution failed when connecting to <%s:%d>; reason: %s",
                       target.host.c_str(), target.port, reason.c_str());
        if (callback) {
            callback(error, std::move(endpoints));
        }
        return;
    }
    int number = 1;
    for (const auto& entry : results) {
        const auto address = entry.endpoint().address();
        logger_->debug("[%d]%s", number++, address.to_string().c_str());
        endpoints.push_back({address, target.port});
    }
    if (callback) {
        callback(error, std::move(endpoints));
    }
}

}  // namespace network
