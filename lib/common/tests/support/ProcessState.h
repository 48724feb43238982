#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace testsupport {

// Puts the named environment variables back as they were (set or not) when
// the object goes; the test changes them freely meanwhile.
class ScopedEnvironment {
public:
    explicit ScopedEnvironment(std::vector<std::string> names) {
        for (auto& name : names) {
            const char* value = std::getenv(name.c_str());
            saved_.emplace_back(std::move(name),
                                value ? std::optional<std::string>(value) : std::nullopt);
        }
    }
    ~ScopedEnvironment() {
        for (const auto& [name, value] : saved_) {
            value ? ::setenv(name.c_str(), value->c_str(), 1) : ::unsetenv(name.c_str());
        }
    }
    ScopedEnvironment(const ScopedEnvironment&) = delete;
    ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

private:
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
