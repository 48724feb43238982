#pragma once

#include <deque>
#include <functional>
#include <memory>

#include <boost/asio/ip/tcp.hpp>
#include <boost/system/error_code.hpp>

#include "common/logging/ILogger.h"
#include "network/AsyncService.h"
#include "network/Endpoint.h"
#include "network/ResolvedEndpoint.h"

namespace network {

// Turns a host name and port into the addresses to try, in the system
// resolver's order, on the service's thread.
class HostResolver : public std::enable_shared_from_this<HostResolver> {
public:
    using Callback =
        std::function<void(const boost::system::error_code&, std::deque<ResolvedEndpoint>&&)>;

    explicit HostResolver(std::shared_ptr<AsyncService> service);
    virtual ~HostResolver() = default;

    // Starts one look-up and returns; `callback` runs once, later, with an
    // error and no address or with the addresses found.
    virtual void Resolve(const Endpoint& target, Callback callback);

protected:
    std::shared_ptr<AsyncService> service_;
    std::unique_ptr<common::ILogger> logger_;

private:
    void OnResolved(const Endpoint& target, const boost::system::error_code& error,
                    const boost::asio::ip::tcp::resolver::results_type& results,
                    const Callback& callback);
};

}  // namespace network
