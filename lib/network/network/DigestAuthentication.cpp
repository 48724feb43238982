#include "network/DigestAuthentication.h"

#include <cstdio>
#include <vector>

#include <boost/algorithm/string/predicate.hpp>
#include <boost/algorithm/string/trim.hpp>

#include "network/HTTPListElements.h"
#include "network/IHTTPResponse.h"
#include "network/MD5Hasher.h"
#include "network/ProxyAuthenticationScheme.h"
#include "network/ProxyCredentials.h"
#include "network/Random.h"
#include "network/SHA256Hasher.h"

namespace network {

namespace {

constexpr std::size_t kClientNonceLength = 8;

// Whether `algorithm` (letter case ignored) hashes with SHA-256, and whether
// it is a session variant; false for an algorithm not supported.
bool ReadAlgorithm(const std::string& algorithm, bool& sha256, bool& session) {
    using boost::algorithm::iequals;
    sha256 = iequals(algorithm, "SHA-256") || iequals(algorithm, "SHA-256-sess");
    session = iequals(algorithm, "MD5-sess") || iequals(algorithm, "SHA-256-sess");
    return algorithm.empty() || sha256 || iequals(algorithm, "MD5") || session;
}

// Whether a "qop" value (a comma-separated list) offers "auth"; a challenge
// without one is answered with "auth" as well.
bool OffersAuth(const std::string& qop) {
    if (qop.empty()) {
        return true;
    }
    bool auth = false;
    ForEachListElement(qop, [&auth](std::string_view option) {
        auth = auth || HeaderNameEquals(option, "auth");
    });
    return auth;
}

bool IsWhitespace(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

// The quoted string that opens at `quote`, unescaped; `end` is set to its
// closing quote, or npos when it has none (the value then runs to the end).
std::string ReadQuoted(const std::string& text, std::size_t quote, std::size_t& end) {
    std::string value;
    for (std::size_t i = quote + 1; i < text.size(); ++i) {
        if (text[i] == '\\' && i + 1 < text.size()) {
            value += text[++i];
        } else if (text[i] == '"') {
            end = i;
            return value;
        } else {
            value += text[i];
        }
    }
    end = std::string::npos;
    return value;
}

}  // namespace

std::map<std::string, std::string> ParseAuthParams(const std::string& text) {
    std::map<std::string, std::string> params;
    std::size_t position = 0;
    while (position < text.size()) {
        while (position < text.size() && IsWhitespace(text[position])) {
            ++position;
        }
        if (position >= text.size()) {
            break;
        }
        std::string name;
        std::string value;
        const auto separator = text.find_first_of("=,", position);
        if (separator == std::string::npos || text[separator] == ',') {
            name = text.substr(position, separator == std::string::npos ? std::string::npos
                                                                        : separator - position);
            position = separator == std::string::npos ? text.size() : separator + 1;
        } else {
            name = text.substr(position, separator - position);
            const auto next = text.find_first_of("\",", separator + 1);
            if (next != std::string::npos && text[next] == '"') {
                std::size_t closing = std::string::npos;
                value = ReadQuoted(text, next, closing);
                const auto comma =
                    closing == std::string::npos ? std::string::npos : text.find(',', closing + 1);
                position = comma == std::string::npos ? text.size() : comma + 1;
            } else {
                value = boost::algorithm::trim_copy(text.substr(
                    separator + 1,
                    next == std::string::npos ? std::string::npos : next - separator - 1));
                position = next == std::string::npos ? text.size() : next + 1;
            }
        }
        boost::algorithm::trim(name);
        params.emplace(std::move(name), std::move(value));
    }
    return params;
}

std::string QuotedString(const std::string& value) {
    std::string quoted = "\"";
    for (const char c : value) {
        if (c == '"' || c == '\\') {
            quoted += '\\';
        }
        quoted += c;
    }
    return quoted + "\"";
}

DigestAuthentication::DigestAuthentication(std::shared_ptr<IProxyAuthenticator> proxyAuthenticator,
                                           std::shared_ptr<INetworkConnectivity> connectivity,
                                           std::string method, std::string uri,
                                           std::string clientNonce)
    : connectivity_(std::move(connectivity)),
      proxyAuthenticator_(std::move(proxyAuthenticator)),
      method_(std::move(method)),
      uri_(std::move(uri)),
      clientNonce_(std::move(clientNonce)) {}

DigestAuthentication::DigestAuthentication(std::shared_ptr<IProxyAuthenticator> proxyAuthenticator,
                                           std::shared_ptr<INetworkConnectivity> connectivity,
                                           std::string uri)
    : DigestAuthentication(std::move(proxyAuthenticator), std::move(connectivity), "CONNECT",
                           std::move(uri), "") {}

void DigestAuthentication::ProcessChallenge(const std::string& challenge) {
    const auto params = ParseAuthParams(challenge);
    const auto value = [&params](const char* name) {
        const auto found = params.find(name);
        return found == params.end() ? std::string() : found->second;
    };
    realm_ = value("realm");
    nonce_ = value("nonce");
    opaque_ = value("opaque");
    algorithm_ = value("algorithm");
    stale_ = boost::algorithm::iequals(value("stale"), "true");
    answerable_ = Answerable(challenge);
}

bool DigestAuthentication::Answerable(const std::string& challenge) {
    const auto params = ParseAuthParams(challenge);
    const auto nonce = params.find("nonce");
    const auto algorithm = params.find("algorithm");
    const auto qop = params.find("qop");
    bool sha256 = false;
    bool session = false;
    return nonce != params.end() && !nonce->second.empty() &&
           ReadAlgorithm(algorithm == params.end() ? "" : algorithm->second, sha256, session) &&
           OffersAuth(qop == params.end() ? "" : qop->second);
}

std::string DigestAuthentication::Hash(const std::string& text) const {
    bool sha256 = false;
    bool session = false;
    ReadAlgorithm(algorithm_, sha256, session);
    return sha256 ? SHA256Hex(text) : MD5Hex(text);
}

bool DigestAuthentication::ChallengeUsable() const {
    return answerable_ && !HasLineBreakOrNul(realm_) && !HasLineBreakOrNul(nonce_) &&
           !HasLineBreakOrNul(opaque_);
}

bool DigestAuthentication::HasCredentials() {
    return ProxyCredentials::Read(proxyAuthenticator_.get()).Usable() && ChallengeUsable();
}

std::string DigestAuthentication::GetAuthorization() {
    const auto credentials = ProxyCredentials::Read(proxyAuthenticator_.get());
    if (!credentials.Usable() || !ChallengeUsable()) {
        return "";
    }
    char count[16];
    std::snprintf(count, sizeof count, "%08u", static_cast<unsigned>(nonceCount_));
    const std::string clientNonce =
        !clientNonce_.empty() ? clientNonce_ : MakeRandomString(kClientNonceLength);
    bool sha256 = false;
    bool session = false;
    ReadAlgorithm(algorithm_, sha256, session);
    std::string ha1 = Hash(credentials.user + ":" + realm_ + ":" + credentials.password);
    if (session) {
        ha1 = Hash(ha1 + ":" + nonce_ + ":" + clientNonce);
    }
    const std::string ha2 = Hash(method_ + ":" + uri_);
    const std::string response =
        Hash(ha1 + ":" + nonce_ + ":" + count + ":" + clientNonce + ":auth:" + ha2);
    std::vector<std::string> parts{"username=" + QuotedString(credentials.user),
                                         "realm=" + QuotedString(realm_),
                                         "nonce=" + QuotedString(nonce_),
                                         "uri=" + QuotedString(uri_),
                                         "qop=auth",
                                         std::string("nc=") + count,
                                         "cnonce=" + QuotedString(clientNonce),
                                         "response=" + QuotedString(response),
                                         "opaque=" + QuotedString(opaque_)};
    if (!algorithm_.empty()) {
        // The algorithm answered, as the challenge named it (RFC 7616 section 3.4).
        parts.push_back("algorithm=" + algorithm_);
    }
    return JoinStrings(parts, ", ");
}

}  // namespace network
