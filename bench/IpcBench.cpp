// Round trips between two processes over the two IPC controllers, next to a
// raw Unix-socket pair and raw POSIX message queues in the same run: the
// median and 99th percentile of one round trip, and the messages per second
// of a burst echoed back whole. The controllers run on the program's real
// scheduler (one task per 10 ms tick); the controller over message queues
// polls its queue every 100 ms.
//
//   ipc-bench                       runs everything and prints the table
//   ipc-bench --echo <kind> <id> <tick ms>     (internal) the echoing peer
//   ipc-bench --measure <kind> <id> <tick ms>  (internal) the measuring peer
//   ipc-bench --inboxes [flood|leftovers|users|senders|million|collisions]...
//                                   a root link's inboxes under other users'
//                                   load (IpcInboxBench.cpp), as root
// <kind> is "sockets" or "queues". The controllers are also measured on a
// 1 ms tick, which shows how much of their figures the tick accounts for.

#include <fcntl.h>
#include <mqueue.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "IpcInboxBench.h"
#include "QtCorePlatform.h"
#include "ToolUsage.h"
#include "common/credentialstorage/ICredentialStorage.h"
#include "common/logging/ILogger.h"
#include "common/taskscheduler/TaskSchedulerMac.h"
#include "interprocess/IpcController.h"
#include "interprocess/KindUsers.h"
#include "interprocess/SharedRecordQueue.h"
#include "interprocess/controller/IpcLocalSocketController.h"
#include "interprocess/controller/LocalSocketPath.h"

namespace {

using Clock = std::chrono::steady_clock;
using helper::ApplicationType;

constexpr std::size_t kMessageBytes = 64;

struct Figures {
    double p50Ms = 0;
    double p99Ms = 0;
    double perSecond = 0;
};

Figures summarise(std::vector<double> roundTripsMs, std::size_t burst, Clock::duration burstTime) {
    std::sort(roundTripsMs.begin(), roundTripsMs.end());
    const auto at = [&](double share) {
        return roundTripsMs[std::min(roundTripsMs.size() - 1,
                                     static_cast<std::size_t>(share * roundTripsMs.size()))];
    };
    return {at(0.5), at(0.99),
            static_cast<double>(burst) / std::chrono::duration<double>(burstTime).count()};
}

double msSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// ---- raw transports: a forked child echoes every message ----

bool readAll(int fd, char* data, std::size_t size) {
    while (size > 0) {
        const ssize_t got = ::read(fd, data, size);
        if (got <= 0) {
            return false;
        }
        data += got;
        size -= static_cast<std::size_t>(got);
    }
    return true;
}

bool writeAll(int fd, const char* data, std::size_t size) {
    while (size > 0) {
        const ssize_t put = ::write(fd, data, size);
        if (put <= 0) {
            return false;
        }
        data += put;
        size -= static_cast<std::size_t>(put);
    }
    return true;
}

Figures unixSocketPair(std::size_t roundTrips, std::size_t burst) {
    int ends[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, ends) != 0) {
        std::perror("socketpair");
        std::exit(1);
    }
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(ends[0]);
        char message[kMessageBytes];
        while (readAll(ends[1], message, sizeof message) &&
               writeAll(ends[1], message, sizeof message)) {
        }
        ::_exit(0);
    }
    ::close(ends[1]);
    const int fd = ends[0];
    char message[kMessageBytes] = "ping";
    std::vector<double> times;
    for (std::size_t i = 0; i < roundTrips; ++i) {
        const auto start = Clock::now();
        writeAll(fd, message, sizeof message);
        readAll(fd, message, sizeof message);
        times.push_back(msSince(start));
    }
    const auto start = Clock::now();
    std::thread writer([&] {
        char out[kMessageBytes] = "burst";
        for (std::size_t i = 0; i < burst; ++i) {
            writeAll(fd, out, sizeof out);
        }
    });
    char in[kMessageBytes];
    for (std::size_t i = 0; i < burst; ++i) {
        readAll(fd, in, sizeof in);
    }
    const auto took = Clock::now() - start;
    writer.join();
    ::close(fd);
    ::waitpid(child, nullptr, 0);
    return summarise(times, burst, took);
}

Figures posixMessageQueues(std::size_t roundTrips, std::size_t burst) {
    const std::string base = "/qvbench-" + std::to_string(::getpid());
    mq_attr attributes{};
    attributes.mq_maxmsg = 10;
    attributes.mq_msgsize = kMessageBytes;
    const mqd_t up =
        ::mq_open((base + "-up").c_str(), O_CREAT | O_EXCL | O_RDWR, 0600, &attributes);
    const mqd_t down =
        ::mq_open((base + "-down").c_str(), O_CREAT | O_EXCL | O_RDWR, 0600, &attributes);
    ::mq_unlink((base + "-up").c_str());
    ::mq_unlink((base + "-down").c_str());
    if (up == static_cast<mqd_t>(-1) || down == static_cast<mqd_t>(-1)) {
        std::perror("mq_open");
        std::exit(1);
    }
    const pid_t child = ::fork();
    char message[kMessageBytes] = "ping";
    if (child == 0) {
        for (;;) {
            const ssize_t got = ::mq_receive(up, message, sizeof message, nullptr);
            if (got <= 0 || std::strcmp(message, "end") == 0) {
                ::_exit(0);
            }
            ::mq_send(down, message, static_cast<std::size_t>(got), 0);
        }
    }
    std::vector<double> times;
    for (std::size_t i = 0; i < roundTrips; ++i) {
        const auto start = Clock::now();
        ::mq_send(up, message, sizeof message, 0);
        ::mq_receive(down, message, sizeof message, nullptr);
        times.push_back(msSince(start));
    }
    const auto start = Clock::now();
    std::thread writer([&] {
        char out[kMessageBytes] = "burst";
        for (std::size_t i = 0; i < burst; ++i) {
            ::mq_send(up, out, sizeof out, 0);
        }
    });
    char in[kMessageBytes];
    for (std::size_t i = 0; i < burst; ++i) {
        ::mq_receive(down, in, sizeof in, nullptr);
    }
    const auto took = Clock::now() - start;
    writer.join();
    std::strcpy(message, "end");
    ::mq_send(up, message, sizeof message, 0);
    ::waitpid(child, nullptr, 0);
    ::mq_close(up);
    ::mq_close(down);
    return summarise(times, burst, took);
}

// ---- the controllers: one process echoes, one measures ----

class NoCredentials : public common::credentialstorage::ICredentialStorage {
public:
    bool store(const std::wstring&, const std::wstring&, const std::wstring&) override {
        return false;
    }
    bool load(const std::wstring&, std::wstring&, std::wstring&) override { return false; }
};

constexpr std::size_t kWarmUp = 5;

// The measuring side's observer: one message at a time for the round trips,
// then a burst sent in one go.
class Measure : public interprocess::IIpcControllerClient {
public:
    Measure(interprocess::IIpcController& controller, common::ITaskScheduler& scheduler,
            std::size_t roundTrips, std::size_t burst)
        : controller_(controller), scheduler_(scheduler), roundTrips_(roundTrips), burst_(burst) {}

    void onIpcReady(const std::string) override {}
    void onParticipantConnected(const std::string) override {
        if (!started_) {
            started_ = true;
            next();
        }
    }
    void onParticipantDisconnected(const std::string) override {}
    void onSyncMessageReceived(const ApplicationType, const std::string) override {}
    void onMessageReceived(const ApplicationType, const std::string) override {
        if (sent_ <= kWarmUp + roundTrips_) {
            if (sent_ > kWarmUp) {
                times_.push_back(msSince(sentAt_));
            }
            next();
            return;
        }
        if (++echoed_ == burst_) {
            const Figures figures = summarise(times_, burst_, Clock::now() - burstStart_);
            std::printf("%f %f %f\n", figures.p50Ms, figures.p99Ms, figures.perSecond);
            std::fflush(stdout);
            scheduler_.stop();
        }
    }

private:
    void next() {
        const std::string text = "{\"n\":" + std::to_string(sent_) + "}";
        ++sent_;
        if (sent_ <= kWarmUp + roundTrips_) {
            sentAt_ = Clock::now();
            controller_.send(ApplicationType::Unattended, text);
            return;
        }
        burstStart_ = Clock::now();
        for (std::size_t i = 0; i < burst_; ++i) {
            controller_.send(ApplicationType::Unattended, "{\"burst\":" + std::to_string(i) + "}");
        }
    }

    interprocess::IIpcController& controller_;
    common::ITaskScheduler& scheduler_;
    std::size_t roundTrips_;
    std::size_t burst_;
    bool started_ = false;
    std::size_t sent_ = 0;
    std::size_t echoed_ = 0;
    Clock::time_point sentAt_;
    Clock::time_point burstStart_;
    std::vector<double> times_;
};

// The echoing side's observer.
class Echo : public interprocess::IIpcControllerClient {
public:
    explicit Echo(interprocess::IIpcController& controller) : controller_(controller) {}
    void onIpcReady(const std::string) override {
        std::printf("ready\n");
        std::fflush(stdout);
    }
    void onParticipantConnected(const std::string) override {}
    void onParticipantDisconnected(const std::string) override {}
    void onSyncMessageReceived(const ApplicationType, const std::string) override {}
    void onMessageReceived(const ApplicationType from, const std::string json) override {
        controller_.send(from, json);
    }

private:
    interprocess::IIpcController& controller_;
};

// One side of a controller pair, until its standard input ends (echo) or the
// figures are printed (measure); at most a minute either way.
int runPeer(bool echo, const std::string& kind, const std::string& id, int tickMs) {
    const bool sockets = kind == "sockets";
    const std::string name = echo ? "Unattended" : "UnattendedUi";
    auto scheduler = common::TaskSchedulerMac::create(std::chrono::milliseconds(tickMs),
                                                      common::createLogger("TaskScheduler"));
    NoCredentials credentials;
    std::unique_ptr<QtCorePlatform> platform;
    std::unique_ptr<interprocess::IIpcController> controller;
    if (sockets) {
        platform = QtCorePlatform::create(*scheduler, &credentials, "ipc-bench");
        controller = std::make_unique<interprocess::IpcLocalSocketController>(
            name, id, *scheduler, platform.get(), common::createLogger("IpcLocalSocketController"));
    } else {
        controller = std::make_unique<interprocess::IpcController>(
            name, id, *scheduler, common::createLogger("IpcController"));
    }
    Echo echoing(*controller);
    Measure measuring(*controller, *scheduler, sockets ? 300 : 60, sockets ? 300 : 50);
    controller->addObserver(echo ? static_cast<interprocess::IIpcControllerClient*>(&echoing)
                                 : &measuring);
    auto queue = scheduler->createQueue("Bench");
    queue->push([&](bool&, unsigned long) {
        if (!controller->start()) {
            std::fprintf(stderr, "%s: cannot start\n", name.c_str());
            scheduler->stop();
        } else if (!echo) {
            controller->connectToService("Unattended", [](bool) {});
        }
    });
    queue->push([&](bool&, unsigned long) { scheduler->stop(); }, std::chrono::minutes(1));
    std::thread reader;
    if (echo) {
        reader = std::thread([&] {
            std::string line;
            while (std::getline(std::cin, line)) {
            }
            scheduler->stop();
        });
    }
    scheduler->run();
    controller->stop();
    controller.reset();
    platform.reset();
    if (reader.joinable()) {
        reader.detach();
    }
    std::_Exit(0);
}

struct Child {
    pid_t pid;
    int input;
    FILE* output;
};

Child spawn(const std::string& role, const std::string& kind, const std::string& id, int tickMs) {
    int toChild[2];
    int fromChild[2];
    if (::pipe2(toChild, O_CLOEXEC) != 0 || ::pipe2(fromChild, O_CLOEXEC) != 0) {
        std::perror("pipe");
        std::exit(1);
    }
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(toChild[0], STDIN_FILENO);
        ::dup2(fromChild[1], STDOUT_FILENO);
        const std::string tick = std::to_string(tickMs);
        ::execl("/proc/self/exe", "ipc-bench", role.c_str(), kind.c_str(), id.c_str(), tick.c_str(),
                static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ::close(toChild[0]);
    ::close(fromChild[1]);
    return {pid, toChild[1], ::fdopen(fromChild[0], "r")};
}

std::string readLine(FILE* from) {
    char line[256] = {};
    return std::fgets(line, sizeof line, from) != nullptr ? line : "";
}

void finish(Child& child) {
    ::close(child.input);
    std::fclose(child.output);
    ::waitpid(child.pid, nullptr, 0);
}

Figures controllers(const std::string& kind, int tickMs) {
    const std::string id = "bench" + std::to_string(::getpid()) + kind + std::to_string(tickMs);
    Child echo = spawn("--echo", kind, id, tickMs);
    if (readLine(echo.output) != "ready\n") {
        std::fprintf(stderr, "the echoing %s peer did not start\n", kind.c_str());
        std::exit(1);
    }
    Child measure = spawn("--measure", kind, id, tickMs);
    Figures figures;
    // The figures are the line of three numbers; a client socket of the Qt
    // platform announces itself on the same output.
    for (std::string line = readLine(measure.output);
         std::sscanf(line.c_str(), "%lf %lf %lf", &figures.p50Ms, &figures.p99Ms,
                     &figures.perSecond) != 3;
         line = readLine(measure.output)) {
        if (line.empty()) {
            std::fprintf(stderr, "the measuring %s peer gave no figures\n", kind.c_str());
            break;
        }
    }
    finish(measure);
    finish(echo);
    // Left by a peer that did not end in order: only sockets of our own.
    for (const char* type : {"Unattended", "UnattendedUi"}) {
        const std::string path = interprocess::LocalSocketPath::forName(
            interprocess::KindUsers::ownName(type, ::geteuid()), id);
        struct stat status {};
        if (::lstat(path.c_str(), &status) == 0 && S_ISSOCK(status.st_mode) &&
            status.st_uid == ::geteuid()) {
            ::unlink(path.c_str());
        }
    }
    // A queue keeps what waits in it for a later process of its kind, so the
    // pair leaves theirs behind: ours, named after this run, go.
    for (const std::string& name : interprocess::SharedRecordQueue::namesStartingWith(id + "_")) {
        if (interprocess::SharedRecordQueue::ownerOf(name) == ::geteuid()) {
            interprocess::SharedRecordQueue::remove(name);
        }
    }
    return figures;
}

void row(const char* name, const Figures& figures) {
    std::printf("%-34s %10.3f %10.3f %12.0f\n", name, figures.p50Ms, figures.p99Ms,
                figures.perSecond);
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
    const toolsupport::ToolUsage usage(
        argc > 0 ? argv[0] : "ipc-bench", "",
        "Measures 64-byte round trips between two processes over a raw Unix-socket pair, raw\n"
        "POSIX message queues and both IPC controllers, and prints the table.\n"
        "With --inboxes [flood|leftovers|users|senders|million|collisions]... (as root),\n"
        "measures instead a root link's inboxes while other users load them (every case\n"
        "by default).\n"
        "Exit status: 0 measured; 1 --inboxes not run as root, or a case could not run;\n"
        "64 a wrong command line or an unknown case.\n");
    if (usage.helpRequested(argc, argv)) {
        return 0;
    }
    std::signal(SIGPIPE, SIG_IGN);
    if (argc > 1 && std::string(argv[1]) == "--inboxes") {
        std::vector<std::string> cases(argv + 2, argv + argc);
        if (cases.empty()) {
            cases = {"flood", "leftovers", "users", "senders", "million", "collisions"};
        }
        return ipcbench::runInboxCases(cases);
    }
    if (argc > 1) {
        const std::string role = argv[1];
        if (role != "--echo" && role != "--measure") {
            return usage.refuse("unexpected argument '" + role + "'");
        }
        const std::string kind = argc > 2 ? argv[2] : "";
        const int tickMs = argc == 5 ? std::atoi(argv[4]) : 0;
        if (argc != 5 || (kind != "sockets" && kind != "queues") || tickMs <= 0) {
            return usage.refuse(role + " takes <sockets|queues> <id> <tick ms>");
        }
        return runPeer(role == "--echo", kind, argv[3], tickMs);
    }
    std::printf("%-34s %10s %10s %12s\n", "64-byte messages, two processes", "p50 ms", "p99 ms",
                "messages/s");
    row("raw Unix socket pair", unixSocketPair(20000, 200000));
    row("raw POSIX message queues", posixMessageQueues(20000, 200000));
    row("IpcLocalSocketController", controllers("sockets", 10));
    row("  the same on a 1 ms tick", controllers("sockets", 1));
    row("IpcController (message queues)", controllers("queues", 10));
    row("  the same on a 1 ms tick", controllers("queues", 1));
    return 0;
}
