#include "network/AsyncHTTPConnectionPool.h"

#include <boost/asio/dispatch.hpp>

#include "network/DebugLogging.h"
#include "network/IHTTPResponse.h"
#include "network/PoolConnectionHandle.h"

namespace network {

namespace {

std::string Name(const Endpoint& endpoint) {
    return endpoint.host + ":" + std::to_string(endpoint.port);
}

}  // namespace

AsyncHTTPConnectionPool::AsyncHTTPConnectionPool(
    std::shared_ptr<AsyncService> service, std::shared_ptr<AsyncSSLContext> sslContext,
    std::shared_ptr<IProxyAuthenticator> proxyAuthenticator,
    std::shared_ptr<INetworkConnectivity> connectivity,
    std::shared_ptr<HTTPCookieStore> cookieStore)
    : service_(std::move(service)),
      sslContext_(std::move(sslContext)),
      connectivity_(std::move(connectivity)),
      proxyAuthenticator_(std::move(proxyAuthenticator)),
      cookieStore_(std::move(cookieStore)),
      logger_(common::createLogger("AsyncHTTPConnectionPool")),
      clock_([] { return std::chrono::steady_clock::now(); }) {}

AsyncHTTPConnectionPool::~AsyncHTTPConnectionPool() {
    // A stopped service (its handlers may be what is releasing the pool)
    // takes no more work: its sockets close as they are released.
    if (service_->GetExecutor()) {
        for (auto& [endpoint, list] : connections_) {
            for (auto& entry : list) {
                entry->connection->Close();
            }
        }
    }
    // Every accepted request reports once, queued ones too.
    auto waiting = std::move(waiting_);
    for (auto& [endpoint, queue] : waiting) {
        for (auto& pending : queue) {
            pending.callback(httpstatus::kNotSent, nullptr);
        }
    }
}

std::shared_ptr<PoolConnectionHandle> AsyncHTTPConnectionPool::CreateHandle() {
    return std::make_shared<PoolConnectionHandle>(weakFromThis<AsyncHTTPConnectionPool>());
}

std::shared_ptr<AsyncHTTPConnection> AsyncHTTPConnectionPool::CreateConnection() {
    auto connection = AsyncHTTPConnection::Create(service_, sslContext_, proxyAuthenticator_,
                                                  connectivity_, cookieStore_);
    connection->SetKeepAlive(true);
    connection->SetSocketKeepAlive(true);
    return connection;
}

bool AsyncHTTPConnectionPool::IsClosed(const connection_data_t& entry) const {
    return !entry.connection->GetSocket();
}

AsyncHTTPConnectionPool::RequestHandlingMethod AsyncHTTPConnectionPool::Policy(
    std::uint32_t idle, std::uint32_t busy, std::uint32_t waiting) {
    if (idle > 0 || busy < kMaxConnections) {
        return ServeNow;
    }
    return waiting < kMaxWaiting ? Queue : Reject;
}

AsyncHTTPConnectionPool::RequestHandlingMethod AsyncHTTPConnectionPool::Decide(
    const Endpoint& endpoint) const {
    std::uint32_t idle = 0;
    std::uint32_t busy = 0;
    if (const auto found = connections_.find(endpoint); found != connections_.end()) {
        for (const auto& entry : found->second) {
            ++(entry->busy ? busy : idle);
        }
    }
    const auto queued = waiting_.find(endpoint);
    const auto waiting =
        queued == waiting_.end() ? 0u : static_cast<std::uint32_t>(queued->second.size());
    return Policy(idle, busy, waiting);
}

bool AsyncHTTPConnectionPool::Dispatch(std::function<void()> task) {
    if (!service_->GetExecutor()) {
        return false;
    }
    boost::asio::dispatch(service_->GetIOContext(), std::move(task));
    return true;
}

void AsyncHTTPConnectionPool::HandleRequest(const std::weak_ptr<PoolConnectionHandle>& handle,
                                            const Endpoint& endpoint, std::string url,
                                            std::shared_ptr<AsyncHTTPRequest> request,
                                            HTTPCallback callback) {
    RemoveStaleConnections();
    switch (Decide(endpoint)) {
        case ServeNow:
            ServiceRequest(handle, endpoint, GetConnection(endpoint), std::move(url),
                           std::move(request), std::move(callback));
            break;
        case Queue:
            waiting_[endpoint].push_back(
                {handle, std::move(url), std::move(request), std::move(callback)});
            break;
        case Reject:
            callback(httpstatus::kNotSent, nullptr);
            break;
    }
}

void AsyncHTTPConnectionPool::ServiceRequest(const std::weak_ptr<PoolConnectionHandle>& handle,
                                             const Endpoint& endpoint,
                                             const std::shared_ptr<connection_data_t>& entry,
                                             std::string url,
                                             std::shared_ptr<AsyncHTTPRequest> request,
                                             HTTPCallback callback) {
    entry->busy = true;
    entry->owner = handle;
    HTTPCallback completion = [self = sharedFromThis<AsyncHTTPConnectionPool>(), endpoint, entry,
                               callback = std::move(callback)](
                                  HTTPStatusCode status, std::unique_ptr<IHTTPResponse> response) {
        entry->busy = false;
        entry->owner.reset();
        entry->lastUse = self->clock_();
        const bool failed = status < 100;
        if (failed || self->IsClosed(*entry)) {
            entry->lastUse = std::chrono::steady_clock::time_point::min();
            self->logger_->debug("Connection for endpoint %s will be removed because %s",
                                 Name(endpoint).c_str(),
                                 failed ? "of transport layer failure" : "it was closed");
        }
        callback(status, std::move(response));
        self->ServeNextRequest(endpoint);
    };
    if (request) {
        entry->connection->SubmitRequest(std::move(url), std::move(request), std::move(completion));
    } else {
        entry->connection->Submit(std::move(url), std::move(completion));
    }
}

void AsyncHTTPConnectionPool::ServeNextRequest(const Endpoint& endpoint) {
    RemoveStaleConnections();
    const auto queued = waiting_.find(endpoint);
    if (queued == waiting_.end() || Decide(endpoint) != ServeNow) {
        return;
    }
    auto next = std::move(queued->second.front());
    queued->second.pop_front();
    if (queued->second.empty()) {
        waiting_.erase(queued);
    }
    ServiceRequest(next.handle, endpoint, GetConnection(endpoint), std::move(next.url),
                   std::move(next.request), std::move(next.callback));
}

std::shared_ptr<AsyncHTTPConnectionPool::connection_data_t> AsyncHTTPConnectionPool::GetConnection(
    const Endpoint& endpoint) {
    const bool logged = DebugWritten();
    if (logged) {
        std::string state;
        for (const auto& [key, list] : connections_) {
            std::size_t busy = 0;
            for (const auto& entry : list) {
                busy += entry->busy ? 1 : 0;
            }
            state += " { '" + Name(key) + "' : " + std::to_string(busy) + " / " +
                     std::to_string(list.size()) + " }";
        }
        logger_->debug("Pool (%p) state: [ %s ]", static_cast<const void*>(this), state.c_str());
    }

    auto& list = connections_[endpoint];
    std::shared_ptr<connection_data_t> latest;
    for (const auto& entry : list) {
        if (!entry->busy && (!latest || entry->lastUse > latest->lastUse)) {
            latest = entry;
        }
    }
    if (latest) {
        if (logged) {
            logger_->debug("Using existing connection for endpoint %s", Name(endpoint).c_str());
        }
        return latest;
    }
    auto entry = std::make_shared<connection_data_t>();
    entry->connection = CreateConnection();
    entry->lastUse = clock_();
    list.push_back(entry);
    if (logged) {
        logger_->debug("Created new connection for endpoint %s", Name(endpoint).c_str());
    }
    return entry;
}

void AsyncHTTPConnectionPool::RemoveStaleConnections() {
    const auto now = clock_();
    const auto limit = std::chrono::minutes(idleLimitMinutes_);
    for (auto found = connections_.begin(); found != connections_.end();) {
        auto& list = found->second;
        for (auto it = list.begin(); it != list.end();) {
            const auto& entry = **it;
            if (!entry.busy && entry.lastUse + limit < now) {
                entry.connection->Close();
                logger_->debug("Removed stale connection to endpoint %s:%d",
                               found->first.host.c_str(), static_cast<int>(found->first.port));
                it = list.erase(it);
            } else {
                ++it;
            }
        }
        found = list.empty() ? connections_.erase(found) : std::next(found);
    }
}

void AsyncHTTPConnectionPool::ReleaseHandle(const std::weak_ptr<PoolConnectionHandle>& handle,
                                            const Endpoint& endpoint) {
    Dispatch([self = sharedFromThis<AsyncHTTPConnectionPool>(), handle, endpoint] {
        const auto owner = handle.lock();
        const auto found = self->connections_.find(endpoint);
        if (!owner || found == self->connections_.end()) {
            return;
        }
        // Aborting may complete at once and change the list: work on a copy.
        const auto list = found->second;
        for (const auto& entry : list) {
            if (entry->busy && entry->owner.lock() == owner) {
                entry->connection->Abort();
            }
        }
    });
}

}  // namespace network
