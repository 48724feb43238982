// The follow-ups of AsyncHTTPConnection: a request sent once more on a new
// connection after a failure, and redirects followed as the policy allows.

#include "network/AsyncHTTPConnection.h"

#include "network/HTTPRedirectPolicy.h"

namespace network {

HTTPCallback AsyncHTTPConnection::WrapRedirect(const URL& url,
                                               std::shared_ptr<AsyncHTTPRequest> request,
                                               HTTPCallback callback) {
    return [self = sharedFromThis<AsyncHTTPConnection>(), url, request = std::move(request),
            callback = std::move(callback)](HTTPStatusCode status,
                                            std::unique_ptr<IHTTPResponse> response) mutable {
        self->HandleRedirect(url, request, callback, status, std::move(response));
    };
}

void AsyncHTTPConnection::RetryAfterFailure(const URL& url, std::shared_ptr<AsyncHTTPRequest> request,
                                            HTTPCallback callback) {
    logger_->debug("Sending the request to <%s> again on a new connection", url.ToString().c_str());
    ConnectAnew(url, std::move(request), std::move(callback));
}

void AsyncHTTPConnection::ConnectAnew(const URL& url, std::shared_ptr<AsyncHTTPRequest> request,
                                      HTTPCallback callback) {
    AsyncAbort([self = sharedFromThis<AsyncHTTPConnection>(), url, request = std::move(request),
                callback = std::move(callback)]() mutable {
        self->ConnectSendRequest(url, std::move(request), std::move(callback));
    });
}

bool AsyncHTTPConnection::RedirectTarget(const URL& url, const AsyncHTTPRequest& request,
                                         HTTPStatusCode status, const std::string& location,
                                         URL& target, std::string& refusal) {
    return HTTPRedirectPolicy::Follows(status, request) && !location.empty() &&
           HTTPRedirectPolicy::Target(url, location, target, refusal);
}

void AsyncHTTPConnection::HandleRedirect(const URL& url,
                                         const std::shared_ptr<AsyncHTTPRequest>& request,
                                         HTTPCallback& callback, HTTPStatusCode status,
                                         std::unique_ptr<IHTTPResponse> response) {
    URL target;
    std::string refusal;
    if (!response ||
        !RedirectTarget(url, *request, status, response->GetHeader("Location"), target, refusal)) {
        if (!refusal.empty()) {
            logger_->error("%s", refusal.c_str());
        }
        callback(status, std::move(response));
        return;
    }
    HTTPRedirectPolicy::Rewrite(*request, status, url, target);
    response.reset();
    const bool sameEndpoint = HTTPRedirectPolicy::SameOrigin(url, target);
    logger_->debug("Following a redirect (%u) to <%s>", status, target.ToString().c_str());
    if (sameEndpoint) {
        if (connectOnDemand_ && !socket_) {
            socket_ = MakeSocket();
        }
        SubmitRequestDispatch(target, request, WrapRedirect(target, request, std::move(callback)));
    } else if (connectOnDemand_) {
        // The connection's next request goes to its own endpoint again.
        awayOnRedirect_ = true;
        RetryAfterFailure(target, request, std::move(callback));
    } else {
        callback(httpstatus::kNotSent, nullptr);
    }
}

}  // namespace network
