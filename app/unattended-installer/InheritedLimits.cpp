#include "InheritedLimits.h"

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace quorvane::unattended {

namespace {

struct Lifted {
    int resource;
    const char* name;
    // The least soft limit wanted; RLIM_INFINITY lifts the limit whole.
    rlim_t floor;
};

constexpr Lifted kLifted[] = {
    {RLIMIT_FSIZE, "file size", RLIM_INFINITY},
    {RLIMIT_CPU, "processor time", RLIM_INFINITY},
    {RLIMIT_AS, "address space", RLIM_INFINITY},
    {RLIMIT_DATA, "data size", RLIM_INFINITY},
    {RLIMIT_STACK, "stack size", rlim_t{8} << 20},
    {RLIMIT_NOFILE, "open files", 1024},
};

std::string text(rlim_t value) {
    return value == RLIM_INFINITY ? "unlimited" : std::to_string(value);
}

}  // namespace

std::vector<std::string> liftInheritedLimits() {
    std::vector<std::string> lines;
    if (::geteuid() != 0) {
        return lines;
    }
    for (const auto& [resource, name, floor] : kLifted) {
        rlimit current{};
        if (::getrlimit(resource, &current) != 0 || current.rlim_cur >= floor) {
            continue;
        }
        rlimit wanted{floor, std::max(current.rlim_max, floor)};
        std::string kept;
        if (::setrlimit(resource, &wanted) != 0) {
            // Without the right to raise hard limits the soft one goes as
            // far as the hard one.
            kept = std::strerror(errno);
            wanted = {std::min(current.rlim_max, floor), current.rlim_max};
            if (wanted.rlim_cur == current.rlim_cur || ::setrlimit(resource, &wanted) != 0) {
                wanted = current;
            }
        }
        std::string line = std::string(name) + " " + text(current.rlim_cur);
        if (wanted.rlim_cur != current.rlim_cur) {
            line = "inherited limit lifted: " + line + " -> " + text(wanted.rlim_cur);
        } else {
            line = "inherited limit kept: " + line;
        }
        if (!kept.empty()) {
            line += " (its hard limit cannot be raised: " + kept + ")";
        }
        lines.push_back(line);
    }
    return lines;
}

}  // namespace quorvane::unattended
