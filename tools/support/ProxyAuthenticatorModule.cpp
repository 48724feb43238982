// The module behind toolsupport::ProxyOptions::MakeAuthenticator; see
// ProxyAuthenticatorModule.h.

#include "ProxyAuthenticatorModule.h"

#include <type_traits>

#include <boost/locale/encoding_utf.hpp>

#include <QLoggingCategory>

#include "ProxyAuthenticator.h"
#include "common/credentialstorage/CredentialStorage.h"
#include "platform/systemconfiguration/DynamicStore.h"

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

// The authenticator with the storage it reads, which must outlive it.
struct HeldAuthenticator {
    std::unique_ptr<common::credentialstorage::ICredentialStorage> storage;
    std::unique_ptr<ProxyAuthenticator> authenticator;
};

}  // namespace

extern "C" __attribute__((visibility("default"))) void quorvaneMakeProxyAuthenticator(
    const char* proxy, const char* user, const char* password,
    std::shared_ptr<IProxyAuthenticator>* authenticator) {
    // The authenticator's own lines would only repeat the options, as if
    // they were system settings, and its states: the tool says what failed.
    QLoggingCategory::setFilterRules("ProxyAuthenticator=false");
    auto held = std::make_shared<HeldAuthenticator>();
    if (user != nullptr) {
        held->storage = std::make_unique<CommandLineCredentials>(
            boost::locale::conv::utf_to_utf<wchar_t>(std::string(user)),
            boost::locale::conv::utf_to_utf<wchar_t>(std::string(password ? password : "")));
    } else {
        held->storage = std::make_unique<common::credentialstorage::CredentialStorage>();
    }
    ProxyAuthenticator::SystemServices services;
    services.settings = std::make_shared<platform::systemconfiguration::DynamicStore>(
        [proxy = std::string(proxy)](const std::string& name) -> std::optional<std::string> {
            return name == "http_proxy" ? std::optional<std::string>("http://" + proxy) : std::nullopt;
        });
    held->authenticator = std::make_unique<ProxyAuthenticator>(held->storage.get(), services);
    held->authenticator->updateFromSystemSettings();
    held->authenticator->loadStoredCredentials();
    *authenticator = std::shared_ptr<IProxyAuthenticator>(held, held->authenticator.get());
}

static_assert(std::is_same_v<decltype(&quorvaneMakeProxyAuthenticator),
                             toolsupport::MakeProxyAuthenticator>);
