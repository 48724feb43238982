#include "PrivateSharedMemory.h"

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <sstream>

#include "interprocess/SharedRecordQueue.h"
#include "support/ChildProcess.h"
#include "support/OwnNamespaces.h"

namespace interprocesstest {

namespace {

bool writeWhole(int fd, const std::string& text) {
    return ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
}

}  // namespace

std::optional<Figures> countInPrivateSharedMemory(const std::function<Figures()>& body,
                                                  std::string& problem,
                                                  std::chrono::seconds timeout) {
    int report[2];
    if (::pipe2(report, O_CLOEXEC) != 0) {
        problem = std::string("pipe: ") + std::strerror(errno);
        return std::nullopt;
    }
    // The child writes "!<why>" when it has no folder of its own, else one "<name> <value>" a
    // line; a pipe holds that much before it is read.
    const auto result = testsupport::runInChild(
        [&] {
            std::string why;
            if (!testsupport::enterOwnNamespaces(CLONE_NEWNS, why)) {
                return writeWhole(report[1], "!" + why) ? 2 : 3;
            }
            if (::mount("tmpfs", interprocess::SharedRecordQueue::kDirectory, "tmpfs",
                        MS_NOSUID | MS_NODEV, "mode=1777,size=256m") != 0) {
                why = std::string("mounting a tmpfs: ") + std::strerror(errno);
                return writeWhole(report[1], "!" + why) ? 2 : 3;
            }
            std::ostringstream lines;
            for (const auto& [name, value] : body()) {
                lines << name << ' ' << value << '\n';
            }
            return writeWhole(report[1], lines.str()) ? 0 : 3;
        },
        timeout);
    ::close(report[1]);
    std::string text;
    char buffer[4096];
    for (ssize_t got; (got = ::read(report[0], buffer, sizeof buffer)) > 0;) {
        text.append(buffer, static_cast<std::size_t>(got));
    }
    ::close(report[0]);
    if (!result.exited || result.exitCode != 0) {
        problem = !text.empty() && text[0] == '!' ? text.substr(1)
                  : result.timedOut ? "the child did not end in time"
                                    : "the child failed (" + std::to_string(result.exitCode) + ")";
        return std::nullopt;
    }
    // A name may hold blanks: the value is after the last.
    Figures figures;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        const auto blank = line.rfind(' ');
        if (blank != std::string::npos) {
            figures[line.substr(0, blank)] = std::stoll(line.substr(blank + 1));
        }
    }
    return figures;
}

}  // namespace interprocesstest
