// A root process's message-queue link (an asynchronous data link on the
// program's scheduler, one task per 10 ms tick, polling every 100 ms) while
// other local users load its inboxes:
//
//   flood      one user creates empty files under inbox names, of its own uid
//              and of the session user's, as fast as it can for 20 s; a root
//              process and the session user's process each send the link a
//              record every 73 ms throughout: their delays before, during and
//              after the flood, and the link's share of a core.
//   leftovers  a user holds 16 inboxes open and leaves 300,000 more names of its
//              own inbox form: the link's share of a core and the session
//              user's delays, idle and once the link has had its first look.
//   users      20 users hold 16 full inboxes each: how long 60 records of the
//              session user's (one every 20 ms) take, idle and then, and the
//              most inbox descriptors the link holds.
//   senders    another user creates and unlinks names of the session user's
//              inbox form as fast as it can for 60 s, then, with a new root
//              link, two users leave them for 20 s; a session-user sender
//              started 10 s into each loop: when its first record arrives; a
//              root process sends a record every 73 ms throughout: its delays.
//   million    another user leaves 1,000,000 names that are no inbox's and
//              then creates and unlinks other names without end: how long
//              each of three session-user senders, started one after the
//              other, waits for its first record.
//   collisions another user keeps 40,000 names of its inbox form for 40 s
//              while a third churns other names: names drawn at random, then
//              names that fall in one bucket of the link's sets as the user
//              computes them; a root process's records, the first records
//              of session-user senders started one after the other from
//              5 s to 30 s in, and the link's share of a core, side by side.
//
// Runs as root, in a mount namespace of its own with a fresh /dev/shm, so that
// what it plants there touches no other program on the machine.

#include "IpcInboxBench.h"

#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <limits>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "ChildLines.h"
#include "InboxBenchPeers.h"
#include "IpcInboxBenchReadings.h"
#include "interprocess/DataLink.h"
#include "interprocess/SharedRecordQueue.h"
#include "interprocess/UserInboxes.h"

namespace ipcbench {

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// One case's root link, with its log folder and id.
class RootLink {
public:
    RootLink() {
        char folder[] = "/tmp/ipc-inbox-bench-XXXXXX";
        if (::mkdtemp(folder) == nullptr) {
            std::perror("mkdtemp");
            std::exit(1);
        }
        logFolder = folder;
        child = start(0, [this] { return rootLink(id, logFolder); });
        lines = std::make_unique<ChildLines>(child.output);
        if (!lines->waitFor("ready", 10s)) {
            std::fprintf(stderr, "the root link did not start\n");
            std::exit(1);
        }
    }
    ~RootLink() {
        finish(child);
        lines.reset();
        std::error_code error;
        std::filesystem::remove_all(logFolder, error);
        for (const auto& name : interprocess::SharedRecordQueue::namesStartingWith(id + "_")) {
            interprocess::SharedRecordQueue::clear(name);
        }
    }
    double cpu() const { return cpuSeconds(child.pid); }

    const std::string id = "inboxbench" + std::to_string(::getpid());
    const std::string queue = interprocess::DataLink::queueName(id, kRootKind);
    std::string logFolder;
    Child child;
    std::unique_ptr<ChildLines> lines;
};

// A child and its lines, ended in order.
struct Running {
    Running(uid_t uid, const std::function<int()>& body)
        : child(start(uid, body)), lines(std::make_unique<ChildLines>(child.output)) {}
    ~Running() { end(); }
    void end() {
        finish(child);
        lines.reset();
    }
    bool ready() { return lines->waitFor("ready", 30s).has_value(); }
    // Ends the child's input: a sender stops sending.
    void endInput() {
        ::close(child.input);
        child.input = -1;
    }

    Child child;
    std::unique_ptr<ChildLines> lines;
};

// ---- the cases ----

int flood() {
    RootLink root;
    Running rootSender(0, [&] { return sender(root.id, "ProcessChecker", "root", 73ms, 0); });
    Running sessionSender(kSessionUser,
                          [&] { return sender(root.id, "AttendedUi", "session", 73ms, 0); });
    if (!rootSender.ready() || !sessionSender.ready()) {
        return 1;
    }
    const std::int64_t idleFrom = nowNs();
    std::this_thread::sleep_for(3s);
    const std::int64_t floodFrom = nowNs();
    const double cpuFrom = root.cpu();
    std::string planted;
    {
        Running planter(kOtherUser, [&] {
            return plant(root.queue, {kOtherUser, kSessionUser}, 20s,
                         std::numeric_limits<std::size_t>::max());
        });
        planted = planter.lines->waitFor("planted", 60s).value_or("planted ?");
    }
    const std::int64_t floodTo = nowNs();
    const double cpuFlood = root.cpu();
    std::this_thread::sleep_for(10s);
    const std::int64_t afterTo = nowNs();
    const double cpuAfter = root.cpu();
    rootSender.endInput();
    sessionSender.endInput();
    waitForArrivals(*root.lines, {rootSender.lines.get(), sessionSender.lines.get()},
                    Clock::now() + 120s);
    const std::size_t left = namesStartingWith(root.queue + "~");
    std::printf("flood: %s names in 20 s (%zu left in the folder %.0f s after it)\n",
                planted.substr(8).c_str(), left, static_cast<double>(nowNs() - floodTo) / 1e9);
    std::printf("  root link's share of a core: %.1f %% during the flood, %.1f %% in the 10 s after\n",
                share(cpuFlood - cpuFrom, floodFrom, floodTo),
                share(cpuAfter - cpuFlood, floodTo, afterTo));
    for (const auto& [label, lines] :
         {std::pair{"root", rootSender.lines.get()}, std::pair{"session", sessionSender.lines.get()}}) {
        std::printf("  %-7s before: %s\n", label, describe(delaysOf(*root.lines, *lines, label, idleFrom, floodFrom)).c_str());
        std::printf("  %-7s during: %s\n", label, describe(delaysOf(*root.lines, *lines, label, floodFrom, floodTo)).c_str());
        std::printf("  %-7s after:  %s\n", label, describe(delaysOf(*root.lines, *lines, label, floodTo, afterTo)).c_str());
    }
    std::fflush(stdout);
    return 0;
}

int leftovers() {
    RootLink root;
    Running holder(kOtherUser, [&] { return hold(root.queue, 16, 0); });
    Running sessionSender(kSessionUser,
                          [&] { return sender(root.id, "AttendedUi", "session", 73ms, 0); });
    if (!holder.ready() || !sessionSender.ready()) {
        return 1;
    }
    std::this_thread::sleep_for(2s);
    const std::int64_t idleFrom = nowNs();
    const double cpuIdleFrom = root.cpu();
    std::this_thread::sleep_for(10s);
    const std::int64_t idleTo = nowNs();
    const double cpuIdle = root.cpu() - cpuIdleFrom;
    std::string planted;
    {
        Running planter(kOtherUser, [&] { return plant(root.queue, {kOtherUser}, 600s, 300000); });
        planted = planter.lines->waitFor("planted", 600s).value_or("planted ?");
    }
    // The link's first look: until the names left stay as they are for 5 s.
    const std::int64_t plantedAt = nowNs();
    const double cpuPlanted = root.cpu();
    const std::string prefix = interprocess::UserInboxes::prefixFor(root.queue, kOtherUser);
    std::size_t left = namesStartingWith(prefix);
    for (auto steady = Clock::now(); Clock::now() - steady < 5s;) {
        std::this_thread::sleep_for(1s);
        const std::size_t now = namesStartingWith(prefix);
        if (now != left) {
            steady = Clock::now();
            left = now;
        }
        if (nowNs() - plantedAt > 600'000'000'000) {
            break;
        }
    }
    const std::int64_t lookedAt = nowNs();
    const double cpuLookFrom = root.cpu();
    std::this_thread::sleep_for(10s);
    const std::int64_t measuredTo = nowNs();
    const double cpuMeasured = root.cpu() - cpuLookFrom;
    sessionSender.endInput();
    waitForArrivals(*root.lines, {sessionSender.lines.get()}, Clock::now() + 60s);
    const auto idle = delaysOf(*root.lines, *sessionSender.lines, "session", idleFrom, idleTo);
    const auto looking = delaysOf(*root.lines, *sessionSender.lines, "session", plantedAt, lookedAt);
    const auto after = delaysOf(*root.lines, *sessionSender.lines, "session", lookedAt, measuredTo);
    std::printf("leftovers: %s names of a user who holds 16 inboxes; %zu left %.1f s later\n",
                planted.substr(8).c_str(), left,
                static_cast<double>(lookedAt - plantedAt) / 1e9 - 5);
    std::printf("  root link's share of a core: idle %.1f %%, during the first look %.1f %%, "
                "then %.1f %%\n",
                share(cpuIdle, idleFrom, idleTo), share(cpuLookFrom - cpuPlanted, plantedAt, lookedAt),
                share(cpuMeasured, lookedAt, measuredTo));
    std::printf("  session idle:    %s\n", describe(idle).c_str());
    std::printf("  session looking: %s\n", describe(looking).c_str());
    std::printf("  session then:    %s\n", describe(after).c_str());
    std::printf("  ratio to idle: median %.2f, max %.2f\n", median(after.ms) / median(idle.ms),
                (after.ms.empty() ? 0 : after.ms.back()) / (idle.ms.empty() ? 1 : idle.ms.back()));
    std::fflush(stdout);
    return 0;
}

int users() {
    constexpr int kBurst = 60;
    RootLink root;
    Running sessionSender(kSessionUser,
                          [&] { return sender(root.id, "AttendedUi", "session", 20ms, kBurst); });
    if (!sessionSender.ready()) {
        return 1;
    }
    // The time from the first record of a burst sent to the last arrived.
    const auto burst = [&] {
        const std::int64_t from = nowNs();
        writeLine(sessionSender.child.input, "");
        const auto until = Clock::now() + 120s;
        Delays delays;
        for (; Clock::now() < until; std::this_thread::sleep_for(10ms)) {
            delays = delaysOf(*root.lines, *sessionSender.lines, "session", from,
                              std::numeric_limits<std::int64_t>::max());
            if (delays.ms.size() + delays.failed >= kBurst) {
                break;
            }
        }
        std::int64_t first = std::numeric_limits<std::int64_t>::max();
        std::int64_t last = 0;
        for (const auto& line : root.lines->all()) {
            std::istringstream words(line);
            std::string of;
            std::int64_t at = 0;
            std::int64_t arrived = 0;
            if (words >> of >> at >> arrived && of == "session" && at >= from) {
                first = std::min(first, at);
                last = std::max(last, arrived);
            }
        }
        std::printf("  %zu of %d arrived, the last %.2f s after the first was sent\n",
                    delays.ms.size(), kBurst, static_cast<double>(last - first) / 1e9);
        return static_cast<double>(last - first) / 1e9;
    };
    std::printf("users: 60 records of the session user's, one every 20 ms\n  idle:\n");
    const double idle = burst();
    std::vector<std::unique_ptr<Running>> holders;
    for (uid_t user = kFirstUser; user < kFirstUser + 20; ++user) {
        holders.push_back(
            std::make_unique<Running>(user, [&] { return hold(root.queue, 16, 100); }));
    }
    for (auto& holder : holders) {
        if (!holder->ready()) {
            return 1;
        }
    }
    std::size_t most = 0;
    std::atomic<bool> sampling = true;
    std::thread sampler([&] {
        while (sampling) {
            most = std::max(most, inboxDescriptors(root.child.pid));
            std::this_thread::sleep_for(50ms);
        }
    });
    std::this_thread::sleep_for(2s);
    std::printf("  with 20 users' 16 full inboxes each:\n");
    const double loaded = burst();
    sampling = false;
    sampler.join();
    std::printf("  ratio to idle %.2f; the most inbox descriptors held: %zu\n", loaded / idle, most);
    std::fflush(stdout);
    return 0;
}

// One loop of the case "senders": `planters` processes of other users create
// names of the session user's inbox form for `duration`, keeping them or not;
// a session-user sender starts 10 s in.
void newSenderDuring(bool keep, std::chrono::seconds duration, uid_t planters) {
    RootLink root;
    Running rootSender(0, [&] { return sender(root.id, "ProcessChecker", "root", 73ms, 0); });
    if (!rootSender.ready()) {
        std::printf("  the root sender did not start\n");
        return;
    }
    std::this_thread::sleep_for(2s);
    const std::int64_t loopFrom = nowNs();
    const double cpuFrom = root.cpu();
    std::unique_ptr<Running> newcomer;
    std::size_t planted = 0;
    {
        std::vector<std::unique_ptr<Running>> planting;
        for (uid_t user = kFirstUser; user < kFirstUser + planters; ++user) {
            planting.push_back(std::make_unique<Running>(user, [&] {
                return plant(root.queue, {kSessionUser}, duration,
                             std::numeric_limits<std::size_t>::max(), keep);
            }));
        }
        std::this_thread::sleep_for(10s);
        newcomer = std::make_unique<Running>(
            kSessionUser, [&] { return sender(root.id, "AttendedUi", "new", 73ms, 0); });
        newcomer->ready();
        for (auto& planter : planting) {
            const auto line = planter->lines->waitFor("planted", duration + 60s);
            planted += line ? std::stoul(line->substr(8)) : 0;
        }
    }
    const std::int64_t loopTo = nowNs();
    const double cpuLoop = root.cpu();
    const auto arrived = waitForFirst(*root.lines, "new", Clock::now() + 600s);
    std::this_thread::sleep_for(5s);
    const std::int64_t afterTo = nowNs();
    const double cpuAfter = root.cpu();
    const std::int64_t started = firstSent(*newcomer->lines);
    newcomer->endInput();
    rootSender.endInput();
    waitForArrivals(*root.lines, {rootSender.lines.get(), newcomer->lines.get()},
                    Clock::now() + 60s);
    std::printf("senders, %u users %s: %zu names in %lld s (%zu left)\n",
                static_cast<unsigned>(planters),
                keep ? "leaving the names" : "creating and unlinking", planted,
                static_cast<long long>(duration.count()), namesStartingWith(root.queue + "~"));
    if (arrived) {
        std::printf("  new session-user sender, started %.1f s into the loop: first record after "
                    "%.1f s, %.1f s %s the loop's end\n",
                    seconds(loopFrom, started), seconds(started, *arrived),
                    std::abs(seconds(loopTo, *arrived)), *arrived < loopTo ? "before" : "after");
    } else {
        std::printf("  new session-user sender, started %.1f s into the loop: no record within "
                    "600 s of the loop's end\n",
                    seconds(loopFrom, started));
    }
    std::printf("  root link's share of a core during the loop: %.1f %%, in the %.0f s after it: "
                "%.1f %%\n",
                share(cpuLoop - cpuFrom, loopFrom, loopTo), seconds(loopTo, afterTo),
                share(cpuAfter - cpuLoop, loopTo, afterTo));
    const auto during = delaysOf(*root.lines, *rootSender.lines, "root", loopFrom, loopTo);
    const auto after = delaysOf(*root.lines, *rootSender.lines, "root", loopTo, afterTo);
    std::printf("  root during: %s\n", describe(during).c_str());
    std::printf("  root after:  %s\n", describe(after).c_str());
    std::fflush(stdout);
}

int senders() {
    newSenderDuring(false, 60s, 1);
    newSenderDuring(true, 20s, 2);
    return 0;
}

int million() {
    constexpr std::size_t kLeft = 1'000'000;
    RootLink root;
    {
        Running leaver(kOtherUser, [&] { return leave(root.id + "_other-", kLeft); });
        if (!leaver.lines->waitFor("left", 600s)) {
            return 1;
        }
    }
    // Names of another queue's inboxes: the kernel drops its reports, and the
    // link lists the folder.
    Running churner(kOtherUser, [&] {
        return plant(root.id + "_Churn", {kSessionUser}, 3600s,
                     std::numeric_limits<std::size_t>::max(), false);
    });
    std::this_thread::sleep_for(5s);
    std::printf("million: %zu names that are no inbox's, and other names created and unlinked "
                "throughout\n",
                namesStartingWith(root.id + "_other-"));
    const std::int64_t cpuFromNs = nowNs();
    const double cpuFrom = root.cpu();
    for (int i = 1; i <= 3; ++i) {
        const std::string label = "new" + std::to_string(i);
        Running newcomer(kSessionUser,
                         [&] { return sender(root.id, "AttendedUi", label, 73ms, 0); });
        newcomer.ready();
        const auto arrived = waitForFirst(*root.lines, label, Clock::now() + 300s);
        const std::int64_t started = firstSent(*newcomer.lines);
        if (arrived) {
            std::printf("  sender %d: first record after %.1f s\n", i, seconds(started, *arrived));
        } else {
            std::printf("  sender %d: no record within 300 s\n", i);
        }
        std::fflush(stdout);
        newcomer.endInput();
        std::this_thread::sleep_for(2s);
    }
    std::printf("  root link's share of a core meanwhile: %.1f %%\n",
                share(root.cpu() - cpuFrom, cpuFromNs, nowNs()));
    std::fflush(stdout);
    return 0;
}

// What the link gives while another user keeps names (colliding or not).
struct KeptNames {
    std::size_t made = 0;
    Delays root;
    // Each new sender's wait for its first record, in order; -1: none within 120 s.
    std::vector<double> newSenders;
    double cpu = 0;
};

KeptNames keptNames(bool colliding) {
    constexpr std::size_t kNames = 40'000;
    RootLink root;
    Running rootSender(0, [&] { return sender(root.id, "ProcessChecker", "root", 73ms, 0); });
    Running keeper(kOtherUser, [&] {
        return keepNames(root.queue, kOtherUser, kNames, colliding, 40s);
    });
    KeptNames figures;
    if (!rootSender.ready() || !keeper.lines->waitFor("ready", 600s)) {
        return figures;
    }
    const std::int64_t from = nowNs();
    const double cpuFrom = root.cpu();
    // Names of another queue's inboxes: the kernel drops its reports, and listings keep
    // starting.
    Running churner(kFirstUser, [&] {
        return plant(root.id + "_Churn", {kSessionUser}, 40s,
                     std::numeric_limits<std::size_t>::max(), false);
    });
    // New session-user senders one after the other from 5 s in to 30 s in, each until its
    // first record arrives (120 s at most).
    std::this_thread::sleep_for(5s);
    for (int i = 1; nowNs() - from < 30'000'000'000; ++i) {
        const std::string label = "new" + std::to_string(i);
        Running newcomer(kSessionUser,
                         [&] { return sender(root.id, "AttendedUi", label, 73ms, 0); });
        newcomer.ready();
        const auto arrived = waitForFirst(*root.lines, label, Clock::now() + 120s);
        figures.newSenders.push_back(arrived ? seconds(firstSent(*newcomer.lines), *arrived) : -1);
        newcomer.endInput();
        if (!arrived) {
            break;
        }
        std::this_thread::sleep_for(500ms);
    }
    std::sort(figures.newSenders.begin(), figures.newSenders.end());
    const auto kept = keeper.lines->waitFor("kept", 600s);
    churner.lines->waitFor("planted", 60s);
    const std::int64_t to = nowNs();
    figures.cpu = share(root.cpu() - cpuFrom, from, to);
    figures.made = kept ? std::stoul(kept->substr(5)) : 0;
    rootSender.endInput();
    waitForArrivals(*root.lines, {rootSender.lines.get()}, Clock::now() + 120s);
    figures.root = delaysOf(*root.lines, *rootSender.lines, "root", from, to);
    return figures;
}

int collisions() {
    const KeptNames random = keptNames(false);
    const KeptNames colliding = keptNames(true);
    const auto most = [](const Delays& delays) { return delays.ms.empty() ? 0 : delays.ms.back(); };
    const auto senders = [](const KeptNames& kept, bool last) {
        return kept.newSenders.empty() ? -1
               : last                  ? kept.newSenders.back()
                                       : median(kept.newSenders);
    };
    std::printf("collisions: 40,000 names of another user's inbox form kept 40 s, other names "
                "churned throughout\n");
    std::printf("  %-34s %12s %12s %8s\n", "", "random", "colliding", "ratio");
    std::printf("  %-34s %12zu %12zu\n", "names made, and again once gone", random.made,
                colliding.made);
    const std::pair<const char*, std::pair<double, double>> rows[] = {
        {"root's records: median, ms", {median(random.root.ms), median(colliding.root.ms)}},
        {"root's records: max, ms", {most(random.root), most(colliding.root)}},
        {"new senders' first record: median, s",
         {senders(random, false), senders(colliding, false)}},
        {"new senders' first record: max, s", {senders(random, true), senders(colliding, true)}},
        {"root link's share of a core, %", {random.cpu, colliding.cpu}},
    };
    for (const auto& [label, figures] : rows) {
        std::printf("  %-34s %12.2f %12.2f %8.2f\n", label, figures.first, figures.second,
                    figures.second / figures.first);
    }
    std::printf("  root's records arrived: %zu of %zu, %zu of %zu; new senders: %zu, %zu (-1: no "
                "first record within 120 s)\n",
                random.root.ms.size(), random.root.sent, colliding.root.ms.size(),
                colliding.root.sent, random.newSenders.size(), colliding.newSenders.size());
    std::fflush(stdout);
    return 0;
}

// A fresh /dev/shm of the process's own (and its children's).
bool ownSharedMemoryFolder() {
    return ::unshare(CLONE_NEWNS) == 0 &&
           ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
           ::mount("tmpfs", interprocess::SharedRecordQueue::kDirectory, "tmpfs",
                   MS_NOSUID | MS_NODEV, "mode=1777,size=4g") == 0;
}

}  // namespace

int runInboxCases(const std::vector<std::string>& cases) {
    if (::geteuid() != 0) {
        std::fprintf(stderr, "the inbox cases run as root: they act as other users\n");
        return 1;
    }
    if (!ownSharedMemoryFolder()) {
        std::perror("a /dev/shm of its own");
        return 1;
    }
    const std::vector<std::pair<std::string, std::function<int()>>> known = {
        {"flood", flood},     {"leftovers", leftovers}, {"users", users},
        {"senders", senders}, {"million", million}, {"collisions", collisions}};
    for (const auto& name : cases) {
        const auto found = std::find_if(known.begin(), known.end(),
                                        [&](const auto& entry) { return entry.first == name; });
        if (found == known.end()) {
            std::fprintf(stderr,
                         "no case '%s' (flood, leftovers, users, senders, million, collisions)\n",
                         name.c_str());
            return 64;
        }
        if (const int status = found->second(); status != 0) {
            std::fprintf(stderr, "the case '%s' failed\n", name.c_str());
            return status;
        }
    }
    return 0;
}

}  // namespace ipcbench
