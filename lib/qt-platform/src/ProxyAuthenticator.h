#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "IProxyAuthenticator.h"
#include "platform/corefoundation/PropertyList.h"

namespace common::credentialstorage {
class ICredentialStorage;
}
namespace platform::systemconfiguration {
class IDynamicStore;
}
namespace platform::security {
class IInternetPasswordStore;
}
namespace platform::cfnetwork {
class IProxyAutoConfiguration;
}

// The process's proxies and their credentials. The list is filled from the
// system settings or, for one URL at a time, from the auto-configuration
// script; the credentials are kept under one label in the credential storage
// and go through the states of CredentialsState.
//
// Every member is guarded by one lock, taken only to copy values in or out:
// the system settings, the script, the credential storage and the log are
// never reached while it is held.
class ProxyAuthenticator : public IProxyAuthenticator {
public:
    enum ProxyType : std::uint32_t { NoProxy = 0, SocksProxy = 1, HttpProxy = 2 };

    enum CredentialsState : std::uint32_t {
        NoCredentials = 0,         // none known to be usable
        CredentialsRequested = 1,  // the user was asked, no answer yet
        CredentialsAvailable = 2,  // set or loaded, not yet tried
        CredentialsTried = 3,      // handed to a proxy challenge
        CredentialsAccepted = 4    // a request succeeded after that
    };

    struct ProxyEntry {
        std::wstring host;
        std::uint16_t port = 0;
        std::uint32_t type = NoProxy;

        bool operator==(const ProxyEntry&) const = default;
    };

    // Where the system's proxy settings come from.
    struct SystemServices {
        std::shared_ptr<platform::systemconfiguration::IDynamicStore> settings;
        std::shared_ptr<platform::security::IInternetPasswordStore> passwords;
        std::shared_ptr<platform::cfnetwork::IProxyAutoConfiguration> autoConfiguration;

        // The system's own.
        static SystemServices system();
    };

    // What a proxy challenge is to be answered with.
    struct ChallengeAnswer {
        enum Kind {
            AlreadyRequested,  // the user is being asked: leave it unanswered
            UseStored,         // answer with `user` and `password`
            AskUser,           // the user must be asked about `hostPort`
            CannotAsk          // the user must be asked but cannot be
        };
        Kind kind = CannotAsk;
        std::wstring user;
        std::wstring password;
        std::string hostPort;  // "host : port" of the current entry
    };

    static constexpr const wchar_t* kCredentialsLabel = L"com.Wexo.Quandel.ProxyCredentials";
    static constexpr std::uint16_t kDefaultScriptProxyPort = 8080;

    explicit ProxyAuthenticator(common::credentialstorage::ICredentialStorage* storage,
                                SystemServices services = SystemServices::system());

    bool queryProxiesForUrl(const std::wstring& url) override;
    void setCredentials(const std::wstring& user, const std::wstring& password) override;
    void requestCredentials() override;
    bool areCredentialsRequested() const override;
    void credentialsTried() override;
    void credentialsAccepted() override;
    bool hasCredentials() const override;
    bool updateFromSystemSettings() override;
    bool nextProxy() override;
    std::string getHost() const override;
    std::string getHostPortKey() const override;
    std::uint16_t getPort() const override;
    std::uint32_t getProxyType() const override;
    std::wstring getUser() const override;
    std::wstring getPassword() const override;

    // Replaces the credentials with those kept in the credential storage.
    void loadStoredCredentials();

    // Decides, in one step, how to meet a proxy's demand for credentials: the
    // user is being asked already; or the known credentials are handed over
    // (state 3); or the user must be asked (state 1, only when `canAskUser`).
    ChallengeAnswer beginChallenge(bool canAskUser);

    CredentialsState credentialsState() const;
    std::vector<ProxyEntry> proxies() const;
    std::wstring autoConfigurationUrl() const;

    // One fixed proxy of the settings: empty (type 0) unless it is enabled
    // and has a host and a port from 0 to 65535.
    static ProxyEntry readSystemProxyEntry(const platform::corefoundation::Dictionary& settings,
                                           const char* enableKey, const char* hostKey,
                                           const char* portKey, ProxyType type);

private:
    const ProxyEntry* currentLocked() const;

    common::credentialstorage::ICredentialStorage* const storage_;
    const SystemServices services_;

    mutable std::mutex mutex_;
    std::wstring autoConfigurationUrl_;
    std::uint32_t index_ = 0;
    std::vector<ProxyEntry> proxies_;
    std::wstring user_;
    std::wstring password_;
    CredentialsState state_ = NoCredentials;
};
