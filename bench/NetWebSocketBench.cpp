// Web-socket echo round trips through the network library next to a
// Boost.Beast client, against the same server in the same run.
//
//   net-websocket-bench [--server-cpu N] [--only CLIENT] [ROUNDS]
//                                    (default 31 rounds; --help for the usage)
//
// The websockets echo server of the tests (Python, on 127.0.0.1) answers
// both clients. For 16 B, 1 KiB, 64 KiB and 1 MiB messages each round times
// a batch of sequential round trips (send one binary message, receive its
// echo) through the library's AsyncWebSocket (its service run on the main
// thread, each step started from the previous one's callback) and through a
// Beast web-socket stream driven synchronously and one driven
// asynchronously on an io_context, one connection each, in turn (the order
// reversed every round). The Beast streams are set up as a careful user sets
// them up: one frame per message written through a 64 KiB write buffer, and
// each message read with read_some into a flat_buffer of 64 KiB (or the
// message's size, when larger), each read as large as the buffer's room.
// Prints the median rates and the library's ratio to each Beast client's.

#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <exception>
#include <optional>
#include <memory>
#include <string>
#include <vector>

#include <boost/asio/connect.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/websocket.hpp>

#include "network/AsyncWebSocket.h"
#include "network/IHTTPResponse.h"
#include "network/NetworkConnectivity.h"
#include "support/WebSocketTestPeer.h"
#include "ServerProcessor.h"
#include "ToolUsage.h"

namespace {

using Clock = std::chrono::steady_clock;
using Payload = core::NonInitializingBuffer<unsigned char>;
namespace websocket = boost::beast::websocket;

toolsupport::ToolUsage UsageOf(const char* argv0) {
    return toolsupport::ToolUsage(
        argv0, "[--server-cpu N] [--only CLIENT] [ROUNDS]",
        "Web-socket echo round trips per second through the network library next to a\n"
        "synchronous and an asynchronous Boost.Beast client, against the tests' Python echo\n"
        "server on 127.0.0.1, for 16 B, 1 KiB, 64 KiB and 1 MiB messages; the medians of\n"
        "ROUNDS interleaved rounds (31 by default) and the library's ratios.\n"
        "  --server-cpu N  run the echo server on processor N alone (the clients where\n"
        "                  the bench runs: taskset -c M net-websocket-bench --server-cpu N)\n"
        "  --only CLIENT   run one client alone (library, beast-sync or beast-async), for\n"
        "                  counts of system calls and processor time per round trip\n"
        "Exit status: 0 measured; 1 the server did not start or a client could not connect;\n"
        "64 a wrong command line.\n");
}

struct Options {
    int rounds = 31;
    int serverCpu = -1;  // the echo server's processor, or where it falls
    std::string only;    // one client alone: library, beast-sync or beast-async
};

// A whole number from `low` to 100000, or nothing.
std::optional<int> NumberOf(const std::string& text, int low) {
    if (text.empty() || text.size() > 6 || text.find_first_not_of("0123456789") != std::string::npos ||
        std::stoi(text) < low || std::stoi(text) > 100000) {
        return std::nullopt;
    }
    return std::stoi(text);
}

// The options; an empty `error` when the line is right.
Options OptionsOf(int argc, char** argv, std::string& error) {
    Options options;
    bool roundsGiven = false;
    for (int i = 1; i < argc && error.empty(); ++i) {
        const std::string argument = argv[i];
        if (argument == "--server-cpu" || argument == "--only") {
            const std::string value = i + 1 < argc ? argv[++i] : "";
            if (argument == "--only") {
                options.only = value;
                if (value != "library" && value != "beast-sync" && value != "beast-async") {
                    error = "unknown client '" + value + "'";
                }
            } else if (const auto cpu = NumberOf(value, 0)) {
                options.serverCpu = *cpu;
            } else {
                error = "--server-cpu needs a processor number, not '" + value + "'";
            }
        } else if (roundsGiven) {
            error = "unexpected argument '" + argument + "'";
        } else if (const auto rounds = NumberOf(argument, 1)) {
            options.rounds = *rounds;
            roundsGiven = true;
        } else {
            error = "ROUNDS must be a positive whole number, not '" + argument + "'";
        }
    }
    return options;
}

// The user and system processor seconds of this process so far.
double ProcessorSeconds() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    const auto seconds = [](const timeval& t) { return t.tv_sec + t.tv_usec / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : values[values.size() / 2];
}

// The library's client: one socket whose service runs on the calling
// thread, as the Beast clients' contexts do.
class LibraryClient {
public:
    explicit LibraryClient(const std::string& url)
        : service_(std::make_shared<network::AsyncService>(true, "bench", nullptr)),
          socket_(std::make_shared<network::AsyncWebSocket>(
              service_, std::make_shared<network::AsyncSSLContext>(), nullptr,
              std::make_shared<network::NetworkConnectivity>())) {
        network::HTTPStatusCode status = 0;
        socket_->Connect(url, [&](network::HTTPStatusCode code, std::unique_ptr<network::IHTTPResponse>) {
            status = code;
        });
        RunUntil([&] { return status != 0; });
        open_ = status == 101;
    }

    ~LibraryClient() {
        bool closed = false;
        socket_->Close([] {});
        socket_->Receive([&](network::ITCPSocket::ErrorCode, Payload&&) { closed = true; });
        RunUntil([&] { return closed; });
        socket_.reset();
        service_->Stop();
    }

    bool open() const { return open_; }

    // Round trips per second; 0 when an echo is lost or differs.
    double Rate(const std::string& message, int count) {
        int left = count;
        bool failed = false;
        const auto start = Clock::now();
        Step(message, left, failed);
        RunUntil([&] { return left == 0 || failed; });
        const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
        return failed || left != 0 ? 0 : count / seconds;
    }

private:
    // Runs the service's handlers on this thread until `done` holds, for a
    // minute at the most.
    template <typename Done>
    void RunUntil(Done done) {
        const auto deadline = Clock::now() + std::chrono::minutes(1);
        while (!done() && Clock::now() < deadline) {
            service_->GetIOContext().run_one_for(std::chrono::seconds(1));
        }
    }

    void Step(const std::string& message, int& left, bool& failed) {
        socket_->Send(Payload(reinterpret_cast<const unsigned char*>(message.data()), message.size()),
                      [](network::ITCPSocket::ErrorCode) {});
        socket_->Receive([this, &message, &left, &failed](network::ITCPSocket::ErrorCode code, Payload&& echo) {
            if (code != 0 || echo.size() != message.size()) {
                failed = true;
            } else if (--left > 0) {
                Step(message, left, failed);
            }
        });
    }

    std::shared_ptr<network::AsyncService> service_;
    std::shared_ptr<network::AsyncWebSocket> socket_;
    bool open_ = false;
};

// A Beast web-socket stream on an io_context of its own, connected without
// delay and upgraded on the echo path for binary messages, each written as
// one frame through a 64 KiB write buffer.
class BeastConnection {
public:
    static constexpr std::size_t kBufferSize = 64 * 1024;

    BeastConnection(const std::string& host, const std::string& port) {
        boost::asio::ip::tcp::resolver resolver(context_);
        boost::asio::connect(stream_.next_layer(), resolver.resolve(host, port));
        stream_.next_layer().set_option(boost::asio::ip::tcp::no_delay(true));
        stream_.handshake(host + ":" + port, "/echo");
        stream_.binary(true);
        stream_.auto_fragment(false);
        stream_.write_buffer_bytes(kBufferSize);
        buffer_.reserve(kBufferSize);
    }

    ~BeastConnection() {
        boost::system::error_code ignored;
        stream_.close(websocket::close_code::normal, ignored);
    }

protected:
    // Room for a whole message of `size` bytes, 64 KiB at least.
    void MakeRoom(std::size_t size) { buffer_.reserve(std::max(kBufferSize, size)); }
    // What the next read_some may take: the buffer's room.
    std::size_t Room() const { return std::max<std::size_t>(buffer_.capacity() - buffer_.size(), 1); }

    boost::asio::io_context context_;
    websocket::stream<boost::asio::ip::tcp::socket> stream_{context_};
    boost::beast::flat_buffer buffer_;
};

// The reference: the stream driven synchronously.
class BeastClient : public BeastConnection {
public:
    using BeastConnection::BeastConnection;

    double Rate(const std::string& message, int count) {
        MakeRoom(message.size());
        const auto start = Clock::now();
        for (int i = 0; i < count; ++i) {
            stream_.write(boost::asio::buffer(message));
            buffer_.clear();
            do {
                stream_.read_some(buffer_, Room());
            } while (!stream_.is_message_done());
            if (buffer_.size() != message.size()) {
                return 0;
            }
        }
        return count / std::chrono::duration<double>(Clock::now() - start).count();
    }
};

// The stream driven asynchronously, as an event-loop program would drive it.
class AsyncBeastClient : public BeastConnection {
public:
    using BeastConnection::BeastConnection;

    double Rate(const std::string& message, int count) {
        MakeRoom(message.size());
        bool ok = true;
        const auto start = Clock::now();
        Step(message, count, ok);
        context_.restart();
        context_.run();
        return ok ? count / std::chrono::duration<double>(Clock::now() - start).count() : 0;
    }

private:
    void Step(const std::string& message, int left, bool& ok) {
        if (left == 0) {
            return;
        }
        stream_.async_write(boost::asio::buffer(message), [](boost::system::error_code, std::size_t) {});
        buffer_.clear();
        ReadPart(message, left, ok);
    }

    void ReadPart(const std::string& message, int left, bool& ok) {
        stream_.async_read_some(buffer_, Room(), [this, &message, left, &ok](boost::system::error_code error,
                                                                          std::size_t) {
            if (error) {
                ok = false;
            } else if (!stream_.is_message_done()) {
                ReadPart(message, left, ok);
            } else if (buffer_.size() != message.size()) {
                ok = false;
            } else {
                Step(message, left - 1, ok);
            }
        });
    }
};

}  // namespace

int main(int argc, char** argv) {
    const auto usage = UsageOf(argc > 0 ? argv[0] : "net-websocket-bench");
    if (usage.helpRequested(argc, argv)) {
        return 0;
    }
    std::string error;
    const Options options = OptionsOf(argc, argv, error);
    if (!error.empty()) {
        return usage.refuse(error);
    }
    const int rounds = options.rounds;
    std::optional<networktest::WebSocketTestPeer> server;
    startOnProcessor(options.serverCpu, [&] { server.emplace(); });
    const int port = server->port("ws");
    if (!server->ready() || port == 0) {
        return usage.fail("the websockets echo server did not start", 1);
    }
    const std::string url = "ws://127.0.0.1:" + std::to_string(port) + "/echo";

    LibraryClient library(url);
    std::optional<BeastClient> beast;
    std::optional<AsyncBeastClient> asyncBeast;
    try {
        beast.emplace("127.0.0.1", std::to_string(port));
        asyncBeast.emplace("127.0.0.1", std::to_string(port));
    } catch (const std::exception& failure) {
        return usage.fail(std::string("a Beast client could not connect: ") + failure.what(), 1);
    }
    if (!library.open()) {
        return usage.fail("the library's web socket did not open", 1);
    }
    std::printf("web-socket echo round trips per second (median of %d rounds, python3-websockets server)\n",
                rounds);
    if (options.only.empty()) {
        std::printf("%-8s %14s %14s %14s %8s %8s\n", "size", "AsyncWebSocket", "Beast sync",
                    "Beast async", "/sync", "/async");
    }
    struct Size {
        const char* name;
        std::size_t bytes;
        int count;
    };
    bool reached = true;
    for (const Size size : {Size{"16 B", 16, 1000}, Size{"1 KiB", 1024, 1000}, Size{"64 KiB", 65536, 200},
                            Size{"1 MiB", 1 << 20, 30}}) {
        std::string message(size.bytes, '\0');
        for (std::size_t i = 0; i < message.size(); ++i) {
            message[i] = static_cast<char>(i * 131 + 7);
        }
        if (!options.only.empty()) {
            // One client, for strace and perf: its rate and this process's
            // processor time per round trip.
            const auto rate = [&](int count) {
                return options.only == "library"      ? library.Rate(message, count)
                       : options.only == "beast-sync" ? beast->Rate(message, count)
                                                      : asyncBeast->Rate(message, count);
            };
            rate(size.count / 10);
            const double before = ProcessorSeconds();
            const auto from = Clock::now();
            std::vector<double> rates;
            for (int round = 0; round < rounds; ++round) {
                rates.push_back(rate(size.count));
            }
            // The span on the monotonic clock, to pick its records out of a
            // trace (perf record -k CLOCK_MONOTONIC).
            const auto at = [](Clock::time_point t) {
                return std::chrono::duration<double>(t.time_since_epoch()).count();
            };
            std::printf("%-8s %s %.0f round trips/s, processor %.2f us per round trip, "
                        "%d round trips from %.6f to %.6f\n",
                        size.name, options.only.c_str(), Median(rates),
                        (ProcessorSeconds() - before) * 1e6 / (double(rounds) * size.count),
                        rounds * size.count, at(from), at(Clock::now()));
            continue;
        }
        library.Rate(message, size.count / 10);  // warm-up
        beast->Rate(message, size.count / 10);
        asyncBeast->Rate(message, size.count / 10);
        std::vector<double> ours;
        std::vector<double> sync;
        std::vector<double> async;
        // Interleaved, the order reversed every round: a slow spell of the
        // machine falls on every client alike.
        for (int round = 0; round < rounds; ++round) {
            if (round % 2 == 0) {
                ours.push_back(library.Rate(message, size.count));
                sync.push_back(beast->Rate(message, size.count));
                async.push_back(asyncBeast->Rate(message, size.count));
            } else {
                async.push_back(asyncBeast->Rate(message, size.count));
                sync.push_back(beast->Rate(message, size.count));
                ours.push_back(library.Rate(message, size.count));
            }
        }
        const double toSync = Median(sync) > 0 ? Median(ours) / Median(sync) : 0;
        const double toAsync = Median(async) > 0 ? Median(ours) / Median(async) : 0;
        reached = reached && toSync >= 1.0 && toAsync >= 1.0;
        std::printf("%-8s %14.0f %14.0f %14.0f %8.2f %8.2f\n", size.name, Median(ours), Median(sync),
                    Median(async), toSync, toAsync);
    }
    if (options.only.empty()) {
        std::printf("goal (at least Beast's rate at every size): %s\n", reached ? "reached" : "missed");
    }
    return 0;
}
