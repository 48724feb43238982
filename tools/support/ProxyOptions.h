#pragma once

#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "ProxyAuthenticatorModule.h"

namespace toolsupport {

// The proxy options of the network tools, "--proxy HOST:PORT" and
// "--proxy-user USER:PASSWORD" (or "--proxy=HOST:PORT",
// "--proxy-user=USER:PASSWORD"), and the proxy authenticator they make: every
// connection then goes through that HTTP proxy's CONNECT tunnel, with the
// credentials of the command line or, without them, those kept in the
// credential storage.
class ProxyOptions {
public:
    // For a program's synopsis and its option lines.
    static constexpr const char* kSynopsis = "[--proxy HOST:PORT [--proxy-user USER:PASSWORD]]";
    static constexpr const char* kOptionLines =
        "  --proxy HOST:PORT   go through this HTTP proxy's CONNECT tunnel\n"
        "  --proxy-user USER:PASSWORD\n"
        "                      the proxy's credentials (else those of the credential storage);\n"
        "                      blanked in the command line once read\n"
        "                      (both also as --proxy=HOST:PORT, --proxy-user=USER:PASSWORD)\n";
    // What a proxy's 407 means to a run with these options.
    static constexpr const char* kCredentialsWanted =
        "the proxy wants credentials: none given or stored, or refused (HTTP 407)";

    // Whether `argument` is one of these options, alone (its value the next
    // argument) or with its value after "=".
    static bool IsOption(const std::string& argument);

    // Takes the option argv[i] and its value, the next argument or what
    // follows its "="; `i` is then the last argument taken. False, with the
    // reason in `error` (never the value of --proxy-user), when the value is
    // missing or not of the option's form, or when the module that makes the
    // authenticator (loaded with the first --proxy) cannot be loaded. The
    // value of --proxy-user, in an argument of the process, is overwritten
    // with blanks once copied, in either form, so that the process's
    // command line (ps, /proc/PID/cmdline) no longer shows the password.
    bool Take(int argc, char** argv, int& i, std::string& error);

    // The reason the options do not go together, or empty when they do.
    std::string Conflict() const;

    // The authenticator that names the proxy and its credentials to the
    // library (it keeps its credential storage alive); null without --proxy.
    std::shared_ptr<IProxyAuthenticator> MakeAuthenticator() const;

private:
    // Takes `value` for `option` (the name alone), blanking a password.
    bool Accept(const std::string& option, char* value, std::string& error);
    bool LoadModule(std::string& error);

    MakeProxyAuthenticator make_ = nullptr;
    std::optional<std::string> proxy_;
    std::optional<std::pair<std::string, std::string>> user_;
};

}  // namespace toolsupport
