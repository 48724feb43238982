#pragma once

#include <sys/resource.h>

#include <array>
#include <cstddef>
#include <string>
#include <vector>

#include "IResourceLimits.h"

namespace quorvane::unattended {

// The resource limits a copy of the installer inherits from whoever started
// it. Both copies check first that they can run at all: with fewer
// descriptors or a smaller stack than they need they would abort at some
// later step, half-way through their work. The elevated copy first lifts
// those that would otherwise end or cut its install at a point of the
// caller's choice: the size of a file (SIGXFSZ, or a write that fails),
// processor time (SIGXCPU), memory (an allocation that fails), the stack,
// open files. Nothing here allocates: it runs before the stack is known to
// be enough.
class InheritedLimits {
public:
    // A limit below what lift() wants, and what became of it.
    struct Step {
        const char* name = "";
        rlimit before{};
        rlimit after{};
        // Whether raising the hard limit was tried, and the errno that
        // refused it (0 when it was raised, or not tried).
        bool hardTried = false;
        int hardError = 0;
    };

    // The least either copy needs: descriptors for its log, the Qt thread's
    // event loop, the download and the commands it runs (it uses about 22),
    // and a stack for its deepest calls (about 64 KiB), each with room to
    // spare.
    static constexpr rlim_t kLeastOpenFiles = 64;
    static constexpr rlim_t kLeastStack = rlim_t{256} << 10;

    explicit InheritedLimits(IResourceLimits& limits = IResourceLimits::process());

    // For the elevated copy, run as root: the soft and hard limits of file
    // size, processor time, address space and data size to unlimited, the
    // stack's and the open files' to at least their usual 8 MiB and 1024;
    // where the hard limit cannot be raised (root without the right to), the
    // soft one goes up to it; threads started later get the stack it lifted
    // to. The core file size and the others stay as they are. Keeps a Step
    // for each limit below what it wants.
    void lift();
    const Step* begin() const { return steps_.data(); }
    const Step* end() const { return steps_.data() + count_; }
    // A line for each Step: "inherited limit lifted: file size 4096 ->
    // unlimited", or "inherited limit kept: ..." and why.
    std::vector<std::string> lines() const;

    // Whether the soft limits leave fewer open files or a smaller stack than
    // a copy needs; if so, why, in `reason` (`size` bytes at most, ended by
    // a NUL).
    bool belowNeeds(char* reason, std::size_t size) const;

private:
    IResourceLimits& limits_;
    std::array<Step, 6> steps_{};
    std::size_t count_ = 0;
};

}  // namespace quorvane::unattended
