#include "ProxyAuthenticator.h"

#include <boost/assert.hpp>
#include <utility>
#include <variant>

#include "LoggingCategories.h"
#include "QtProxyTypes.h"
#include "WideStrings.h"
#include "common/credentialstorage/ICredentialStorage.h"
#include "platform/cfnetwork/ProxyAutoConfiguration.h"
#include "platform/cfnetwork/ProxyKeys.h"
#include "platform/security/InternetPasswordStore.h"
#include "platform/systemconfiguration/DynamicStore.h"
#include "platform/systemconfiguration/ProxyDictionaryKeys.h"

namespace cf = platform::corefoundation;
namespace sc = platform::systemconfiguration;
namespace cfnet = platform::cfnetwork;

namespace {

// An enable flag of the settings: a non-zero number or a true flag.
bool isEnabled(const cf::Dictionary& settings, const char* key) {
    const auto found = settings.find(key);
    if (found == settings.end()) {
        return false;
    }
    if (const auto* flag = std::get_if<bool>(&found->second)) {
        return *flag;
    }
    return cf::integerValue(settings, key).value_or(0) != 0;
}

QString qString(const std::wstring& text) {
    return QString::fromStdWString(text);
}

QString qString(const std::string& text) {
    return QString::fromStdString(text);
}

std::string hostPortKey(const ProxyAuthenticator::ProxyEntry& entry, const char* separator) {
    return utf8FromWide(entry.host) + separator + std::to_string(entry.port);
}

}  // namespace

ProxyAuthenticator::SystemServices ProxyAuthenticator::SystemServices::system() {
    return {std::make_shared<sc::DynamicStore>(sc::readProcessEnvironment,
                                               [](const std::string& message) {
                                                   qCWarning(lcProxyAuthenticator).noquote()
                                                       << qString(message);
                                               }),
            std::make_shared<platform::security::InternetPasswordStore>(),
            std::make_shared<cfnet::ProxyAutoConfiguration>()};
}

ProxyAuthenticator::ProxyAuthenticator(common::credentialstorage::ICredentialStorage* storage,
                                       SystemServices services)
    : storage_(storage), services_(std::move(services)) {
    BOOST_ASSERT_MSG(storage_ != nullptr, "the credential storage must not be null");
}

const ProxyAuthenticator::ProxyEntry* ProxyAuthenticator::currentLocked() const {
    return index_ < proxies_.size() ? &proxies_[index_] : nullptr;
}

// --- credentials -----------------------------------------------------------

void ProxyAuthenticator::loadStoredCredentials() {
    std::wstring user;
    std::wstring password;
    if (storage_ == nullptr || !storage_->load(kCredentialsLabel, user, password)) {
        qCWarning(lcProxyAuthenticator) << "Stored credentials cannot be loaded";
        return;
    }
    {
        std::lock_guard lock(mutex_);
        user_ = std::move(user);
        password_ = std::move(password);
        state_ = CredentialsAvailable;
    }
    qCDebug(lcProxyAuthenticator) << "Stored credentials are successfully loaded";
}

void ProxyAuthenticator::setCredentials(const std::wstring& user, const std::wstring& password) {
    if (storage_ == nullptr || !storage_->store(kCredentialsLabel, user, password)) {
        qCWarning(lcProxyAuthenticator)
            << "failed to store credentials, only in-memory storage is available";
    }
    {
        std::lock_guard lock(mutex_);
        user_ = user;
        password_ = password;
        state_ = CredentialsAvailable;
    }
    qCDebug(lcProxyAuthenticator) << "new credentials have been set";
}

void ProxyAuthenticator::requestCredentials() {
    CredentialsState was;
    {
        std::lock_guard lock(mutex_);
        was = std::exchange(state_, CredentialsRequested);
    }
    if (was != CredentialsRequested) {
        qCDebug(lcProxyAuthenticator) << "requesting credentials";
    }
}

bool ProxyAuthenticator::areCredentialsRequested() const {
    std::lock_guard lock(mutex_);
    return state_ == CredentialsRequested;
}

void ProxyAuthenticator::credentialsTried() {
    CredentialsState was;
    {
        std::lock_guard lock(mutex_);
        was = std::exchange(state_, CredentialsTried);
    }
    if (was != CredentialsTried) {
        qCDebug(lcProxyAuthenticator) << "stored credentials have been tried";
    }
}

void ProxyAuthenticator::credentialsAccepted() {
    bool accepted = false;
    {
        std::lock_guard lock(mutex_);
        if (state_ == CredentialsRequested || state_ == CredentialsTried) {
            state_ = CredentialsAccepted;
            accepted = true;
        }
    }
    if (accepted) {
        qCDebug(lcProxyAuthenticator) << "stored credentials have been accepted";
    }
}

bool ProxyAuthenticator::hasCredentials() const {
    std::lock_guard lock(mutex_);
    return state_ == CredentialsAvailable || state_ == CredentialsAccepted;
}

std::wstring ProxyAuthenticator::getUser() const {
    std::lock_guard lock(mutex_);
    return user_;
}

std::wstring ProxyAuthenticator::getPassword() const {
    std::lock_guard lock(mutex_);
    return password_;
}

ProxyAuthenticator::CredentialsState ProxyAuthenticator::credentialsState() const {
    std::lock_guard lock(mutex_);
    return state_;
}

ProxyAuthenticator::ChallengeAnswer ProxyAuthenticator::beginChallenge(bool canAskUser) {
    ChallengeAnswer answer;
    CredentialsState was;
    {
        std::lock_guard lock(mutex_);
        was = state_;
        if (state_ == CredentialsRequested) {
            answer.kind = ChallengeAnswer::AlreadyRequested;
        } else if (state_ == CredentialsAvailable || state_ == CredentialsAccepted) {
            answer.kind = ChallengeAnswer::UseStored;
            answer.user = user_;
            answer.password = password_;
            state_ = CredentialsTried;
        } else if (canAskUser) {
            answer.kind = ChallengeAnswer::AskUser;
            if (const auto* current = currentLocked()) {
                answer.hostPort = hostPortKey(*current, " : ");
            } else {
                answer.hostPort = " : 0";
            }
            state_ = CredentialsRequested;
        } else {
            answer.kind = ChallengeAnswer::CannotAsk;
        }
    }
    if (answer.kind == ChallengeAnswer::UseStored) {
        qCDebug(lcProxyAuthenticator) << "stored credentials have been tried";
    } else if (answer.kind == ChallengeAnswer::AskUser && was != CredentialsRequested) {
        qCDebug(lcProxyAuthenticator) << "requesting credentials";
    }
    return answer;
}

// --- the list --------------------------------------------------------------

bool ProxyAuthenticator::nextProxy() {
    std::lock_guard lock(mutex_);
    if (proxies_.empty() || index_ + 1 >= proxies_.size()) {
        return false;
    }
    ++index_;
    return true;
}

std::string ProxyAuthenticator::getHost() const {
    std::lock_guard lock(mutex_);
    const auto* current = currentLocked();
    return current != nullptr ? utf8FromWide(current->host) : std::string();
}

std::string ProxyAuthenticator::getHostPortKey() const {
    std::lock_guard lock(mutex_);
    const auto* current = currentLocked();
    return current != nullptr ? hostPortKey(*current, ":") : std::string();
}

std::uint16_t ProxyAuthenticator::getPort() const {
    std::lock_guard lock(mutex_);
    const auto* current = currentLocked();
    return current != nullptr ? current->port : 0;
}

std::uint32_t ProxyAuthenticator::getProxyType() const {
    std::lock_guard lock(mutex_);
    const auto* current = currentLocked();
    return current != nullptr ? current->type : static_cast<std::uint32_t>(NoProxy);
}

std::vector<ProxyAuthenticator::ProxyEntry> ProxyAuthenticator::proxies() const {
    std::lock_guard lock(mutex_);
    return proxies_;
}

std::wstring ProxyAuthenticator::autoConfigurationUrl() const {
    std::lock_guard lock(mutex_);
    return autoConfigurationUrl_;
}

// --- system settings -------------------------------------------------------

ProxyAuthenticator::ProxyEntry ProxyAuthenticator::readSystemProxyEntry(
    const cf::Dictionary& settings, const char* enableKey, const char* hostKey, const char* portKey,
    ProxyType type) {
    const auto host = cf::stringValue(settings, hostKey);
    const auto port = cf::integerValue(settings, portKey);
    if (!isEnabled(settings, enableKey) || !host || host->empty() || !port || *port < 0 ||
        *port > 65535) {
        return {};
    }
    return {wideFromUtf8(*host), static_cast<std::uint16_t>(*port), type};
}

bool ProxyAuthenticator::updateFromSystemSettings() {
    const auto settings = services_.settings ? services_.settings->copyProxies() : std::nullopt;
    if (!settings) {
        // Nothing was read, so the script address stays as it was.
        std::lock_guard lock(mutex_);
        proxies_.clear();
        index_ = 0;
        return false;
    }

    const auto scriptUrl =
        cf::stringValue(*settings, sc::kSCPropNetProxiesProxyAutoConfigURLString);
    if (scriptUrl && isEnabled(*settings, sc::kSCPropNetProxiesProxyAutoConfigEnable)) {
        {
            std::lock_guard lock(mutex_);
            proxies_.clear();
            index_ = 0;
            autoConfigurationUrl_ = wideFromUtf8(*scriptUrl);
        }
        qCInfo(lcProxyAuthenticator)
            << "Proxy info updated from system settings: use PAC script from URL: "
            << qString(*scriptUrl);
        return true;
    }

    struct Fixed {
        const char* enable;
        const char* host;
        const char* port;
        ProxyType type;
        const char* message;
    };
    static const Fixed kFixed[] = {
        {sc::kSCPropNetProxiesHTTPEnable, sc::kSCPropNetProxiesHTTPProxy,
         sc::kSCPropNetProxiesHTTPPort, HttpProxy,
         "Proxy info updated from system settings: HTTP proxy ("},
        {sc::kSCPropNetProxiesHTTPSEnable, sc::kSCPropNetProxiesHTTPSProxy,
         sc::kSCPropNetProxiesHTTPSPort, HttpProxy,
         "Proxy info updated from system settings: HTTPS proxy ("},
        {sc::kSCPropNetProxiesSOCKSEnable, sc::kSCPropNetProxiesSOCKSProxy,
         sc::kSCPropNetProxiesSOCKSPort, SocksProxy,
         "Proxy info updated from system settings: SOCKS proxy ("},
    };
    std::vector<ProxyEntry> entries;
    for (const auto& fixed : kFixed) {
        auto entry =
            readSystemProxyEntry(*settings, fixed.enable, fixed.host, fixed.port, fixed.type);
        if (entry.type == NoProxy) {
            continue;
        }
        qCInfo(lcProxyAuthenticator)
            << fixed.message << qString(entry.host) << ":" << entry.port << ")";
        entries.push_back(std::move(entry));
    }

    // The password of the first web proxy, from the system's password store.
    std::optional<std::pair<std::wstring, std::wstring>> credentials;
    const auto web = std::find_if(entries.begin(), entries.end(),
                                  [](const ProxyEntry& e) { return e.type == HttpProxy; });
    if (web != entries.end() && services_.passwords) {
        const std::string server = utf8FromWide(web->host);
        if (const auto items = services_.passwords->copyProxyItems()) {
            const auto item = std::find_if(items->begin(), items->end(),
                                           [&](const auto& i) { return i.server == server; });
            if (item != items->end()) {
                if (const auto password =
                        services_.passwords->findProxyPassword(server, item->account)) {
                    credentials.emplace(wideFromUtf8(item->account), wideFromUtf8(*password));
                }
            }
        }
    }

    const bool found = !entries.empty();
    std::lock_guard lock(mutex_);
    proxies_ = std::move(entries);
    index_ = 0;
    // The script is off now: a script seen earlier no longer applies.
    autoConfigurationUrl_.clear();
    if (credentials) {
        user_ = std::move(credentials->first);
        password_ = std::move(credentials->second);
    }
    return found;
}

bool ProxyAuthenticator::queryProxiesForUrl(const std::wstring& url) {
    const std::wstring scriptUrl = autoConfigurationUrl();
    if (!scriptUrl.empty() && services_.autoConfiguration) {
        qCDebug(lcProxyAuthenticator)
            << "query proxy for" << qString(url) << "from" << qString(scriptUrl);
        const auto result =
            services_.autoConfiguration->execute(utf8FromWide(scriptUrl), utf8FromWide(url));
        if (result.error) {
            qCWarning(lcProxyAuthenticator)
                << "PAC execution failed. Error returned: " << qString(*result.error);
            return false;
        }
        if (!result.proxies) {
            qCWarning(lcProxyAuthenticator)
                << "PAC execution failed. Could not parse result proxies.";
            return false;
        }
        std::vector<ProxyEntry> entries;
        for (const auto& element : *result.proxies) {
            const auto* proxy = std::get_if<cf::Dictionary>(&element);
            if (proxy == nullptr) {
                qCWarning(lcProxyAuthenticator)
                    << "PAC proxies array contained unexpected entry type, skipping.";
                continue;
            }
            const auto host = cf::stringValue(*proxy, cfnet::kCFProxyHostNameKey);
            if (!host) {
                qCWarning(lcProxyAuthenticator)
                    << "PAC proxy entry lacks host information, skipping.";
                continue;
            }
            auto port = cf::integerValue(*proxy, cfnet::kCFProxyPortNumberKey);
            if (!port) {
                qCWarning(lcProxyAuthenticator)
                    << "PAC proxy entry lacks port information, assuming 8080.";
                port = kDefaultScriptProxyPort;
            }
            auto type = cf::stringValue(*proxy, cfnet::kCFProxyTypeKey);
            if (!type) {
                qCWarning(lcProxyAuthenticator)
                    << "PAC proxy entry lacks type information, assuming HTTP.";
                type = cfnet::kCFProxyTypeHTTP;
            }
            std::uint32_t kind = NoProxy;
            if (*type == cfnet::kCFProxyTypeHTTPS || *type == cfnet::kCFProxyTypeHTTP) {
                kind = HttpProxy;
            } else if (*type == cfnet::kCFProxyTypeSOCKS) {
                kind = SocksProxy;
            }
            entries.push_back({wideFromUtf8(*host), static_cast<std::uint16_t>(*port), kind});
        }
        std::lock_guard lock(mutex_);
        proxies_.insert(proxies_.end(), entries.begin(), entries.end());
    }

    const auto listed = proxies();
    if (listed.empty()) {
        qCInfo(lcProxyAuthenticator)
            << "No proxy information available for the URL: " << qString(url);
        return false;
    }
    qCInfo(lcProxyAuthenticator) << "Found proxies for the URL: " << qString(url);
    for (std::size_t i = 0; i < listed.size(); ++i) {
        qCInfo(lcProxyAuthenticator) << i << "#: "
                                     << "Address:" << qString(hostPortKey(listed[i], ":"))
                                     << "Type:" << proxyTypeName(toQtProxyType(listed[i].type));
    }
    return true;
}
