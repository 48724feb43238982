// The limits a copy inherits, against a stand-in for getrlimit and
// setrlimit that grants or refuses raising a hard limit, as the system does
// for root with or without the right to: what the elevated copy asks for,
// what it is left with, and whether either copy can run at all.
#include <gtest/gtest.h>

#include <cerrno>
#include <map>
#include <string>
#include <vector>

#include "InheritedLimits.h"

using quorvane::unattended::IResourceLimits;
using quorvane::unattended::InheritedLimits;

namespace {

constexpr rlim_t kUnlimited = RLIM_INFINITY;

// Every limit unlimited unless a test sets it.
class StandInLimits : public IResourceLimits {
public:
    explicit StandInLimits(bool mayRaiseHard) : mayRaiseHard_(mayRaiseHard) {
        for (const int resource : {RLIMIT_FSIZE, RLIMIT_CPU, RLIMIT_AS, RLIMIT_DATA, RLIMIT_STACK,
                                   RLIMIT_NOFILE, RLIMIT_CORE}) {
            limits[resource] = {kUnlimited, kUnlimited};
        }
    }

    int get(int resource, rlimit& limit) const override {
        const auto found = limits.find(resource);
        if (found == limits.end()) {
            return EINVAL;
        }
        limit = found->second;
        return 0;
    }

    int set(int resource, const rlimit& limit) override {
        asked.emplace_back(resource, limit);
        rlimit& current = limits.at(resource);
        if (limit.rlim_cur > limit.rlim_max) {
            return EINVAL;
        }
        if (limit.rlim_max > current.rlim_max && !mayRaiseHard_) {
            return EPERM;
        }
        current = limit;
        return 0;
    }

    int setThreadStack(std::size_t bytes) override {
        threadStack = bytes;
        return 0;
    }

    std::map<int, rlimit> limits;
    // What later threads' stack was set to; 0: left as it was.
    std::size_t threadStack = 0;
    std::vector<std::pair<int, rlimit>> asked;

private:
    bool mayRaiseHard_;
};

std::string shown(const rlimit& limit) {
    const auto text = [](rlim_t value) {
        return value == kUnlimited ? std::string("unlimited") : std::to_string(value);
    };
    return text(limit.rlim_cur) + ":" + text(limit.rlim_max);
}

// The hard limit raised where that is permitted, not raised where it is
// not (the soft one going up to it), not even tried where it is high
// enough, and nothing done where nothing is needed.
TEST(InheritedLimitsTest, HardLimitsAreRaisedWherePermittedAndTheRefusalIsTold) {
    struct Case {
        std::string what;
        int resource;
        rlimit inherited;
        bool mayRaiseHard;
        rlimit left;
        bool hardTried;
        int error;
        std::string line;  // empty: no step
        // Later threads' stack: the stack limit it lifted to, or left (0).
        std::size_t threadStack = 0;
    };
    const std::string refused = " (its hard limit cannot be raised: Operation not permitted)";
    const std::vector<Case> cases{
        {"raised", RLIMIT_FSIZE, {1024, 1024}, true, {kUnlimited, kUnlimited}, true, 0,
         "inherited limit lifted: file size 1024 -> unlimited"},
        {"not permitted", RLIMIT_FSIZE, {1024, 1024}, false, {1024, 1024}, true, EPERM,
         "inherited limit kept: file size 1024" + refused},
        {"not permitted, the soft one up to the hard", RLIMIT_NOFILE, {5, 512}, false,
         {512, 512}, true, EPERM, "inherited limit lifted: open files 5 -> 512" + refused},
        {"raised past a hard limit under the floor", RLIMIT_STACK, {16384, 16384}, true,
         {8 << 20, 8 << 20}, true, 0, "inherited limit lifted: stack size 16384 -> 8388608",
         8 << 20},
        {"hard limit high enough: not tried", RLIMIT_STACK, {16384, kUnlimited}, false,
         {8 << 20, kUnlimited}, false, 0, "inherited limit lifted: stack size 16384 -> 8388608",
         8 << 20},
        {"not permitted, the soft one up to the hard", RLIMIT_STACK, {16384, 1 << 20}, false,
         {1 << 20, 1 << 20}, true, EPERM,
         "inherited limit lifted: stack size 16384 -> 1048576" + refused, 1 << 20},
        {"not permitted, the soft one at the hard already", RLIMIT_STACK, {1 << 20, 1 << 20},
         false, {1 << 20, 1 << 20}, true, EPERM, "inherited limit kept: stack size 1048576" + refused},
        {"not needed", RLIMIT_STACK, {8 << 20, kUnlimited}, false, {8 << 20, kUnlimited}, false,
         0, ""},
        {"hard limit high enough: not tried", RLIMIT_CPU, {600, kUnlimited}, false,
         {kUnlimited, kUnlimited}, false, 0,
         "inherited limit lifted: processor time 600 -> unlimited"},
        {"not needed", RLIMIT_NOFILE, {1024, 1024}, false, {1024, 1024}, false, 0, ""},
        {"not needed", RLIMIT_AS, {kUnlimited, kUnlimited}, false, {kUnlimited, kUnlimited},
         false, 0, ""},
        {"not one it lifts", RLIMIT_CORE, {0, 0}, true, {0, 0}, false, 0, ""},
    };
    for (const auto& c : cases) {
        StandInLimits system(c.mayRaiseHard);
        system.limits[c.resource] = c.inherited;
        InheritedLimits limits(system);
        limits.lift();
        const std::string what = c.what + " (" + shown(c.inherited) + ")";
        EXPECT_EQ(shown(c.left), shown(system.limits[c.resource])) << what;
        EXPECT_EQ(c.threadStack, system.threadStack) << what;
        const auto lines = limits.lines();
        if (c.line.empty()) {
            EXPECT_EQ(limits.begin(), limits.end()) << what;
            EXPECT_TRUE(system.asked.empty()) << what;
            continue;
        }
        ASSERT_EQ(1, limits.end() - limits.begin()) << what;
        EXPECT_EQ(c.hardTried, limits.begin()->hardTried) << what;
        EXPECT_EQ(c.error, limits.begin()->hardError) << what;
        EXPECT_EQ(std::vector<std::string>{c.line}, lines) << what;
        // The first thing asked for is the whole floor, the hard limit with
        // it when it lies below.
        ASSERT_FALSE(system.asked.empty()) << what;
        EXPECT_EQ(c.resource, system.asked.front().first) << what;
        EXPECT_EQ(c.hardTried, system.asked.front().second.rlim_max != c.inherited.rlim_max)
            << what;
    }
}

TEST(InheritedLimitsTest, FewerDescriptorsOrALessStackThanACopyNeedsAreTold) {
    struct Case {
        int resource;
        rlimit limit;
        std::string reason;  // empty: it can run
    };
    const rlim_t files = InheritedLimits::kLeastOpenFiles;
    const rlim_t stack = InheritedLimits::kLeastStack;
    const std::vector<Case> cases{
        {RLIMIT_NOFILE, {5, 5},
         "cannot run with its open files limited to 5 (hard limit 5): it needs at least 64"},
        {RLIMIT_NOFILE, {files - 1, kUnlimited},
         "cannot run with its open files limited to 63 (hard limit unlimited): it needs at "
         "least 64"},
        {RLIMIT_NOFILE, {files, files}, ""},
        {RLIMIT_STACK, {16384, 16384},
         "cannot run with its stack size limited to 16384 bytes (hard limit 16384): it needs "
         "at least 262144 bytes"},
        {RLIMIT_STACK, {stack - 1, kUnlimited},
         "cannot run with its stack size limited to 262143 bytes (hard limit unlimited): it "
         "needs at least 262144 bytes"},
        {RLIMIT_STACK, {stack, stack}, ""},
        {RLIMIT_FSIZE, {0, 0}, ""},
    };
    for (const auto& c : cases) {
        StandInLimits system(false);
        system.limits[c.resource] = c.limit;
        char reason[200] = "";
        EXPECT_EQ(!c.reason.empty(), InheritedLimits(system).belowNeeds(reason, sizeof reason))
            << shown(c.limit);
        EXPECT_EQ(c.reason, c.reason.empty() ? "" : reason) << shown(c.limit);
        EXPECT_TRUE(system.asked.empty()) << "only checked";
    }
}

}  // namespace
