// Wall time and peak memory of the package download, next to curl on the
// same body in the same run.
//
//   http-download-bench [PACKAGE_MIB] [TEXT_MIB] [ROUNDS]   (200, 100, 3)
//
// A local web server (the test support's Python server) serves two bodies
// from 127.0.0.1: a package of random bytes and a body of random bytes
// without NUL. Each way of fetching runs in a process of its own, so that its
// peak resident memory is its own:
//   - "curl -o + sync": curl writes the package to a file, which is then
//     synced to disk;
//   - "downloader": the installer's downloader fetches the package into its
//     folder (the query holding the body, the file written from it);
//   - "curl -o": curl writes the second body to a file;
//   - "execute, text unread": a query's execute holds the second body, which
//     is dropped after the finished handler without its text being read;
//   - "curl -o, package": curl writes the package to a file;
//   - "execute, length", "execute, chunked", "execute, close": a query's
//     execute holds the package, sent with its length, in chunks without a
//     length, and without a length ended by the close of the connection.
// A time runs from the start of the fetch to its end (the downloader's
// callback, the finished handler, the sync). Each line gives the medians of
// the rounds; the ratio is the wall time over that of the curl line above it,
// and the peak is also given as a multiple of the body's size.
// Sizes: MiB = 2^20 bytes; MB/s = 10^6 bytes a second.
//
//   http-download-bench --error-bodies [--qtp-get PATH]... [BODY_MIB] [ROUNDS]   (300, 3)
//
// instead measures qtp-get (the one built beside the bench, or each one
// given, say a build from before a change next to the one after it) on
// answers whose body is not kept: a 401 and a 407 (to standard output and
// with -o), a 404 with -o, and a 302 whose body is dropped before the
// redirect is followed to a 200 of 1 KiB (to standard output and with -o).
// Each answer comes with a body of 1 KiB and of BODY_MIB MiB from a small
// server of the bench's own; every qtp-get runs as a process of its own, all
// of them interleaved round by round. Printed are the medians of the peak
// memory for both sizes, their ratio, the exit statuses and the time of the
// large one.

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <random>
#include <string>
#include <vector>

#include "ToolUsage.h"
#include "RandomFile.h"
#include "Downloader.h"
#include "IHttpQuery.h"
#include "QtCorePlatform.h"
#include "common/credentialstorage/CredentialStorage.h"
#include "common/logging/ILogger.h"
#include "common/taskscheduler/TaskSchedulerMac.h"
#include "StatusBodyServer.h"
#include "ToolRun.h"
#include "support/ScriptServer.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

struct Round {
    bool ok = false;
    double seconds = 0;
    long peakKiB = 0;
};

std::uintmax_t sizeOf(const std::string& path) {
    std::error_code error;
    const auto size = std::filesystem::file_size(path, error);
    return error ? 0 : size;
}

bool syncFile(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    const bool synced = ::fsync(fd) == 0;
    ::close(fd);
    return synced;
}

// Runs `fetch` in a child process, which reports its seconds through a pipe
// and exits 0 on success; the child's peak memory comes from wait4.
template <class Fetch>
Round inChild(Fetch fetch) {
    int ends[2];
    if (::pipe(ends) != 0) {
        return {};
    }
    std::fflush(nullptr);
    const pid_t pid = ::fork();
    if (pid == 0) {
        // As the installer does at start.
        common::Downloader::keepLargeBlocksOffTheHeap();
        ::close(ends[0]);
        double seconds = 0;
        const bool ok = fetch(seconds);
        [[maybe_unused]] const auto written = ::write(ends[1], &seconds, sizeof seconds);
        std::_Exit(ok ? 0 : 1);
    }
    ::close(ends[1]);
    double seconds = 0;
    const bool reported = ::read(ends[0], &seconds, sizeof seconds) == sizeof seconds;
    ::close(ends[0]);
    int status = 0;
    rusage usage{};
    ::wait4(pid, &status, 0, &usage);
    return {reported && WIFEXITED(status) && WEXITSTATUS(status) == 0, seconds, usage.ru_maxrss};
}

// The platform and scheduler of a child that fetches through the Qt layer.
struct QtSide {
    std::shared_ptr<common::TaskSchedulerMac> scheduler = common::TaskSchedulerMac::create(
        std::chrono::milliseconds(10), common::createLogger("TaskScheduler"));
    common::credentialstorage::CredentialStorage storage;
    std::unique_ptr<QtCorePlatform> platform =
        QtCorePlatform::create(*scheduler, &storage, "http-download-bench");
};

bool fetchWithDownloader(const std::string& url, const std::string& folder, std::uintmax_t expected,
                         double& seconds) {
    QtSide side;
    auto downloader =
        common::Downloader::create(side.platform.get(), side.scheduler->createQueue("Downloader"),
                                   common::createLogger("Downloader"));
    bool ok = false;
    Clock::time_point end;
    const auto start = Clock::now();
    downloader->download(
        url, folder,
        [&](bool success, const boost::filesystem::path& file) {
            ok = success && sizeOf(file.string()) == expected;
            end = Clock::now();
            side.scheduler->stop();
        },
        common::Downloader::kRetries);
    side.scheduler->run();
    seconds = std::chrono::duration<double>(end - start).count();
    downloader.reset();
    side.platform.reset();
    return ok;
}

bool fetchWithExecute(const std::string& url, std::uintmax_t expected, double& seconds) {
    QtSide side;
    auto query = side.platform->createQuery();
    if (!query) {
        // The Qt thread did not start: nothing can be fetched.
        return false;
    }
    bool ok = false;
    Clock::time_point end;
    query->setFinishedHandler([&](bool success) {
        ok = success && query->getResponseData().size() == expected;
        end = Clock::now();
        side.scheduler->stop();
    });
    query->setUrl(url);
    const auto start = Clock::now();
    query->execute();
    side.scheduler->run();
    seconds = std::chrono::duration<double>(end - start).count();
    query.reset();
    side.platform.reset();
    return ok;
}

Round runCurl(const std::string& url, const std::string& target, std::uintmax_t expected,
              bool sync) {
    std::vector<std::string> words{"curl", "-s", "-o", target, url};
    std::vector<char*> argv;
    for (auto& word : words) {
        argv.push_back(word.data());
    }
    argv.push_back(nullptr);
    const auto start = Clock::now();
    pid_t pid = -1;
    if (::posix_spawnp(&pid, "curl", nullptr, nullptr, argv.data(), environ) != 0) {
        return {};
    }
    int status = 0;
    rusage usage{};
    ::wait4(pid, &status, 0, &usage);
    const bool synced = !sync || syncFile(target);
    Round round;
    round.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    round.ok =
        WIFEXITED(status) && WEXITSTATUS(status) == 0 && synced && sizeOf(target) == expected;
    round.peakKiB = usage.ru_maxrss;
    return round;
}

struct Line {
    const char* name;
    std::vector<Round> rounds;

    bool ok() const {
        return !rounds.empty() &&
               std::all_of(rounds.begin(), rounds.end(), [](const Round& r) { return r.ok; });
    }
    template <class Field>
    double median(Field field) const {
        std::vector<double> values;
        for (const auto& round : rounds) {
            values.push_back(static_cast<double>(field(round)));
        }
        std::sort(values.begin(), values.end());
        const std::size_t n = values.size();
        return n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
    }
    double seconds() const {
        return median([](const Round& r) { return r.seconds; });
    }
    double peakMiB() const {
        return median([](const Round& r) { return r.peakKiB; }) / 1024.0;
    }
};

void print(const Line& line, std::uintmax_t bytes, const Line* reference) {
    if (!line.ok()) {
        std::printf("%-24s  failed\n", line.name);
        return;
    }
    const double mib = static_cast<double>(bytes) / (1024.0 * 1024.0);
    char ratio[32] = "";
    if (reference != nullptr && reference->ok()) {
        std::snprintf(ratio, sizeof ratio, "%.2fx", line.seconds() / reference->seconds());
    }
    std::printf("%-24s %8.0f %9.3f %10.1f %8s %10.1f %8.2fx\n", line.name, mib, line.seconds(),
                static_cast<double>(bytes) / 1e6 / line.seconds(), ratio, line.peakMiB(),
                line.peakMiB() / mib);
}

double medianOf(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    return n == 0 ? 0 : n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

// The exit statuses of the rounds: one number when they agree, else all of them.
std::string statusesOf(const std::vector<Run>& runs) {
    std::string all;
    bool agree = true;
    for (const auto& run : runs) {
        agree = agree && run.exitCode == runs.front().exitCode;
        all += (all.empty() ? "" : ",") + std::to_string(run.exitCode);
    }
    return agree && !runs.empty() ? std::to_string(runs.front().exitCode) : all;
}

// qtp-get on answers whose body is not kept, each with a body of 1 KiB and
// of `mebibytes` MiB; false when a server could not listen or a run did not
// start.
bool measureErrorBodies(const std::vector<std::string>& qtpGets, long mebibytes, int rounds,
                        const std::string& folder) {
    // The redirects lead to a 200 of 1 KiB.
    const StatusBodyServer target(1024);
    const std::string to =
        "http://127.0.0.1:" + std::to_string(target.port()) + "/200/length";
    const StatusBodyServer small(1024, to);
    const StatusBodyServer large(static_cast<std::uint64_t>(mebibytes) << 20, to);
    if (target.port() == 0 || small.port() == 0 || large.port() == 0) {
        std::cerr << "a server could not listen\n";
        return false;
    }
    struct Case {
        const char* name;
        const char* path;
        bool toFile;
    };
    const Case cases[] = {{"401", "/401/length", false},  {"401 -o", "/401/length", true},
                          {"407", "/407/length", false},  {"407 -o", "/407/length", true},
                          {"404 -o", "/404/length", true}, {"302 to a 200", "/302/length", false},
                          {"302 to a 200 -o", "/302/length", true}};
    const std::size_t caseCount = sizeof cases / sizeof cases[0];
    const std::string file = folder + "/error-body.out";
    // [qtp-get][case][size]: the runs of every round.
    std::vector<std::vector<std::vector<Run>>> runs(
        qtpGets.size(), std::vector<std::vector<Run>>(caseCount * 2));
    bool ok = true;
    for (int round = 0; round < rounds; ++round) {
        for (std::size_t client = 0; client < qtpGets.size(); ++client) {
            for (std::size_t c = 0; c < caseCount; ++c) {
                for (const int size : {0, 1}) {
                    const int port = size == 0 ? small.port() : large.port();
                    std::vector<std::string> words{
                        qtpGets[client], "http://127.0.0.1:" + std::to_string(port) + cases[c].path};
                    if (cases[c].toFile) {
                        words.insert(words.end(), {"-o", file});
                    }
                    const Run run = Spawn(words);
                    std::filesystem::remove(file);
                    ok = ok && run.peakKiB > 0;
                    runs[client][c * 2 + size].push_back(run);
                }
            }
        }
    }
    std::printf("qtp-get on answers whose body is not kept, medians of %d interleaved rounds\n",
                rounds);
    for (std::size_t client = 0; client < qtpGets.size(); ++client) {
        std::printf("%c: %s\n", static_cast<char>('A' + client), qtpGets[client].c_str());
    }
    std::printf("%-18s %8s %10s %8s %14s %10s\n", "", "1 KiB", "", "ratio", "exit status",
                "time s");
    std::printf("%-18s %8s %7ld MiB %8s %14s %10s\n", "", "peak MiB", mebibytes, "", "", "");
    for (std::size_t c = 0; c < caseCount; ++c) {
        for (std::size_t client = 0; client < qtpGets.size(); ++client) {
            std::vector<double> peaks[2];
            std::vector<double> seconds;
            for (const int size : {0, 1}) {
                for (const auto& run : runs[client][c * 2 + size]) {
                    peaks[size].push_back(static_cast<double>(run.peakKiB) / 1024.0);
                    if (size == 1) {
                        seconds.push_back(run.seconds);
                    }
                }
            }
            const double low = medianOf(peaks[0]);
            const double high = medianOf(peaks[1]);
            const std::string statuses =
                statusesOf(runs[client][c * 2]) + " / " + statusesOf(runs[client][c * 2 + 1]);
            std::printf("%-15s %c: %8.1f %10.1f %7.2fx %14s %10.2f\n", cases[c].name,
                        static_cast<char>('A' + client), low, high, low > 0 ? high / low : 0.0,
                        statuses.c_str(), medianOf(seconds));
        }
    }
    return ok;
}

// A whole number from 1 to `most`, written in decimal digits; 0 otherwise.
long positiveNumber(const char* text, long most) {
    char* end = nullptr;
    errno = 0;
    const long value = std::isdigit(static_cast<unsigned char>(text[0])) != 0
                           ? std::strtol(text, &end, 10)
                           : 0;
    return end != nullptr && *end == '\0' && errno == 0 && value > 0 && value <= most ? value : 0;
}

}  // namespace

int main(int argc, char** argv) {
    const toolsupport::ToolUsage usage(
        argc > 0 ? argv[0] : "http-download-bench",
        "[PACKAGE_MIB] [TEXT_MIB] [ROUNDS]\n"
        "       http-download-bench --error-bodies [--qtp-get PATH]... [BODY_MIB] [ROUNDS]",
        "Downloads a random package (PACKAGE_MIB, 200 by default) with the installer's\n"
        "downloader and a text (TEXT_MIB, 100) with an HTTP query from a local web server,\n"
        "then the package with an HTTP query sent with its length, in chunks and ended by the\n"
        "close, next to curl, ROUNDS times (3), and prints medians of time, throughput and peak\n"
        "memory.\n"
        "With --error-bodies, instead: the peak memory of qtp-get (the one built here, or each\n"
        "one given) on a 401, a 407, a 404 (-o) and a 302 that is followed, each with a body\n"
        "of 1 KiB and of BODY_MIB MiB (300), to standard output and with -o, ROUNDS times (3).\n"
        "Exit status: 0 every download succeeded (with --error-bodies: every run started);\n"
        "1 one failed; 64 a wrong command line.\n");
    if (usage.helpRequested(argc, argv)) {
        return 0;
    }
    if (argc > 1 && std::string(argv[1]) == "--error-bodies") {
        std::vector<std::string> qtpGets;
        std::vector<long> numbers;
        for (int i = 2; i < argc; ++i) {
            if (std::string(argv[i]) == "--qtp-get") {
                if (i + 1 >= argc) {
                    return usage.refuse("option --qtp-get needs a value");
                }
                qtpGets.push_back(argv[++i]);
            } else if (const long value = positiveNumber(argv[i], 65536);
                       value > 0 && numbers.size() < 2) {
                numbers.push_back(value);
            } else {
                return usage.refuse(std::string("unexpected argument '") + argv[i] + "'");
            }
        }
        if (qtpGets.empty()) {
            qtpGets.push_back(QTP_GET_PATH);
        }
        const long mebibytes = numbers.empty() ? 300 : numbers[0];
        const int rounds = numbers.size() < 2 ? 3 : static_cast<int>(std::min(numbers[1], 1000L));
        for (const char* name : {"http_proxy", "https_proxy", "all_proxy", "auto_proxy"}) {
            ::unsetenv(name);
        }
        char folderTemplate[] = "/tmp/quorvane-bench-XXXXXX";
        if (::mkdtemp(folderTemplate) == nullptr) {
            std::perror("mkdtemp");
            return 1;
        }
        const bool ok = measureErrorBodies(qtpGets, mebibytes, rounds, folderTemplate);
        std::filesystem::remove_all(folderTemplate);
        return ok ? 0 : 1;
    }
    if (argc > 4) {
        return usage.refuse(std::string("unexpected argument '") + argv[4] + "'");
    }
    const char* names[] = {"PACKAGE_MIB", "TEXT_MIB", "ROUNDS"};
    long values[] = {200, 100, 3};
    const long most[] = {65536, 65536, 1000};
    for (int i = 1; i < argc; ++i) {
        values[i - 1] = positiveNumber(argv[i], most[i - 1]);
        if (values[i - 1] == 0) {
            return usage.refuse(std::string(names[i - 1]) + " must be a whole number from 1 to " +
                                std::to_string(most[i - 1]) + ", not '" + argv[i] + "'");
        }
    }
    const long packageMiB = values[0];
    const long textMiB = values[1];
    const int rounds = static_cast<int>(values[2]);
    const std::uintmax_t packageBytes = static_cast<std::uintmax_t>(packageMiB) << 20;
    const std::uintmax_t textBytes = static_cast<std::uintmax_t>(textMiB) << 20;

    char folderTemplate[] = "/tmp/quorvane-bench-XXXXXX";
    if (::mkdtemp(folderTemplate) == nullptr) {
        std::perror("mkdtemp");
        return 1;
    }
    const std::string folder = folderTemplate;
    writeRandomFile(folder + "/package.bin", packageBytes, false);
    writeRandomFile(folder + "/text.bin", textBytes, true);
    int exitCode = 0;
    {
        testsupport::ScriptServer server(
            testsupport::testSupportDirectory() + "/http_test_server.py",
            {"--journal", "/dev/null", "--root", folder});
        if (!server.ready()) {
            std::cerr << "the web server did not start\n";
            std::filesystem::remove_all(folder);
            return 1;
        }
        for (const char* name : {"http_proxy", "https_proxy", "all_proxy", "auto_proxy"}) {
            ::unsetenv(name);
        }
        const std::string root =
            "http://127.0.0.1:" + std::to_string(server.readyNumber("http").value_or(0)) + "/";
        const std::string base = root + "files/";
        const std::string target = folder + "/copy.bin";
        const std::string packageFolder = folder + "/package";

        Line lines[] = {{"curl -o + sync", {}},       {"downloader", {}},
                        {"curl -o", {}},              {"execute, text unread", {}},
                        {"curl -o, package", {}},     {"execute, length", {}},
                        {"execute, chunked", {}},     {"execute, close", {}}};
        const char* framings[] = {"files/", "chunked/", "close/"};
        for (int round = 0; round < rounds; ++round) {
            lines[0].rounds.push_back(runCurl(base + "package.bin", target, packageBytes, true));
            std::filesystem::remove(target);
            std::filesystem::create_directories(packageFolder);
            lines[1].rounds.push_back(inChild([&](double& seconds) {
                return fetchWithDownloader(base + "package.bin", packageFolder, packageBytes,
                                           seconds);
            }));
            std::filesystem::remove_all(packageFolder);
            lines[2].rounds.push_back(runCurl(base + "text.bin", target, textBytes, false));
            std::filesystem::remove(target);
            lines[3].rounds.push_back(inChild([&](double& seconds) {
                return fetchWithExecute(base + "text.bin", textBytes, seconds);
            }));
            lines[4].rounds.push_back(runCurl(base + "package.bin", target, packageBytes, false));
            std::filesystem::remove(target);
            for (int framing = 0; framing < 3; ++framing) {
                lines[5 + framing].rounds.push_back(inChild([&](double& seconds) {
                    return fetchWithExecute(root + framings[framing] + "package.bin",
                                            packageBytes, seconds);
                }));
            }
        }
        std::printf("from 127.0.0.1, medians of %d rounds; MiB = 2^20 bytes, MB = 10^6 bytes\n",
                    rounds);
        std::printf("%-24s %8s %9s %10s %8s %10s %9s\n", "", "body MiB", "time s", "MB/s", "ratio",
                    "peak MiB", "peak/body");
        print(lines[0], packageBytes, nullptr);
        print(lines[1], packageBytes, &lines[0]);
        print(lines[2], textBytes, nullptr);
        print(lines[3], textBytes, &lines[2]);
        print(lines[4], packageBytes, nullptr);
        for (int framing = 0; framing < 3; ++framing) {
            print(lines[5 + framing], packageBytes, &lines[4]);
        }
        exitCode = std::all_of(std::begin(lines), std::end(lines),
                               [](const Line& line) { return line.ok(); })
                       ? 0
                       : 1;
    }
    std::filesystem::remove_all(folder);
    return exitCode;
}
