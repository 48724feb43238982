#include "InheritedLimits.h"

#include <pthread.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace quorvane::unattended {

namespace {

struct Wanted {
    int resource;
    const char* name;
    // The least soft limit wanted; RLIM_INFINITY lifts the limit whole.
    rlim_t floor;
    const char* unit = "";
};

constexpr Wanted kLifted[] = {
    {RLIMIT_FSIZE, "file size", RLIM_INFINITY},
    {RLIMIT_CPU, "processor time", RLIM_INFINITY},
    {RLIMIT_AS, "address space", RLIM_INFINITY},
    {RLIMIT_DATA, "data size", RLIM_INFINITY},
    {RLIMIT_STACK, "stack size", rlim_t{8} << 20},
    {RLIMIT_NOFILE, "open files", 1024},
};

constexpr Wanted kNeeded[] = {
    {RLIMIT_NOFILE, "open files", InheritedLimits::kLeastOpenFiles},
    {RLIMIT_STACK, "stack size", InheritedLimits::kLeastStack, " bytes"},
};

class ProcessLimits : public IResourceLimits {
public:
    int get(int resource, rlimit& limit) const override {
        return ::getrlimit(resource, &limit) == 0 ? 0 : errno;
    }
    int set(int resource, const rlimit& limit) override {
        return ::setrlimit(resource, &limit) == 0 ? 0 : errno;
    }
    int setThreadStack(std::size_t bytes) override {
        pthread_attr_t attributes;
        int error = ::pthread_getattr_default_np(&attributes);
        if (error != 0) {
            return error;
        }
        error = ::pthread_attr_setstacksize(&attributes, bytes);
        if (error == 0) {
            error = ::pthread_setattr_default_np(&attributes);
        }
        ::pthread_attr_destroy(&attributes);
        return error;
    }
};

std::string text(rlim_t value) {
    return value == RLIM_INFINITY ? "unlimited" : std::to_string(value);
}

}  // namespace

IResourceLimits& IResourceLimits::process() {
    static ProcessLimits limits;
    return limits;
}

InheritedLimits::InheritedLimits(IResourceLimits& limits) : limits_(limits) {}

void InheritedLimits::lift() {
    count_ = 0;
    for (const Wanted& limit : kLifted) {
        rlimit current{};
        if (limits_.get(limit.resource, current) != 0 || current.rlim_cur >= limit.floor) {
            continue;
        }
        Step& step = steps_[count_++];
        step = Step{limit.name, current, current};
        const rlimit wanted{limit.floor, std::max(current.rlim_max, limit.floor)};
        step.hardTried = wanted.rlim_max != current.rlim_max;
        step.hardError = limits_.set(limit.resource, wanted);
        if (step.hardError == 0) {
            step.after = wanted;
        } else {
            // Without the right to raise the hard limit the soft one goes as
            // far as the hard one.
            const rlimit partial{std::min(current.rlim_max, limit.floor), current.rlim_max};
            if (partial.rlim_cur != current.rlim_cur &&
                limits_.set(limit.resource, partial) == 0) {
                step.after = partial;
            }
        }
        // Else threads would keep the stack of the limit inherited.
        if (limit.resource == RLIMIT_STACK && step.after.rlim_cur != current.rlim_cur) {
            limits_.setThreadStack(static_cast<std::size_t>(step.after.rlim_cur));
        }
    }
}

std::vector<std::string> InheritedLimits::lines() const {
    std::vector<std::string> lines;
    for (const Step& step : *this) {
        std::string line = std::string(step.name) + " " + text(step.before.rlim_cur);
        if (step.after.rlim_cur != step.before.rlim_cur) {
            line = "inherited limit lifted: " + line + " -> " + text(step.after.rlim_cur);
        } else {
            line = "inherited limit kept: " + line;
        }
        if (step.hardError != 0) {
            line += std::string(step.hardTried ? " (its hard limit cannot be raised: " : " (") +
                    std::strerror(step.hardError) + ")";
        }
        lines.push_back(line);
    }
    return lines;
}

bool InheritedLimits::belowNeeds(char* reason, std::size_t size) const {
    for (const auto& [resource, name, least, unit] : kNeeded) {
        rlimit current{};
        if (limits_.get(resource, current) != 0 || current.rlim_cur >= least) {
            continue;
        }
        char hard[32] = "unlimited";
        if (current.rlim_max != RLIM_INFINITY) {
            std::snprintf(hard, sizeof hard, "%llu",
                          static_cast<unsigned long long>(current.rlim_max));
        }
        std::snprintf(reason, size,
                      "cannot run with its %s limited to %llu%s (hard limit %s): it needs at "
                      "least %llu%s",
                      name, static_cast<unsigned long long>(current.rlim_cur), unit, hard,
                      static_cast<unsigned long long>(least), unit);
        return true;
    }
    return false;
}

}  // namespace quorvane::unattended
