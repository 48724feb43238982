#include "ProxyOptions.h"

#include <dlfcn.h>

#include <algorithm>

namespace toolsupport {

namespace {

// "HOST:PORT" with a port from 1 to 65535 (an IPv6 host in brackets).
bool IsHostAndPort(const std::string& text) {
    const auto colon = text.rfind(':');
    const auto bracket = text.rfind(']');
    if (colon == std::string::npos || colon == 0 || (bracket != std::string::npos && bracket > colon)) {
        return false;
    }
    const std::string port = text.substr(colon + 1);
    return !port.empty() && port.size() <= 5 &&
           port.find_first_not_of("0123456789") == std::string::npos && std::stoul(port) >= 1 &&
           std::stoul(port) <= 65535;
}

}  // namespace

bool ProxyOptions::IsOption(const std::string& argument) {
    const std::string option = argument.substr(0, argument.find('='));
    return option == "--proxy" || option == "--proxy-user";
}

bool ProxyOptions::Take(int argc, char** argv, int& i, std::string& error) {
    const std::string argument = argv[i];
    const auto equals = argument.find('=');
    const std::string option = argument.substr(0, equals);
    if (equals != std::string::npos) {
        return Accept(option, argv[i] + equals + 1, error);
    }
    if (i + 1 >= argc) {
        error = "option " + option + " needs a value";
        return false;
    }
    return Accept(option, argv[++i], error);
}

bool ProxyOptions::Accept(const std::string& option, char* argument, std::string& error) {
    const std::string value = argument;
    if (option == "--proxy") {
        if (!IsHostAndPort(value)) {
            error = "the proxy '" + value + "' is not HOST:PORT";
            return false;
        }
        proxy_ = value;
        return LoadModule(error);
    }
    std::fill(argument, argument + value.size(), ' ');
    const auto colon = value.find(':');
    if (colon == std::string::npos || colon == 0) {
        error = "the proxy user is not USER:PASSWORD";
        return false;
    }
    user_.emplace(value.substr(0, colon), value.substr(colon + 1));
    return true;
}

std::string ProxyOptions::Conflict() const {
    return user_ && !proxy_ ? "--proxy-user needs --proxy" : "";
}

std::shared_ptr<IProxyAuthenticator> ProxyOptions::MakeAuthenticator() const {
    if (!proxy_ || make_ == nullptr) {
        return nullptr;
    }
    std::shared_ptr<IProxyAuthenticator> authenticator;
    make_(proxy_->c_str(), user_ ? user_->first.c_str() : nullptr,
          user_ ? user_->second.c_str() : nullptr, &authenticator);
    return authenticator;
}

bool ProxyOptions::LoadModule(std::string& error) {
    if (make_ != nullptr) {
        return true;
    }
    // Never unloaded: the authenticators it makes live until the end.
    void* module = ::dlopen(TOOL_PROXY_MODULE, RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
    if (module != nullptr) {
        make_ = reinterpret_cast<MakeProxyAuthenticator>(
            ::dlsym(module, kMakeProxyAuthenticatorSymbol));
    }
    if (make_ == nullptr) {
        const char* reason = ::dlerror();
        error = std::string("the proxy support cannot be loaded: ") +
                (reason != nullptr ? reason : TOOL_PROXY_MODULE);
        return false;
    }
    return true;
}

}  // namespace toolsupport
