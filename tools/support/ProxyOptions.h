#pragma once

#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "ProxyAuthenticatorModule.h"

namespace toolsupport {

// The proxy options of the network tools, "--proxy HOST:PORT" and
// "--proxy-user USER:PASSWORD", and the proxy authenticator they make: every
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
        "                      blanked in the command line once read\n";
    // What a proxy's 407 means to a run with these options.
    static constexpr const char* kCredentialsWanted =
        "the proxy wants credentials: none given or stored, or refused (HTTP 407)";

    // Whether `option` is one of these options (each takes a value).
    static bool IsOption(const std::string& option);

    // Takes the value of `option`; false, with the reason in `error`, when it
    // is not of the option's form, or when the module that makes the
    // authenticator (loaded with the first --proxy) cannot be loaded. The
    // value of --proxy-user, an argument of the process, is overwritten
    // with blanks once copied, so that the process's command line (ps,
    // /proc/PID/cmdline) no longer shows the password.
    bool Accept(const std::string& option, char* value, std::string& error);

    // The reason the options do not go together, or empty when they do.
    std::string Conflict() const;

    // The authenticator that names the proxy and its credentials to the
    // library (it keeps its credential storage alive); null without --proxy.
    std::shared_ptr<IProxyAuthenticator> MakeAuthenticator() const;

private:
    bool LoadModule(std::string& error);

    MakeProxyAuthenticator make_ = nullptr;
    std::optional<std::string> proxy_;
    std::optional<std::pair<std::string, std::string>> user_;
};

}  // namespace toolsupport
