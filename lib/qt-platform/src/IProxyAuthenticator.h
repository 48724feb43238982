#pragma once

#include <cstdint>
#include <string>

// The proxies that outgoing connections use, in order with a current one, and
// the user name and password for them. One object is shared by the process.
class IProxyAuthenticator {
public:
    virtual ~IProxyAuthenticator() = default;

    // Appends the proxies that the auto-configuration script chooses for
    // `url`; true when the list holds an entry afterwards.
    virtual bool queryProxiesForUrl(const std::wstring& url) = 0;
    // The user's answer: kept in the credential storage and in memory.
    virtual void setCredentials(const std::wstring& user, const std::wstring& password) = 0;
    virtual void requestCredentials() = 0;
    virtual bool areCredentialsRequested() const = 0;
    virtual void credentialsTried() = 0;
    virtual void credentialsAccepted() = 0;
    virtual bool hasCredentials() const = 0;
    // Reads the system's proxy settings anew; true when a script is to be used
    // or the list holds an entry.
    virtual bool updateFromSystemSettings() = 0;
    // Moves to the next proxy; false when there is none.
    virtual bool nextProxy() = 0;
    // The current proxy: host (UTF-8), "host:port", port and type (0 none,
    // 1 SOCKS, 2 HTTP); empty, 0 and 0 without one.
    virtual std::string getHost() const = 0;
    virtual std::string getHostPortKey() const = 0;
    virtual std::uint16_t getPort() const = 0;
    virtual std::uint32_t getProxyType() const = 0;
    virtual std::wstring getUser() const = 0;
    virtual std::wstring getPassword() const = 0;
};
