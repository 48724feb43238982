#pragma once

#include <memory>

class IProxyAuthenticator;

namespace toolsupport {

// The entry point of the module that makes the tools' proxy authenticator
// (the Qt platform layer's, with the credential storage behind it). The
// module is loaded only when a tool is given --proxy, so that a run without a
// proxy loads neither Qt nor the libraries of proxy auto-configuration.
//
// The entry makes the authenticator for `proxy` ("HOST:PORT") with the
// credentials `user` and `password` when `user` is not null, else with those
// kept in the credential storage, and stores it in `authenticator`.
using MakeProxyAuthenticator = void (*)(const char* proxy, const char* user, const char* password,
                                        std::shared_ptr<IProxyAuthenticator>* authenticator);

// The entry's symbol in the module.
constexpr const char* kMakeProxyAuthenticatorSymbol = "quorvaneMakeProxyAuthenticator";

}  // namespace toolsupport
