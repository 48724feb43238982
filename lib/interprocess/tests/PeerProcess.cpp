#include "PeerProcess.h"

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>
#include <thread>
#include <utility>

#include "common/utils/RandomString.h"
#include "interprocess/DataLink.h"
#include "interprocess/KindUsers.h"
#include "interprocess/SharedRecordQueue.h"

namespace interprocesstest {

namespace {

constexpr std::chrono::seconds kExitGrace(5);

// Waits for the child at most `timeout`; true when it was reaped.
bool reap(pid_t pid, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        int status = 0;
        const pid_t done = ::waitpid(pid, &status, WNOHANG);
        if (done == pid || (done < 0 && errno != EINTR)) {
            return true;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

}  // namespace

PeerProcess::PeerProcess(std::optional<uid_t> user) {
    int toChild[2];
    int fromChild[2];
    if (::pipe2(toChild, O_CLOEXEC) != 0 || ::pipe2(fromChild, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe");
    }
    // Opened here, so that another user runs it wherever the build lies.
    const int program = ::open(QUORVANE_IPC_PEER, O_RDONLY | O_CLOEXEC);
    if (program < 0) {
        throw std::runtime_error("open " QUORVANE_IPC_PEER);
    }
    pid_ = ::fork();
    if (pid_ < 0) {
        throw std::runtime_error("fork");
    }
    if (pid_ == 0) {
        ::dup2(toChild[0], STDIN_FILENO);
        ::dup2(fromChild[1], STDOUT_FILENO);
        if (user && (::chdir("/") != 0 || ::setgroups(0, nullptr) != 0 || ::setgid(*user) != 0 ||
                     ::setuid(*user) != 0)) {
            ::_exit(126);
        }
        char* const arguments[] = {const_cast<char*>(QUORVANE_IPC_PEER), nullptr};
        ::fexecve(program, arguments, environ);
        ::_exit(127);
    }
    ::close(program);
    ::close(toChild[0]);
    ::close(fromChild[1]);
    input_ = toChild[1];
    output_ = fromChild[0];
}

PeerProcess::~PeerProcess() {
    ::close(input_);
    if (pid_ > 0) {
        ::kill(pid_, SIGCONT);
        if (!reap(pid_, kExitGrace)) {
            kill();
        }
    }
    ::close(output_);
}

void PeerProcess::command(const std::string& line) {
    const std::string text = line + "\n";
    if (::write(input_, text.data(), text.size()) != static_cast<ssize_t>(text.size())) {
        throw std::runtime_error("peer input closed");
    }
}

std::optional<std::string> PeerProcess::waitFor(const std::string& prefix,
                                                std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (auto line = nextLine(deadline)) {
        if (line->rfind(prefix, 0) == 0) {
            return line;
        }
        seen.push_back(*line);
    }
    return std::nullopt;
}

std::optional<std::string> PeerProcess::nextLine(std::chrono::steady_clock::time_point deadline) {
    for (;;) {
        const auto end = buffer_.find('\n');
        if (end != std::string::npos) {
            std::string line = buffer_.substr(0, end);
            buffer_.erase(0, end + 1);
            return line;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            return std::nullopt;
        }
        pollfd ready{output_, POLLIN, 0};
        if (::poll(&ready, 1, static_cast<int>(left.count())) <= 0) {
            continue;
        }
        char chunk[4096];
        const ssize_t got = ::read(output_, chunk, sizeof chunk);
        if (got <= 0) {
            return std::nullopt;
        }
        buffer_.append(chunk, static_cast<std::size_t>(got));
    }
}

void PeerProcess::signal(int number) { ::kill(pid_, number); }

void PeerProcess::kill() {
    if (pid_ > 0) {
        ::kill(pid_, SIGKILL);
        reap(std::exchange(pid_, -1), kExitGrace);
    }
}

QueueNames::QueueNames()
    : prefix_("qvt" + std::to_string(::getpid()) + "-" +
              common::randomString(8, common::kAlphanumericAlphabet)) {}

namespace {

// Removes the shared object `name`, or the folder of that name and what is
// in it, as a test's attacker may have left.
void removeObject(const std::string& name) {
    if (interprocess::SharedRecordQueue::remove(name)) {
        return;
    }
    const std::string folder = std::string(interprocess::SharedRecordQueue::kDirectory) + "/" + name;
    if (DIR* entries = ::opendir(folder.c_str())) {
        while (const dirent* entry = ::readdir(entries)) {
            ::unlinkat(::dirfd(entries), entry->d_name, 0);
        }
        ::closedir(entries);
        ::rmdir(folder.c_str());
    }
}

}  // namespace

QueueNames::~QueueNames() {
    for (const auto& name : queues_) {
        removeObject(name);
    }
    // And whatever else was made under the test's ids: inboxes, what was
    // planted or moved aside.
    for (const auto& name : interprocess::SharedRecordQueue::namesStartingWith(prefix_ + "_")) {
        removeObject(name);
    }
}

std::string QueueNames::queue(const std::string& name) {
    queues_.push_back(interprocess::DataLink::queueName(
        prefix_, interprocess::KindUsers::peerName(name, ::geteuid())));
    return queues_.back();
}

std::string QueueNames::queueOf(const std::string& name, uid_t user) {
    queues_.push_back(interprocess::DataLink::queueName(
        prefix_, interprocess::KindUsers::nameWithUser(name, user)));
    return queues_.back();
}

}  // namespace interprocesstest
