#include "ProxyOptions.h"

#include <boost/locale/encoding_utf.hpp>

#include <QLoggingCategory>

#include "ProxyAuthenticator.h"
#include "common/credentialstorage/CredentialStorage.h"
#include "platform/systemconfiguration/DynamicStore.h"

namespace toolsupport {

namespace {

// The proxy credentials of the command line, held in memory only.
class CommandLineCredentials : public common::credentialstorage::ICredentialStorage {
public:
    CommandLineCredentials(std::wstring account, std::wstring secret)
        : account_(std::move(account)), secret_(std::move(secret)) {}

    bool store(const std::wstring&, const std::wstring& account, const std::wstring& secret) override {
        account_ = account;
        secret_ = secret;
        return true;
    }
    bool load(const std::wstring&, std::wstring& account, std::wstring& secret) override {
        account = account_;
        secret = secret_;
        return true;
    }

private:
    std::wstring account_;
    std::wstring secret_;
};

// "HOST:PORT" with a port from 1 to 65535 (an IPv6 host in brackets).
bool IsHostAndPort(const std::string& text) {
    const auto colon = text.rfind(':');
    const auto bracket = text.rfind(']');
    if (colon == std::string::npos || colon == 0 || (bracket != std::string::npos && bracket > colon)) {
        return false;
    }
    const std::string port = text.substr(colon + 1);
    return !port.empty() && port.size() <= 5 &&
           port.find_first_not_of("0123456789") == std::string::npos && std::stoul(port) >= 1 &&
           std::stoul(port) <= 65535;
}

// The authenticator with the storage it reads, which must outlive it.
struct HeldAuthenticator {
    std::unique_ptr<common::credentialstorage::ICredentialStorage> storage;
    std::unique_ptr<ProxyAuthenticator> authenticator;
};

}  // namespace

bool ProxyOptions::IsOption(const std::string& option) {
    return option == "--proxy" || option == "--proxy-user";
}

bool ProxyOptions::Accept(const std::string& option, const std::string& value, std::string& error) {
    if (option == "--proxy") {
        if (!IsHostAndPort(value)) {
            error = "the proxy '" + value + "' is not HOST:PORT";
            return false;
        }
        proxy_ = value;
        return true;
    }
    const auto colon = value.find(':');
    if (colon == std::string::npos || colon == 0) {
        error = "the proxy user is not USER:PASSWORD";
        return false;
    }
    user_.emplace(value.substr(0, colon), value.substr(colon + 1));
    return true;
}

std::string ProxyOptions::Conflict() const {
    return user_ && !proxy_ ? "--proxy-user needs --proxy" : "";
}

std::shared_ptr<IProxyAuthenticator> ProxyOptions::MakeAuthenticator() const {
    if (!proxy_) {
        return nullptr;
    }
    // The authenticator's own debug lines would only repeat the settings.
    QLoggingCategory::setFilterRules("ProxyAuthenticator.debug=false");
    auto held = std::make_shared<HeldAuthenticator>();
    if (user_) {
        held->storage = std::make_unique<CommandLineCredentials>(
            boost::locale::conv::utf_to_utf<wchar_t>(user_->first),
            boost::locale::conv::utf_to_utf<wchar_t>(user_->second));
    } else {
        held->storage = std::make_unique<common::credentialstorage::CredentialStorage>();
    }
    ProxyAuthenticator::SystemServices services;
    services.settings = std::make_shared<platform::systemconfiguration::DynamicStore>(
        [proxy = *proxy_](const std::string& name) -> std::optional<std::string> {
            return name == "http_proxy" ? std::optional<std::string>("http://" + proxy) : std::nullopt;
        });
    held->authenticator = std::make_unique<ProxyAuthenticator>(held->storage.get(), services);
    held->authenticator->updateFromSystemSettings();
    held->authenticator->loadStoredCredentials();
    return std::shared_ptr<IProxyAuthenticator>(held, held->authenticator.get());
}

}  // namespace toolsupport
