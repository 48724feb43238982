#pragma once

#include <pwd.h>
#include <unistd.h>

#include <cstdint>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "support/ChildProcess.h"
#include "support/ForegroundDaemon.h"
#include "support/LoopbackPort.h"
#include "support/TempDir.h"

// A squid run in the foreground from a private folder on a free loopback port:
// it asks for credentials (Basic, or in `schemes` Basic and Digest, offered in
// that order), finds "target.test" at 127.0.0.1 and tunnels CONNECT to
// `tunnelPort` (or the `tunnelPorts`) only. Terminated, then killed, when the
// object goes.
class SquidProxy {
public:
    enum class Schemes { Basic, BasicAndDigest };

    static constexpr const char* kSquid = "/usr/sbin/squid";
    static bool installed() { return ::access(kSquid, X_OK) == 0; }

    SquidProxy(const std::string& user, const std::string& password, std::uint16_t tunnelPort,
               Schemes schemes = Schemes::Basic)
        : SquidProxy(user, password, std::vector<std::uint16_t>{tunnelPort}, schemes) {}

    SquidProxy(const std::string& user, const std::string& password,
               const std::vector<std::uint16_t>& tunnelPorts, Schemes schemes = Schemes::Basic) {
        const auto hash =
            testsupport::runCommand({"/usr/bin/openssl", "passwd", "-apr1", password});
        std::ofstream(folder_.file("passwd")) << user << ":" << hash.output;
        std::ofstream(folder_.file("digest")) << user << ":" << password << "\n";
        std::ofstream(folder_.file("hosts")) << "127.0.0.1 target.test\n";
        const auto in = [this](const char* name) { return folder_.file(name); };
        std::string ports;
        for (const auto port : tunnelPorts) {
            ports += ' ';
            ports += std::to_string(port);
        }
        // Squid runs in the folder and is given its files by their names: its configuration
        // splits a path at a blank.
        std::ofstream(in("squid.conf"))
            << "http_port 127.0.0.1:" << port_ << "\ncache_effective_user proxy\n"
            << "dns_nameservers 127.0.0.1\npinger_enable off\nhosts_file hosts\n"
            << "cache deny all\npid_filename squid.pid\naccess_log stdio:access.log\n"
            << "cache_log cache.log\ncoredump_dir none\nnetdb_filename none\n"
            << "visible_hostname squid.test\nshutdown_lifetime 0 seconds\n"
            << "auth_param basic program /usr/lib/squid/basic_ncsa_auth passwd\n"
            << "auth_param basic realm quorvane-basic\n"
            << (schemes == Schemes::BasicAndDigest
                    ? "auth_param digest program /usr/lib/squid/digest_file_auth digest\n"
                      "auth_param digest realm quorvane-digest\n"
                    : "")
            << "acl authed proxy_auth REQUIRED\nacl tunnel port" << ports
            << "\nhttp_access deny CONNECT !tunnel\nhttp_access allow authed\n"
            << "http_access deny all\n";
        // Squid drops root for "proxy", which must reach the folder and its files.
        if (const passwd* proxy = ::getpwnam("proxy"); proxy && ::geteuid() == 0) {
            for (const char* name : {"", "passwd", "digest", "hosts", "squid.conf"}) {
                ::chown(in(name).c_str(), proxy->pw_uid, proxy->pw_gid);
            }
        }
        daemon_ = std::make_unique<testsupport::ForegroundDaemon>(
            // A service name of its own names its shared memory apart from other squids'.
            std::vector<std::string>{kSquid, "-N", "-n", "quorvane" + std::to_string(port_), "-f",
                                     in("squid.conf")},
            in("squid.out"),
            [this] { return log().find("Accepting HTTP Socket connections") != std::string::npos; },
            folder_.path());
    }
    SquidProxy(const SquidProxy&) = delete;
    SquidProxy& operator=(const SquidProxy&) = delete;

    bool ready() const { return daemon_->ready(); }
    std::uint16_t port() const { return port_; }
    std::string address() const { return "127.0.0.1:" + std::to_string(port_); }
    // What squid wrote about itself, for failure messages.
    std::string log() const {
        return testsupport::readFile(folder_.file("squid.out")) +
               testsupport::readFile(folder_.file("cache.log"));
    }

private:
    testsupport::TempDir folder_{"quorvane-squid"};
    const std::uint16_t port_ = testsupport::unusedPort();
    std::unique_ptr<testsupport::ForegroundDaemon> daemon_;
};
