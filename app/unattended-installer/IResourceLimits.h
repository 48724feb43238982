#pragma once

#include <sys/resource.h>

#include <cstddef>

namespace quorvane::unattended {

// The process's resource limits, as getrlimit and setrlimit read and set
// them; a test hands in one of its own to tell what was asked.
class IResourceLimits {
public:
    virtual ~IResourceLimits() = default;

    // 0, or the errno of the failure.
    virtual int get(int resource, rlimit& limit) const = 0;
    virtual int set(int resource, const rlimit& limit) = 0;
    // The stack size of the threads started from now on: the C library
    // takes it from the stack limit the process started with, and a limit
    // raised later does not change it. 0, or the errno of the failure.
    virtual int setThreadStack(std::size_t bytes) = 0;

    // The running process's own.
    static IResourceLimits& process();
};

}  // namespace quorvane::unattended
