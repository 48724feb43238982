#include "network/ProxyAuthenticationSession.h"

#include <algorithm>
#include <vector>

#include <boost/algorithm/string/case_conv.hpp>

#include "network/DigestAuthentication.h"
#include "network/ProxyAuthenticationScheme.h"
#include "network/ProxyCredentials.h"
#include "network/SocketSignals.h"

namespace network {

namespace {

// 407 answers one scheme takes within one connect: the proxy's challenge and
// its refusal of the credentials; a connect may change its scheme once. A
// nonce gone stale adds one to both.
constexpr unsigned kMaxSchemeChallenges = 2;
constexpr unsigned kMaxProxyChallenges = 2 * kMaxSchemeChallenges;

// A "Proxy-Authenticate" value split at its first space or tab into the
// scheme, as written, and the challenge.
std::pair<std::string, std::string> SplitChallenge(const std::string& value) {
    const auto blank = value.find_first_of(" \t");
    if (blank == std::string::npos) {
        return {value, ""};
    }
    return {value.substr(0, blank), value.substr(blank + 1)};
}

}  // namespace

ProxyAuthenticationSession::ProxyAuthenticationSession(
    std::shared_ptr<IProxyAuthenticator> proxyAuthenticator,
    std::shared_ptr<INetworkConnectivity> connectivity, common::ILogger& logger)
    : proxyAuthenticator_(std::move(proxyAuthenticator)),
      connectivity_(std::move(connectivity)),
      logger_(logger) {}

ProxyAuthenticationSession::~ProxyAuthenticationSession() = default;

void ProxyAuthenticationSession::StartConnect() {
    proxyChallenges_ = 0;
    schemeChallenges_ = 0;
    staleNonceGranted_ = false;
}

std::string ProxyAuthenticationSession::Authorization() {
    if (!authentication_) {
        return "";
    }
    const std::string authorization = authentication_->GetAuthorization();
    return authorization.empty() ? "" : authentication_->GetScheme() + " " + authorization;
}

void ProxyAuthenticationSession::Drop() {
    authentication_.reset();
}

bool ProxyAuthenticationSession::RetriesForbidden() const {
    return authentication_ && authentication_->CanRetry();
}

ITCPSocket::ErrorCode ProxyAuthenticationSession::OnChallenge(IHTTPResponse& response,
                                                              const std::string& target,
                                                              const std::string& proxy) {
    // Every challenge, whether the proxy sent each in a field of its own or
    // several in one.
    std::vector<std::string> values;
    for (const auto& field : response.GetHeaders("Proxy-Authenticate")) {
        for (auto& challenge : SplitChallenges(field)) {
            values.push_back(std::move(challenge));
        }
    }
    if (values.empty()) {
        logger_.error("Proxy offers no authentication methods.");
        return ITCPSocket::kProxyConnectFailed;
    }
    // The schemes offered, and those of them that can be answered: a Digest
    // challenge without a nonce, with an algorithm not supported or without
    // the quality of protection "auth" is passed over for the next one.
    std::vector<std::string> offered;
    std::vector<std::string> answerable;
    for (const auto& value : values) {
        const auto [scheme, challenge] = SplitChallenge(value);
        offered.push_back(boost::algorithm::to_lower_copy(scheme));
        const bool digest = offered.back() == "digest";
        answerable.push_back(!digest || DigestAuthentication::Answerable(challenge) ? offered.back()
                                                                                   : std::string());
    }
    std::size_t index = kNoAuthenticationScheme;
    if (authentication_) {
        const std::string current = boost::algorithm::to_lower_copy(authentication_->GetScheme());
        const auto found = std::find(answerable.begin(), answerable.end(), current);
        if (found != answerable.end()) {
            logger_.debug("Using existing service for authentication scheme '%s'", current.c_str());
            index = static_cast<std::size_t>(found - answerable.begin());
        } else {
            logger_.debug("Abandoning previous authentication scheme %s",
                          authentication_->GetScheme().c_str());
            authentication_.reset();
        }
    }
    if (!authentication_) {
        index = SelectAuthenticationScheme(answerable);
    }
    if (index == kNoAuthenticationScheme) {
        logger_.error(
            "Proxy offers authentication methods %s but none are supported by the socket "
            "implementation.",
            JoinStrings(offered, ", ").c_str());
        return ITCPSocket::kProxyConnectFailed;
    }
    const auto [scheme, challenge] = SplitChallenge(values[index]);
    logger_.info("Proxy authentication in progress with foundation. Authentication method: %s .",
                 scheme.c_str());
    if (!authentication_) {
        logger_.debug("Instantiating new service for authentication scheme %s", scheme.c_str());
        // Digest covers the request target of the CONNECT: "host:port".
        authentication_ = CreateAuthentication(scheme, proxyAuthenticator_, connectivity_, target);
        schemeChallenges_ = 0;
    }
    if (connectivity_) {
        connectivity_->GetSignals().proxyAuthentication(
            SchemeToProxyAuthenticationMethod(authentication_->GetScheme()));
    }
    authentication_->ProcessChallenge(challenge);
    if (!authentication_->HasCredentials()) {
        return ITCPSocket::kProxyAuthenticationRequired;
    }
    // Credentials changed since the last 407 of this connect (the proxy
    // refused the earlier ones) earn attempts of their own.
    auto credentials = ProxyCredentials::Read(proxyAuthenticator_.get());
    if (credentials.user != offered_.user || credentials.password != offered_.password) {
        schemeChallenges_ = 0;
        offered_ = std::move(credentials);
    }
    ++proxyChallenges_;
    ++schemeChallenges_;
    const auto* digest = dynamic_cast<const DigestAuthentication*>(authentication_.get());
    staleNonceGranted_ = staleNonceGranted_ || (digest != nullptr && digest->IsStale());
    const unsigned stale = staleNonceGranted_ ? 1 : 0;
    if (schemeChallenges_ >= kMaxSchemeChallenges + stale ||
        proxyChallenges_ >= kMaxProxyChallenges + stale) {
        logger_.error("Proxy <%s> refuses the credentials; giving up after %u answers 407.",
                      proxy.c_str(), proxyChallenges_);
        return ITCPSocket::kProxyAuthenticationRequired;
    }
    return ITCPSocket::kSuccess;
}

}  // namespace network
