#include "PackageServer.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>
#include <thread>

#include <rapidjson/document.h>

#include "support/ChildProcess.h"

namespace installertest {

namespace {

using Clock = std::chrono::steady_clock;

// Reads the first line of `fd` within `timeout`; empty when none came.
std::string readFirstLine(int fd, std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    std::string text;
    while (text.find('\n') == std::string::npos) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        pollfd entry{fd, POLLIN, 0};
        if (left.count() <= 0 || ::poll(&entry, 1, static_cast<int>(left.count())) <= 0) {
            return {};
        }
        char buffer[256];
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n <= 0) {
            return {};
        }
        text.append(buffer, static_cast<std::size_t>(n));
    }
    return text.substr(0, text.find('\n'));
}

}  // namespace

PackageServer::PackageServer(const std::string& package, const std::string& journal,
                             const std::string& plan, bool slow)
    : journal_(journal) {
    std::vector<std::string> argv{
        "/usr/bin/python3", PACKAGE_SERVER, package, "--journal", journal, "--plan", plan};
    if (slow) {
        argv.emplace_back("--slow");
    }
    std::vector<char*> args;
    for (auto& argument : argv) {
        args.push_back(argument.data());
    }
    args.push_back(nullptr);
    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0) {
        throw std::runtime_error("PackageServer: no pipe");
    }
    pid_ = ::fork();
    if (pid_ == 0) {
        ::dup2(out[1], STDOUT_FILENO);
        const int null = ::open("/dev/null", O_RDONLY);
        ::dup2(null, STDIN_FILENO);
        ::execv(args[0], args.data());
        ::_exit(127);
    }
    ::close(out[1]);
    if (pid_ > 0) {
        url_ = readFirstLine(out[0], std::chrono::seconds(20));
    }
    ::close(out[0]);
    if (url_.empty()) {
        throw std::runtime_error("PackageServer: the server did not start");
    }
}

PackageServer::~PackageServer() {
    if (pid_ <= 0) {
        return;
    }
    ::kill(pid_, SIGTERM);
    const auto deadline = Clock::now() + std::chrono::seconds(5);
    int status = 0;
    while (::waitpid(pid_, &status, WNOHANG) == 0) {
        if (Clock::now() >= deadline) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, &status, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

std::vector<PackageServer::Request> PackageServer::requests() const {
    std::vector<Request> requests;
    for (const auto& line : testsupport::splitLines(testsupport::readFile(journal_))) {
        rapidjson::Document entry;
        entry.Parse(line.c_str());
        if (!entry.IsObject()) {
            continue;
        }
        Request request;
        request.time = entry["time"].GetDouble();
        request.method = entry["method"].GetString();
        request.path = entry["path"].GetString();
        request.userAgent = entry["user_agent"].GetString();
        request.status = entry["status"].GetInt();
        requests.push_back(request);
    }
    return requests;
}

}  // namespace installertest
