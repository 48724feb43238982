#pragma once

#include <optional>
#include <string>
#include <vector>

namespace platform::security {

// The attributes of one stored proxy password, without the password.
struct InternetPasswordAttributes {
    std::string server;   // UTF-8
    std::string account;  // UTF-8
};

// Internet-password items of web proxies in the user's keychain.
class IInternetPasswordStore {
public:
    virtual ~IInternetPasswordStore() = default;

    // The attributes of every web-proxy item, in the store's order; nothing
    // when the store cannot be searched.
    virtual std::optional<std::vector<InternetPasswordAttributes>> copyProxyItems() = 0;

    // The password of the web-proxy item of `server` and `account`, as UTF-8
    // bytes; nothing when there is none.
    virtual std::optional<std::string> findProxyPassword(const std::string& server,
                                                         const std::string& account) = 0;
};

}  // namespace platform::security
