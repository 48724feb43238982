#include "network/HTTPRedirectPolicy.h"

#include <algorithm>

#include "network/HTTPRequestSerializer.h"
#include "network/IHTTPResponse.h"

namespace network {

bool HTTPRedirectPolicy::FollowsStatus(HTTPStatusCode status) {
    return status == 301 || status == 302 || status == 303 || status == 307;
}

bool HTTPRedirectPolicy::Follows(HTTPStatusCode status, const AsyncHTTPRequest& request) {
    return FollowsStatus(status) && request.redirectsLeft != 0;
}

bool HTTPRedirectPolicy::Target(const URL& from, const std::string& location, URL& target,
                                std::string& refusal) {
    // The target is read as a reference against the URL asked for; what
    // does not make a whole URL with a host and a usable port is refused.
    std::string reference;
    target = from;
    if (!EncodeReference(location, reference) ||
        !ParseRelativeURL(target, WithLowerCaseScheme(reference)) ||
        !target.HasValidPort()) {
        refusal = "Not following a redirect to <" + location + ">: not a valid URL";
        return false;
    }
    target.ToLower();
    target.SetDefaultPort();
    const bool secureBefore = from.scheme == "https";
    if ((secureBefore && target.scheme != "https") ||
        (target.scheme != "http" && target.scheme != "https")) {
        refusal = "Not following a redirect from <" + from.ToString() + "> to <" +
                  target.ToString() + ">";
        return false;
    }
    return true;
}

bool HTTPRedirectPolicy::SameOrigin(const URL& a, const URL& b) {
    return a.scheme == b.scheme && a.host == b.host && a.port == b.port;
}

void HTTPRedirectPolicy::Rewrite(AsyncHTTPRequest& request, HTTPStatusCode status, const URL& from,
                                 const URL& target) {
    if (status == 303) {
        request.body = {};
        request.contentType.clear();
        // The caller's length was the body's, now gone.
        std::erase_if(request.headers, [](const auto& header) {
            return HeaderNameEquals(header.first, "Content-Length");
        });
        if (request.method != "HEAD") {
            request.method = "GET";
        }
    }
    --request.redirectsLeft;
    if (!SameOrigin(from, target)) {
        // Credentials, the caller's cookies and the caller's Host belong to
        // the first origin.
        auto& headers = request.headers;
        headers.erase(std::remove_if(headers.begin(), headers.end(),
                                     [](const auto& header) {
                                         return HTTPRequestSerializer::IsCredentialHeader(
                                                    header.first) ||
                                                HeaderNameEquals(header.first, "Cookie") ||
                                                HeaderNameEquals(header.first, "Host");
                                     }),
                      headers.end());
    }
}

}  // namespace network
