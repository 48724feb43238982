// The network library's HTTP connection against nginx, next to a Boost.Beast
// client and curl on the same server in the same run.
//
//   net-http-bench [MEGABYTES] [REQUESTS]     (default 256 MB, 5000 requests)
//
// nginx (started on 127.0.0.1 as the tests start it) serves a small file and
// a file of random bytes. First the request rate: REQUESTS sequential GETs of
// the small file over one kept-alive connection, through the library (its
// service on a thread of its own, each request submitted from the previous
// one's callback), through a synchronous Beast client, and through one curl
// given every URL. Then the large file, each way in a process of its own so
// that its peak resident memory is its own: the library (body in memory) and
// "curl -o". Each result is printed with its ratio to the reference the goal
// names (Beast's request rate, curl's throughput).

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <random>
#include <string>
#include <vector>

#include <boost/asio/connect.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http.hpp>

#include "RandomFile.h"
#include "network/AsyncHTTPConnection.h"
#include "network/NetworkConnectivity.h"
#include "support/ScriptServer.h"
#include "support/TempDir.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
namespace http = boost::beast::http;

double SecondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

std::shared_ptr<network::AsyncHTTPConnection> MakeConnection(
    const std::shared_ptr<network::AsyncService>& service) {
    auto connection = network::AsyncHTTPConnection::Create(
        service, std::make_shared<network::AsyncSSLContext>(), nullptr,
        std::make_shared<network::NetworkConnectivity>(), std::make_shared<network::HTTPCookieStore>());
    connection->SetKeepAlive(true);
    return connection;
}

// Closes the connection on the service's thread, then stops the service:
// no socket may outlive the service's context.
void Shutdown(const std::shared_ptr<network::AsyncService>& service,
              std::shared_ptr<network::AsyncHTTPConnection>& connection) {
    std::promise<void> closed;
    boost::asio::post(service->GetIOContext(), [&] {
        connection->AsyncClose([&closed] { closed.set_value(); });
    });
    closed.get_future().wait_for(std::chrono::seconds(10));
    connection.reset();
    service->Stop();
}

// Requests per second through the library; 0 on a failure.
double LibraryRate(const std::string& url, int requests) {
    auto service = std::make_shared<network::AsyncService>(false, "bench", nullptr);
    auto connection = MakeConnection(service);
    std::promise<bool> finished;
    int left = requests;
    std::function<void()> next;
    next = [&] {
        connection->Submit(url, [&](network::HTTPStatusCode code,
                                    std::unique_ptr<network::IHTTPResponse>) {
            if (code != 200) {
                finished.set_value(false);
            } else if (--left == 0) {
                finished.set_value(true);
            } else {
                next();
            }
        });
    };
    const auto start = Clock::now();
    next();
    auto future = finished.get_future();
    const bool ok = future.wait_for(std::chrono::minutes(5)) == std::future_status::ready && future.get();
    const double seconds = SecondsSince(start);
    Shutdown(service, connection);
    return ok ? requests / seconds : 0;
}

// Requests per second through a synchronous Beast client; 0 on a failure.
double BeastRate(int port, const std::string& target, int requests) {
    boost::asio::io_context context;
    boost::asio::ip::tcp::socket socket(context);
    boost::system::error_code error;
    socket.connect({boost::asio::ip::make_address("127.0.0.1"), static_cast<unsigned short>(port)}, error);
    if (error) {
        return 0;
    }
    boost::beast::flat_buffer buffer;
    const auto start = Clock::now();
    for (int i = 0; i < requests; ++i) {
        http::request<http::empty_body> request{http::verb::get, target, 11};
        request.set(http::field::host, "127.0.0.1:" + std::to_string(port));
        request.set(http::field::accept, "*/*");
        request.keep_alive(true);
        http::write(socket, request, error);
        http::response<http::string_body> response;
        http::read(socket, buffer, response, error);
        if (error || response.result_int() != 200) {
            return 0;
        }
    }
    return requests / SecondsSince(start);
}

struct Run {
    bool ok = false;
    double seconds = 0;
    long peakKiB = 0;
};

// Runs `words`, its standard output thrown away, and waits; its wall time
// and peak memory.
Run Spawn(std::vector<std::string> words) {
    std::vector<char*> argv;
    for (auto& word : words) {
        argv.push_back(word.data());
    }
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    const auto start = Clock::now();
    const int spawned = ::posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) {
        return {};
    }
    int status = 0;
    rusage usage{};
    ::wait4(pid, &status, 0, &usage);
    return {WIFEXITED(status) && WEXITSTATUS(status) == 0, SecondsSince(start), usage.ru_maxrss};
}

// Downloads `url` through the library in a child process.
Run LibraryDownload(const std::string& url, std::uintmax_t expected) {
    std::fflush(nullptr);
    const auto start = Clock::now();
    const pid_t pid = ::fork();
    if (pid == 0) {
        auto service = std::make_shared<network::AsyncService>(false, "bench", nullptr);
        auto connection = MakeConnection(service);
        std::promise<bool> done;
        connection->Submit(url, [&](network::HTTPStatusCode code,
                                    std::unique_ptr<network::IHTTPResponse> response) {
            done.set_value(code == 200 && response && response->TakeBody().size() == expected);
        });
        auto future = done.get_future();
        const bool ok = future.wait_for(std::chrono::minutes(5)) == std::future_status::ready && future.get();
        std::_Exit(ok ? 0 : 1);
    }
    int status = 0;
    rusage usage{};
    ::wait4(pid, &status, 0, &usage);
    return {WIFEXITED(status) && WEXITSTATUS(status) == 0, SecondsSince(start), usage.ru_maxrss};
}

}  // namespace

int main(int argc, char** argv) {
    const std::size_t megabytes = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 256;
    const int requests = argc > 2 ? std::atoi(argv[2]) : 5000;
    const std::size_t bytes = megabytes << 20;

    testsupport::TempDir folder("quorvane-net-bench");
    std::filesystem::create_directory(folder.file("root"));
    std::ofstream(folder.file("root/small.txt")) << std::string(100, 's');
    writeRandomFile(folder.file("root/big.bin"), bytes);
    testsupport::ScriptServer nginx(std::string(NETWORK_TEST_SUPPORT_DIR) + "/nginx_test_server.py",
                                    {folder.path(), folder.file("root")});
    const int port = nginx.readyNumber("port").value_or(0);
    if (port == 0) {
        std::fprintf(stderr, "nginx did not start\n");
        return 1;
    }
    const std::string base = "http://127.0.0.1:" + std::to_string(port);

    std::printf("%d sequential kept-alive GETs of 100 bytes\n", requests);
    const double library = LibraryRate(base + "/small.txt", requests);
    const double beast = BeastRate(port, "/small.txt", requests);
    std::vector<std::string> curlWords{"curl", "-s"};
    for (int i = 0; i < requests; ++i) {
        curlWords.push_back(base + "/small.txt");
    }
    const Run curlRate = Spawn(curlWords);
    const double curl = curlRate.ok ? requests / curlRate.seconds : 0;
    std::printf("  %-10s %10.0f requests/s  (%.2f x Beast)\n", "library", library,
                beast > 0 ? library / beast : 0);
    std::printf("  %-10s %10.0f requests/s\n", "Beast", beast);
    std::printf("  %-10s %10.0f requests/s  (%.2f x Beast, process start included)\n", "curl", curl,
                beast > 0 ? curl / beast : 0);

    std::printf("download of %zu MB\n", megabytes);
    const Run ours = LibraryDownload(base + "/big.bin", bytes);
    const Run theirs = Spawn({"curl", "-s", "-o", folder.file("curl.bin"), base + "/big.bin"});
    const auto rate = [&](const Run& run) { return run.ok ? megabytes / run.seconds : 0.0; };
    std::printf("  %-10s %8.1f MB/s  peak %6ld MiB  (%.2f x curl's throughput)\n", "library",
                rate(ours), ours.peakKiB / 1024, rate(theirs) > 0 ? rate(ours) / rate(theirs) : 0);
    std::printf("  %-10s %8.1f MB/s  peak %6ld MiB  (to a file)\n", "curl -o", rate(theirs),
                theirs.peakKiB / 1024);
    return library > 0 && beast > 0 && ours.ok && theirs.ok ? 0 : 1;
}
