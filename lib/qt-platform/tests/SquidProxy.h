#pragma once

#include <fcntl.h>
#include <pwd.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <thread>

#include "HttpQueryFixture.h"

// A squid run in the foreground from a private folder on a free loopback port:
// it asks for Basic credentials, finds "target.test" at 127.0.0.1 and tunnels
// CONNECT to `tunnelPort` only. Terminated, then killed, when the object goes.
class SquidProxy {
public:
    static constexpr const char* kSquid = "/usr/sbin/squid";
    static bool installed() { return ::access(kSquid, X_OK) == 0; }

    SquidProxy(const std::string& user, const std::string& password, std::uint16_t tunnelPort) {
        const auto hash =
            testsupport::runCommand({"/usr/bin/openssl", "passwd", "-apr1", password});
        std::ofstream(folder_.file("passwd")) << user << ":" << hash.output;
        std::ofstream(folder_.file("hosts")) << "127.0.0.1 target.test\n";
        const auto in = [this](const char* name) { return folder_.file(name); };
        std::ofstream(in("squid.conf"))
            << "http_port 127.0.0.1:" << port_ << "\ncache_effective_user proxy\n"
            << "dns_nameservers 127.0.0.1\npinger_enable off\nhosts_file " << in("hosts")
            << "\ncache deny all\npid_filename " << in("squid.pid")
            << "\naccess_log stdio:" << in("access.log") << "\ncache_log " << in("cache.log")
            << "\ncoredump_dir " << folder_.path() << "\nnetdb_filename none\n"
            << "visible_hostname squid.test\nshutdown_lifetime 0 seconds\n"
            << "auth_param basic program /usr/lib/squid/basic_ncsa_auth " << in("passwd")
            << "\nacl authed proxy_auth REQUIRED\nacl tunnel port " << tunnelPort
            << "\nhttp_access deny CONNECT !tunnel\nhttp_access allow authed\n"
            << "http_access deny all\n";
        // Squid drops root for "proxy", which must reach the folder and its files.
        if (const passwd* proxy = ::getpwnam("proxy"); proxy && ::geteuid() == 0) {
            for (const char* name : {"", "passwd", "hosts", "squid.conf"}) {
                ::chown(in(name).c_str(), proxy->pw_uid, proxy->pw_gid);
            }
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, in("squid.out").c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0600);
        posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
        const std::string conf = in("squid.conf");
        char* argv[] = {const_cast<char*>(kSquid), const_cast<char*>("-N"), const_cast<char*>("-f"),
                        const_cast<char*>(conf.c_str()), nullptr};
        if (::posix_spawn(&pid_, kSquid, &actions, nullptr, argv, environ) != 0) pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
        // Ready once it says it accepts connections; given up when it ends or after 20 s.
        const auto deadline = Clock::now() + std::chrono::seconds(20);
        while (pid_ > 0 && Clock::now() < deadline && !reap(Clock::now()) &&
               !(ready_ = log().find("Accepting HTTP Socket connections") != std::string::npos)) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    }
    ~SquidProxy() {
        if (pid_ <= 0) return;
        ::kill(pid_, SIGTERM);
        if (!reap(Clock::now() + std::chrono::seconds(5))) {
            ::kill(pid_, SIGKILL);
            reap(Clock::now() + std::chrono::seconds(5));
        }
    }
    SquidProxy(const SquidProxy&) = delete;
    SquidProxy& operator=(const SquidProxy&) = delete;

    bool ready() const { return ready_; }
    std::string address() const { return "127.0.0.1:" + std::to_string(port_); }
    // What squid wrote about itself, for failure messages.
    std::string log() const {
        return testsupport::readFile(folder_.file("squid.out")) +
               testsupport::readFile(folder_.file("cache.log"));
    }

private:
    using Clock = std::chrono::steady_clock;

    // Whether squid ended by `deadline` (it is then reaped).
    bool reap(Clock::time_point deadline) {
        for (int status = 0;; std::this_thread::sleep_for(std::chrono::milliseconds(20))) {
            if (::waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                return true;
            }
            if (Clock::now() >= deadline) return false;
        }
    }
    testsupport::TempDir folder_{"quorvane-squid"};
    const std::uint16_t port_ = unusedPort();
    pid_t pid_ = -1;
    bool ready_ = false;
};
