#pragma once

#include <string>

#include "network/AsyncHTTPRequest.h"
#include "network/HTTPStatusCode.h"
#include "network/URL.h"

namespace network {

// Which redirects are followed and what the request becomes on the way
// (RFC 9110 section 15.4): 301, 302, 303 and 307 while the request has
// redirects left, to an http or https URL with a host and a usable port, and
// never from https to http. A 303 turns the request into a GET (a HEAD
// stays) without a body. Credentials and the caller's cookies are dropped
// on the way to another origin.
class HTTPRedirectPolicy {
public:
    // Whether a redirect of `status` is ever followed (301, 302, 303, 307).
    static bool FollowsStatus(HTTPStatusCode status);
    // Whether `status` asks for a redirect this request may still follow.
    static bool Follows(HTTPStatusCode status, const AsyncHTTPRequest& request);
    // The target of `location` read against `from`: false, with the reason
    // in `refusal`, when it is not to be followed.
    static bool Target(const URL& from, const std::string& location, URL& target,
                       std::string& refusal);
    // Whether two URLs are of one origin: scheme, host and port.
    static bool SameOrigin(const URL& a, const URL& b);
    // Makes `request` the one sent to `target` after `status` from `from`,
    // and counts the redirect.
    static void Rewrite(AsyncHTTPRequest& request, HTTPStatusCode status, const URL& from,
                        const URL& target);
};

}  // namespace network
