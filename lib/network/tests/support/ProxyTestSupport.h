#pragma once

#include <pwd.h>
#include <unistd.h>

#include <cstdint>
#include <fstream>
#include <memory>
#include <string>

#include "ProxyAuthenticator.h"
#include "platform/systemconfiguration/DynamicStore.h"
#include "support/ChildProcess.h"
#include "support/FakeCredentialStorage.h"
#include "support/ForegroundDaemon.h"
#include "support/LoopbackPort.h"
#include "support/TempDir.h"

namespace networktest {

// The process's proxy authenticator as the application has it, with its
// credentials in memory and, when `proxy` ("host:port") is given, that proxy
// as the system's web proxy.
class TestProxyAuthenticator {
public:
    explicit TestProxyAuthenticator(const std::wstring& user, const std::wstring& password,
                                    const std::string& proxy = {}) {
        ProxyAuthenticator::SystemServices services;
        services.settings = std::make_shared<platform::systemconfiguration::DynamicStore>(
            [proxy](const std::string& name) -> std::optional<std::string> {
                if (name == "http_proxy" && !proxy.empty()) {
                    return "http://" + proxy;
                }
                return std::nullopt;
            });
        authenticator = std::make_shared<ProxyAuthenticator>(&storage, services);
        authenticator->updateFromSystemSettings();
        authenticator->setCredentials(user, password);
    }

    FakeCredentialStorage storage;
    std::shared_ptr<ProxyAuthenticator> authenticator;
};

// A tinyproxy run in the foreground on a free loopback port: it asks for
// Basic credentials (answering HTTP/1.0 407 and closing) and tunnels CONNECT
// to `tunnelPort` only. Stopped when the object goes.
class TinyProxy {
public:
    static constexpr const char* kTinyproxy = "/usr/bin/tinyproxy";
    static bool installed() { return ::access(kTinyproxy, X_OK) == 0; }

    TinyProxy(const std::string& user, const std::string& password, std::uint16_t tunnelPort) {
        std::ofstream(folder_.file("tinyproxy.conf"))
            << "User tinyproxy\nGroup tinyproxy\nListen 127.0.0.1\nPort " << port_
            << "\nTimeout 30\nLogLevel Info\nMaxClients 20\nAllow 127.0.0.1\nBasicAuth " << user
            << " " << password << "\nConnectPort " << tunnelPort << "\n";
        if (const passwd* owner = ::getpwnam("tinyproxy"); owner && ::geteuid() == 0) {
            ::chown(folder_.path().c_str(), owner->pw_uid, owner->pw_gid);
        }
        daemon_ = std::make_unique<testsupport::ForegroundDaemon>(
            std::vector<std::string>{kTinyproxy, "-d", "-c", folder_.file("tinyproxy.conf")},
            folder_.file("tinyproxy.out"),
            [this] { return log().find("Accepting connections") != std::string::npos; });
    }

    bool ready() const { return daemon_->ready(); }
    std::uint16_t port() const { return port_; }
    std::string log() const { return testsupport::readFile(folder_.file("tinyproxy.out")); }

private:
    testsupport::TempDir folder_{"quorvane-tinyproxy"};
    const std::uint16_t port_ = testsupport::unusedPort();
    std::unique_ptr<testsupport::ForegroundDaemon> daemon_;
};

}  // namespace networktest
