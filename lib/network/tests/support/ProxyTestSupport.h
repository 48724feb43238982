#pragma once

#include <pwd.h>
#include <unistd.h>

#include <cstdint>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "ProxyAuthenticator.h"
#include "platform/systemconfiguration/DynamicStore.h"
#include "support/ChildProcess.h"
#include "support/FakeCredentialStorage.h"
#include "support/ForegroundDaemon.h"
#include "support/LoopbackPort.h"
#include "support/ScriptServer.h"
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

// "tunnel_test_proxy.py": a proxy that asks with the given challenges (none:
// every CONNECT goes through), checks Basic and Digest answers for `user`
// and `password`, sends `prefix` behind its 200 in the same write and then
// relays to 127.0.0.1 at the CONNECT's port. Logs each CONNECT's
// "Proxy-Authorization" value.
class TunnelTestProxy {
public:
    TunnelTestProxy(const std::vector<std::string>& challenges, const std::string& user,
                    const std::string& password, const std::string& prefix = {}) {
        std::vector<std::string> arguments{folder_.file("connects.log"), "--user", user,
                                           "--password", password, "--prefix", prefix};
        for (const auto& challenge : challenges) {
            arguments.insert(arguments.end(), {"--challenge", challenge});
        }
        server_ = std::make_unique<testsupport::ScriptServer>(
            std::string(NETWORK_TEST_SUPPORT_DIR) + "/tunnel_test_proxy.py", arguments);
        port_ = static_cast<std::uint16_t>(server_->readyNumber("port").value_or(0));
    }

    std::uint16_t port() const { return port_; }
    std::string address() const { return "127.0.0.1:" + std::to_string(port_); }
    // The log: one JSON line per CONNECT.
    std::string connects() const { return testsupport::readFile(folder_.file("connects.log")); }

private:
    testsupport::TempDir folder_{"quorvane-tunnel-proxy"};
    std::unique_ptr<testsupport::ScriptServer> server_;
    std::uint16_t port_ = 0;
};

}  // namespace networktest
