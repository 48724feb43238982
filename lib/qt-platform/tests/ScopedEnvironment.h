#pragma once

#include <cstdlib>
#include <map>
#include <optional>
#include <string>

// Sets and unsets environment variables for a test and restores them after; starts with none
// of the proxy variables set.
class ScopedEnvironment {
public:
    ScopedEnvironment() {
        for (const char* name :
             {"http_proxy", "https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY", "auto_proxy"}) {
            set(name, std::nullopt);
        }
    }
    ScopedEnvironment(const ScopedEnvironment&) = delete;
    ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;
    ~ScopedEnvironment() {
        for (const auto& [name, value] : saved_) set(name, value);
    }

    // Sets `name` to `value`, or unsets it without one.
    void set(const std::string& name, const std::optional<std::string>& value) {
        if (const char* old = std::getenv(name.c_str()); saved_.count(name) == 0) {
            saved_[name] = old ? std::optional<std::string>(old) : std::nullopt;
        }
        value ? ::setenv(name.c_str(), value->c_str(), 1) : ::unsetenv(name.c_str());
    }

private:
    std::map<std::string, std::optional<std::string>> saved_;
};
