// Throughput and peak memory of a large download through an HTTP query, next
// to curl on the same file in the same run.
//
//   http-download-bench [MEGABYTES] [ROUNDS]     (default 200 MB, 3 rounds)
//
// A local web server (the test support's Python server) serves a file of
// random bytes from 127.0.0.1. Each way of fetching runs in a process of its
// own, so that its peak resident memory is its own: "curl -o", a query's
// execute (the body in memory) and a query's downloadFile (the body on disk).
// The time of a query runs from the start call to its finished handler; curl's
// is its own total time. The best round of each is printed.

#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <random>
#include <string>
#include <vector>

#include "IHttpQuery.h"
#include "QtCorePlatform.h"
#include "common/credentialstorage/CredentialStorage.h"
#include "common/logging/ILogger.h"
#include "common/taskscheduler/TaskSchedulerMac.h"
#include "support/ScriptServer.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

struct Result {
    bool ok = false;
    double seconds = 0;
    long peakKiB = 0;
};

void writeRandomFile(const std::string& path, std::size_t size) {
    std::mt19937_64 random(42);
    std::vector<std::uint64_t> block(1 << 17);
    std::ofstream out(path, std::ios::binary);
    while (size > 0) {
        for (auto& word : block) {
            word = random();
        }
        const std::size_t bytes = std::min(size, block.size() * sizeof(std::uint64_t));
        out.write(reinterpret_cast<const char*>(block.data()), static_cast<std::streamsize>(bytes));
        size -= bytes;
    }
}

std::uintmax_t sizeOf(const std::string& path) {
    std::error_code error;
    const auto size = std::filesystem::file_size(path, error);
    return error ? 0 : size;
}

// Fetches `url` through a query in this (child) process; writes the seconds
// from the start to the finished handler to `report`. Exit code 0 when the
// body (in memory or in `target`) has `expected` bytes.
int fetchWithQuery(const std::string& url, const std::string& target, bool toFile,
                   std::uintmax_t expected, int report) {
    auto scheduler = common::TaskSchedulerMac::create(std::chrono::milliseconds(10),
                                                      common::createLogger("TaskScheduler"));
    common::credentialstorage::CredentialStorage storage;
    auto platform = QtCorePlatform::create(*scheduler, &storage, "http-download-bench");
    auto query = platform->createQuery();
    bool success = false;
    Clock::time_point end;
    query->setFinishedHandler([&](bool ok) {
        end = Clock::now();
        success = ok;
        scheduler->stop();
    });
    query->setUrl(url);
    const auto start = Clock::now();
    if (toFile) {
        query->downloadFile(target);
    } else {
        query->execute();
    }
    scheduler->run();
    const double seconds = std::chrono::duration<double>(end - start).count();
    const std::uintmax_t got = toFile ? sizeOf(target) : query->getResponseData().size();
    query.reset();
    platform.reset();
    [[maybe_unused]] const auto written = ::write(report, &seconds, sizeof seconds);
    return success && got == expected ? 0 : 1;
}

Result runQueryInChild(const std::string& url, const std::string& target, bool toFile,
                       std::uintmax_t expected) {
    int ends[2];
    if (::pipe(ends) != 0) {
        return {};
    }
    std::fflush(nullptr);
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::close(ends[0]);
        std::_Exit(fetchWithQuery(url, target, toFile, expected, ends[1]));
    }
    ::close(ends[1]);
    Result result;
    double seconds = 0;
    const bool reported = ::read(ends[0], &seconds, sizeof seconds) == sizeof seconds;
    ::close(ends[0]);
    int status = 0;
    rusage usage{};
    ::wait4(pid, &status, 0, &usage);
    result.ok = reported && WIFEXITED(status) && WEXITSTATUS(status) == 0;
    result.seconds = seconds;
    result.peakKiB = usage.ru_maxrss;
    return result;
}

Result runCurl(const std::string& url, const std::string& target, std::uintmax_t expected) {
    int ends[2];
    if (::pipe(ends) != 0) {
        return {};
    }
    std::vector<std::string> words{"curl", "-s", "-o", target, "-w", "%{time_total}", url};
    std::vector<char*> argv;
    for (auto& word : words) {
        argv.push_back(word.data());
    }
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, ends[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, ends[0]);
    pid_t pid = -1;
    const int spawned = ::posix_spawnp(&pid, "curl", &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(ends[1]);
    if (spawned != 0) {
        ::close(ends[0]);
        return {};
    }
    std::string text;
    char buffer[64];
    for (ssize_t got; (got = ::read(ends[0], buffer, sizeof buffer)) > 0;) {
        text.append(buffer, static_cast<std::size_t>(got));
    }
    ::close(ends[0]);
    int status = 0;
    rusage usage{};
    ::wait4(pid, &status, 0, &usage);
    Result result;
    result.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0 && sizeOf(target) == expected;
    result.seconds = std::atof(text.c_str());
    result.peakKiB = usage.ru_maxrss;
    return result;
}

void print(const char* name, const Result& best, std::uintmax_t bytes) {
    if (!best.ok) {
        std::printf("%-22s  failed\n", name);
        return;
    }
    std::printf("%-22s %9.3f s %10.1f MB/s %10.1f MB\n", name, best.seconds,
                static_cast<double>(bytes) / 1e6 / best.seconds,
                static_cast<double>(best.peakKiB) / 1024.0);
}

}  // namespace

int main(int argc, char** argv) {
    const long megabytes = argc > 1 ? std::atol(argv[1]) : 200;
    const int rounds = argc > 2 ? std::atoi(argv[2]) : 3;
    if (megabytes <= 0 || rounds <= 0) {
        std::cerr << "usage: " << argv[0] << " [MEGABYTES] [ROUNDS]\n";
        return 2;
    }
    const std::uintmax_t bytes = static_cast<std::uintmax_t>(megabytes) * 1024 * 1024;

    char folderTemplate[] = "/tmp/quorvane-bench-XXXXXX";
    if (::mkdtemp(folderTemplate) == nullptr) {
        std::perror("mkdtemp");
        return 1;
    }
    const std::string folder = folderTemplate;
    const std::string source = folder + "/payload.bin";
    writeRandomFile(source, bytes);
    int exitCode = 0;
    {
        testsupport::ScriptServer server(
            testsupport::testSupportDirectory() + "/http_test_server.py",
            {"--journal", folder + "/journal.jsonl", "--root", folder});
        if (!server.ready()) {
            std::cerr << "the web server did not start\n";
            std::filesystem::remove_all(folder);
            return 1;
        }
        ::unsetenv("http_proxy");
        ::unsetenv("https_proxy");
        ::unsetenv("all_proxy");
        ::unsetenv("auto_proxy");
        const std::string url =
            "http://127.0.0.1:" + std::to_string(server.readyNumber("http").value_or(0)) +
            "/files/payload.bin";
        const std::string target = folder + "/copy.bin";

        Result best[3];
        auto keep = [](Result& best, const Result& round) {
            if (round.ok && (!best.ok || round.seconds < best.seconds)) {
                best.seconds = round.seconds;
                best.ok = true;
            }
            best.peakKiB = std::max(best.peakKiB, round.peakKiB);
        };
        for (int round = 0; round < rounds; ++round) {
            keep(best[0], runCurl(url, target, bytes));
            std::filesystem::remove(target);
            keep(best[1], runQueryInChild(url, target, false, bytes));
            keep(best[2], runQueryInChild(url, target, true, bytes));
            std::filesystem::remove(target);
        }
        std::printf("%ld MB from 127.0.0.1, best of %d rounds (peak: highest of the rounds)\n",
                    megabytes, rounds);
        std::printf("%-22s %11s %15s %13s\n", "", "time", "throughput", "peak RSS");
        print("curl -o", best[0], bytes);
        print("query execute", best[1], bytes);
        print("query downloadFile", best[2], bytes);
        exitCode = best[0].ok && best[1].ok && best[2].ok ? 0 : 1;
    }
    std::filesystem::remove_all(folder);
    return exitCode;
}
