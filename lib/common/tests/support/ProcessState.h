#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace testsupport {

// Puts the named environment variables, and those changed through `set`, back
// as they were (set or not) when the object goes.
class ScopedEnvironment {
public:
    explicit ScopedEnvironment(const std::vector<std::string>& names = {}) {
        for (const auto& name : names) save(name);
    }
    ~ScopedEnvironment() {
        for (auto it = saved_.rbegin(); it != saved_.rend(); ++it) {
            const auto& [name, value] = *it;
            value ? ::setenv(name.c_str(), value->c_str(), 1) : ::unsetenv(name.c_str());
        }
    }
    ScopedEnvironment(const ScopedEnvironment&) = delete;
    ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

    // Sets `name` to `value`, or unsets it without one.
    void set(const std::string& name, const std::optional<std::string>& value) {
        save(name);
        value ? ::setenv(name.c_str(), value->c_str(), 1) : ::unsetenv(name.c_str());
    }

private:
    void save(const std::string& name) {
        const char* value = std::getenv(name.c_str());
        saved_.emplace_back(name, value ? std::optional<std::string>(value) : std::nullopt);
    }

    std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

// Goes back to the current folder of its construction when it goes, even
// when that folder's path has changed meanwhile.
class ScopedCurrentDirectory {
public:
    ScopedCurrentDirectory() : fd_(::open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC)) {}
    ~ScopedCurrentDirectory() {
        if (fd_ >= 0) {
            (void)!::fchdir(fd_);
            ::close(fd_);
        }
    }
    ScopedCurrentDirectory(const ScopedCurrentDirectory&) = delete;
    ScopedCurrentDirectory& operator=(const ScopedCurrentDirectory&) = delete;

private:
    int fd_;
};

}  // namespace testsupport
