#pragma once

#include <cstdlib>
#include <map>
#include <optional>
#include <string>

// Sets and unsets environment variables for a test and restores them after.
class ScopedEnvironment {
public:
    ScopedEnvironment() = default;
    ScopedEnvironment(const ScopedEnvironment&) = delete;
    ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

    ~ScopedEnvironment() {
        for (const auto& [name, value] : saved_) {
            if (value) {
                ::setenv(name.c_str(), value->c_str(), 1);
            } else {
                ::unsetenv(name.c_str());
            }
        }
    }

    void set(const std::string& name, const std::string& value) {
        save(name);
        ::setenv(name.c_str(), value.c_str(), 1);
    }

    void unset(const std::string& name) {
        save(name);
        ::unsetenv(name.c_str());
    }

    // Leaves none of the proxy variables set.
    void clearProxies() {
        for (const char* name : {"http_proxy", "https_proxy", "all_proxy", "auto_proxy"}) {
            unset(name);
        }
    }

private:
    void save(const std::string& name) {
        if (saved_.count(name) == 0) {
            const char* value = std::getenv(name.c_str());
            saved_[name] = value ? std::optional<std::string>(value) : std::nullopt;
        }
    }

    std::map<std::string, std::optional<std::string>> saved_;
};
