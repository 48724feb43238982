#include "network/ProxyCredentials.h"

#include <boost/locale/encoding_utf.hpp>

#include "IProxyAuthenticator.h"

namespace network {

bool HasLineBreakOrNul(const std::string& text) {
    return text.find_first_of(std::string("\r\n\0", 3)) != std::string::npos;
}

bool ProxyCredentials::Usable() const {
    return !user.empty() && !password.empty() && !HasLineBreakOrNul(user) &&
           !HasLineBreakOrNul(password);
}

ProxyCredentials ProxyCredentials::Read(const IProxyAuthenticator* authenticator) {
    if (authenticator == nullptr) {
        return {};
    }
    using boost::locale::conv::utf_to_utf;
    return {utf_to_utf<char>(authenticator->getUser()),
            utf_to_utf<char>(authenticator->getPassword())};
}

}  // namespace network
