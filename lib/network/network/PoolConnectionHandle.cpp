#include "network/PoolConnectionHandle.h"

#include "network/AsyncHTTPConnectionPool.h"
#include "network/URL.h"

namespace network {

PoolConnectionHandle::PoolConnectionHandle(std::weak_ptr<AsyncHTTPConnectionPool> pool)
    : pool_(std::move(pool)), logger_(common::createLogger("PoolConnectionHandle")) {}

PoolConnectionHandle::~PoolConnectionHandle() = default;

std::uint32_t PoolConnectionHandle::SetCookie(const std::string& setCookieValue) {
    const auto pool = pool_.lock();
    return pool ? pool->GetCookieStore()->SetCookie(setCookieValue) : HTTPCookieStore::kUnchanged;
}

std::uint32_t PoolConnectionHandle::DeleteCookie(const std::string& name) {
    const auto pool = pool_.lock();
    return pool ? pool->GetCookieStore()->DeleteCookie(name) : HTTPCookieStore::kUnchanged;
}

std::unique_ptr<IHTTPRequest> PoolConnectionHandle::CreateRequest() {
    return std::make_unique<AsyncHTTPRequest>();
}

void PoolConnectionHandle::Submit(std::string url, HTTPCallback&& callback) {
    Submit(std::move(url), nullptr, std::move(callback));
}

void PoolConnectionHandle::Submit(std::string url, std::unique_ptr<IHTTPRequest> request,
                                  HTTPCallback&& callback) {
    // Only requests of CreateRequest can be sent; anything else is refused.
    std::shared_ptr<AsyncHTTPRequest> ours;
    if (auto* own = dynamic_cast<AsyncHTTPRequest*>(request.get())) {
        request.release();
        ours.reset(own);
    }
    const auto pool = pool_.lock();
    if (closed_) {
        logger_->warn("Pooled connection already closed.");
    } else if (!pool) {
        logger_->warn("The connection pool of this connection is gone.");
    } else if (request) {
        logger_->warn("The request was not made by this connection.");
    } else {
        URL parsed;
        parsedURLs_.Parse(url, parsed);
        const Endpoint endpoint{parsed.host, static_cast<std::uint16_t>(parsed.port)};
        const bool bound = endpoint_.port != 0 && !endpoint_.host.empty();
        if (!parsed.HasValidPort()) {
            logger_->warn("The port of <%s> is out of range.", url.c_str());
        } else if (bound && !(endpoint_ == endpoint)) {
            logger_->warn("Pooled connection being recycled with different end-point.");
        } else {
            endpoint_ = endpoint;
            // The task owns the callback only once it is queued.
            auto shared = std::make_shared<HTTPCallback>(std::move(callback));
            if (pool->Dispatch([pool, handle = weakFromThis<PoolConnectionHandle>(), endpoint,
                                url = std::move(url), ours = std::move(ours), shared]() mutable {
                    pool->HandleRequest(handle, endpoint, std::move(url), std::move(ours),
                                        std::move(*shared));
                })) {
                return;
            }
            logger_->warn("The connection pool has stopped.");
            callback = std::move(*shared);
        }
    }
    callback(httpstatus::kNotSent, nullptr);
}

void PoolConnectionHandle::Close() {
    closed_ = true;
}

void PoolConnectionHandle::Abort() {
    if (const auto pool = pool_.lock()) {
        pool->ReleaseHandle(weakFromThis<PoolConnectionHandle>(), endpoint_);
    }
}

}  // namespace network
