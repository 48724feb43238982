#include "network/ProxyAuthenticationScheme.h"

#include <boost/algorithm/string/case_conv.hpp>

#include "network/BasicAuthentication.h"
#include "network/DigestAuthentication.h"
#include "network/HTTPListElements.h"

namespace network {

namespace {

// In order of preference, lower case.
const std::vector<std::string>& SupportedSchemes() {
    static const std::vector<std::string> schemes{boost::algorithm::to_lower_copy(std::string("Digest")),
                                                  boost::algorithm::to_lower_copy(std::string("Basic"))};
    return schemes;
}

// Whether a list element of a "Proxy-Authenticate" field begins a new
// challenge: a scheme, alone or followed by blanks and then a token68 or a
// parameter, rather than a parameter "name = value" of the one before.
bool StartsChallenge(std::string_view element) {
    std::size_t scheme = 0;
    while (scheme < element.size() && IsHTTPTokenChar(element[scheme])) {
        ++scheme;
    }
    if (scheme == 0) {
        return false;
    }
    const auto rest = element.substr(scheme);
    if (rest.empty()) {
        return true;
    }
    const auto after = TrimmedHTTPBlanks(rest);
    return IsHTTPBlank(rest.front()) && (after.empty() || after.front() != '=');
}

}  // namespace

std::vector<std::string> SplitChallenges(std::string_view field) {
    std::vector<std::string> challenges;
    // The current challenge: from its scheme to the end of its last element.
    const char* start = nullptr;
    const char* end = nullptr;
    ForEachQuotingListElement(field, [&](std::string_view element) {
        if (StartsChallenge(element)) {
            if (start != nullptr) {
                challenges.emplace_back(start, end);
            }
            start = element.data();
        }
        // A parameter before any scheme belongs to no challenge.
        end = element.data() + element.size();
    });
    if (start != nullptr) {
        challenges.emplace_back(start, end);
    }
    return challenges;
}

std::size_t SelectAuthenticationScheme(const std::vector<std::string>& offered) {
    std::vector<std::string> lower;
    lower.reserve(offered.size());
    for (const auto& name : offered) {
        lower.push_back(boost::algorithm::to_lower_copy(name));
    }
    for (const auto& supported : SupportedSchemes()) {
        for (std::size_t i = 0; i < lower.size(); ++i) {
            if (lower[i] == supported) {
                return i;
            }
        }
    }
    return kNoAuthenticationScheme;
}

std::unique_ptr<INetworkAuthentication> CreateAuthentication(
    const std::string& scheme, std::shared_ptr<IProxyAuthenticator> authenticator,
    std::shared_ptr<INetworkConnectivity> connectivity, const std::string& uri) {
    const std::string lower = boost::algorithm::to_lower_copy(scheme);
    if (lower == "basic") {
        return std::make_unique<BasicAuthentication>(std::move(authenticator), std::move(connectivity));
    }
    if (lower == "digest") {
        return std::make_unique<DigestAuthentication>(std::move(authenticator),
                                                      std::move(connectivity), uri);
    }
    return nullptr;
}

SocketSignals::ProxyAuthenticationMethod SchemeToProxyAuthenticationMethod(const std::string& scheme) {
    using Method = SocketSignals::ProxyAuthenticationMethod;
    return scheme == "Basic" ? Method::Basic : scheme == "Digest" ? Method::Digest : Method::None;
}

std::string JoinStrings(const std::vector<std::string>& strings, const std::string& separator) {
    std::string joined;
    for (std::size_t i = 0; i < strings.size(); ++i) {
        joined += (i == 0 ? "" : separator) + strings[i];
    }
    return joined;
}

}  // namespace network
