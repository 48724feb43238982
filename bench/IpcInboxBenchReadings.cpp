#include "IpcInboxBenchReadings.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "interprocess/SharedRecordQueue.h"

namespace ipcbench {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

double cpuSeconds(pid_t pid) {
    std::ifstream file("/proc/" + std::to_string(pid) + "/stat");
    std::string stat((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    std::istringstream fields(stat.substr(stat.rfind(')') + 2));
    std::string field;
    double ticks = 0;
    // After the name: state is field 3; utime and stime are fields 14 and 15.
    for (int number = 3; number <= 15 && fields >> field; ++number) {
        if (number >= 14) {
            ticks += std::stod(field);
        }
    }
    return ticks / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

std::size_t inboxDescriptors(pid_t pid) {
    std::size_t held = 0;
    const std::string folder = "/proc/" + std::to_string(pid) + "/fd";
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(folder, error)) {
        const auto target = std::filesystem::read_symlink(entry.path(), error).string();
        if (target.rfind("/dev/shm/", 0) == 0 && target.find('~') != std::string::npos) {
            ++held;
        }
    }
    return held;
}

std::size_t namesStartingWith(const std::string& prefix) {
    return interprocess::SharedRecordQueue::namesStartingWith(prefix).size();
}

Delays delaysOf(const ChildLines& root, const ChildLines& sender, const std::string& label,
                std::int64_t from, std::int64_t to) {
    Delays delays;
    for (const auto& line : sender.all()) {
        std::istringstream words(line);
        std::string verb, of;
        std::int64_t at = 0;
        int ok = 0;
        if (words >> verb >> of >> at >> ok && verb == "sent" && of == label && at >= from &&
            at < to) {
            ++delays.sent;
            delays.failed += ok ? 0 : 1;
        }
    }
    for (const auto& line : root.all()) {
        std::istringstream words(line);
        std::string of;
        std::int64_t at = 0;
        std::int64_t arrived = 0;
        if (words >> of >> at >> arrived && of == label && at >= from && at < to) {
            delays.ms.push_back(static_cast<double>(arrived - at) / 1e6);
        }
    }
    std::sort(delays.ms.begin(), delays.ms.end());
    return delays;
}

double median(const std::vector<double>& sorted) {
    return sorted.empty() ? 0 : sorted[sorted.size() / 2];
}

std::string describe(const Delays& delays) {
    char text[160];
    std::snprintf(text, sizeof text,
                  "%4zu sent, %4zu refused to the sender, %4zu arrived: median %8.1f ms, max %8.1f ms",
                  delays.sent, delays.failed, delays.ms.size(), median(delays.ms),
                  delays.ms.empty() ? 0.0 : delays.ms.back());
    return text;
}

void waitForArrivals(const ChildLines& root, const std::vector<const ChildLines*>& senders,
                     Clock::time_point until) {
    while (Clock::now() < until) {
        std::size_t sent = 0;
        for (const auto* lines : senders) {
            for (const auto& line : lines->all()) {
                sent += line.rfind("sent ", 0) == 0 && line.back() == '1' ? 1 : 0;
            }
        }
        if (root.all().size() >= sent + 1) {  // and "ready"
            return;
        }
        std::this_thread::sleep_for(100ms);
    }
}

std::optional<std::pair<std::int64_t, std::int64_t>> firstArrival(const ChildLines& root,
                                                                  const std::string& label) {
    std::optional<std::pair<std::int64_t, std::int64_t>> first;
    for (const auto& line : root.all()) {
        std::istringstream words(line);
        std::string of;
        std::int64_t at = 0;
        std::int64_t arrived = 0;
        if (words >> of >> at >> arrived && of == label && (!first || arrived < first->second)) {
            first = std::pair{at, arrived};
        }
    }
    return first;
}

std::int64_t firstSent(const ChildLines& lines) {
    for (const auto& line : lines.all()) {
        std::istringstream words(line);
        std::string verb, of;
        std::int64_t at = 0;
        if (words >> verb >> of >> at && verb == "sent") {
            return at;
        }
    }
    return 0;
}

std::optional<std::int64_t> waitForFirst(const ChildLines& root, const std::string& label,
                                         Clock::time_point until) {
    for (;; std::this_thread::sleep_for(50ms)) {
        if (const auto first = firstArrival(root, label)) {
            return first->second;
        }
        if (Clock::now() >= until) {
            return std::nullopt;
        }
    }
}

double seconds(std::int64_t fromNs, std::int64_t toNs) {
    return static_cast<double>(toNs - fromNs) / 1e9;
}

double share(double cpu, std::int64_t fromNs, std::int64_t toNs) {
    return 100.0 * cpu / (static_cast<double>(toNs - fromNs) / 1e9);
}

}  // namespace ipcbench
