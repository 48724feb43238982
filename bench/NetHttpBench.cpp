// The network library's HTTP connection against nginx, next to Boost.Beast
// clients and curl on the same server in the same run.
//
// nginx (started on 127.0.0.1 as the tests start it, with two worker
// processes: one alone caps every client at the rate it serves with eight
// connections) serves bodies of 64 B and 16 KiB and two files of random
// bytes. Every measurement runs in
// interleaved rounds after a warm-up pass: within a round each client runs
// once, one after the other, and the order is reversed from one round to the
// next, so that a
// change of load lands on all of them alike. Printed are the medians with the
// lowest and highest round, and the ratios taken round by round (median,
// lowest, highest).
//
// Keep-alive GETs: with one and with eight connections, each connection
// sending its requests one after the other (the next from the previous one's
// completion): the library (its service on a thread of its own, every
// connection on it), a synchronous Beast client (a thread per connection) and
// an asynchronous Beast client (every connection on one thread of its own);
// and the same through the network factory's pool (handles of one factory,
// served on its shared connections, at most four per endpoint). The Beast
// clients are written as a careful user writes them: a read buffer of
// 64 KiB, so that each read takes what the socket holds, up to that size
// (Beast sizes its reads to the buffer's free room, 512 bytes at the least).
//
// Downloads: the net-get tool against "curl -o", both writing a file, each
// run a process of its own (start-up included), over http and over https
// (nginx with a certificate of a test CA made for the run). With --gzip,
// instead of everything else: a body served gzip-coded ("Content-Encoding:
// gzip", curl with --compressed) next to the same body served plain, over
// http, for the time and the peak memory of decoding as it arrives. With
// --error-bodies, instead of everything else: the peak memory of net-get on
// a 404 whose body is as large as a download, with its length and in
// chunks, into a file and to standard output, next to a 200 of the same size
// and to curl. With --refusals, instead of everything else: the peak memory
// of net-get and net-ws on answers that refuse, with a body as large as a
// download next to the same answer with a body of 1 KiB: a proxy's refusal
// of CONNECT (407, 403, 502) and a server's refusal of the web-socket
// upgrade (404, 500, 302, 200). Every net-get given with --net-get (and
// net-ws with --net-ws) is measured beside the others (an earlier build,
// say).

#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <optional>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include <boost/asio/post.hpp>

#include "BeastClients.h"
#include "BenchRounds.h"
#include "ToolUsage.h"
#include "GzipTextFile.h"
#include "RandomFile.h"
#include "ServerProcessor.h"
#include "StatusBodyServer.h"
#include "ToolRun.h"
#include "common/logging/Logger.h"
#include "network/AsyncHTTPConnection.h"
#include "network/AsyncNetworkFactory.h"
#include "network/NetworkConnectivity.h"
#include "support/ScriptServer.h"
#include "support/TempDir.h"
#include "support/TestCertificates.h"

namespace {

struct Options {
    int rounds = 5;
    int requests = 2000;  // per connection and round
    std::size_t largeMiB = 200;
    std::size_t smallMiB = 1;
    std::vector<std::string> netGets{NET_GET_PATH};
    std::vector<std::string> netWss{NET_WS_PATH};
    bool downloads = true;
    bool gzip = false;        // the gzip-coded download next to the plain one alone
    bool errorBodies = false; // the peak memory on error pages alone
    bool refusals = false;    // the peak memory on refusals of CONNECT and upgrades alone
    bool loggerInit = true;
    std::string only;         // one client alone: library, pool, beast-sync or beast-async
    std::string body;         // one body alone: 64 or 16k
    int connections = 0;      // one connection count alone
    int serverCpu = -1;       // the processor of nginx, or where it falls
};

toolsupport::ToolUsage UsageOf(const char* argv0) {
    return toolsupport::ToolUsage(
        argv0,
        "[--rounds N] [--requests N] [--large-mib N] [--small-mib N] [--net-get PATH]\n"
        "       [--no-downloads] [--no-logger] [--only CLIENT] [--body 64|16k] [--connections N]\n"
        "       [--server-cpu N] [--gzip] [--error-bodies] [--refusals] [--net-ws PATH]",
        "Keep-alive GETs through the network library next to synchronous and\n"
        "asynchronous Boost.Beast clients, and net-get downloads next to curl,\n"
        "against a local nginx, in interleaved rounds.\n"
        "  --rounds N      rounds of every measurement (default 5)\n"
        "  --requests N    requests per connection and round (default 2000)\n"
        "  --large-mib N   size of the large download in MiB (default 200)\n"
        "  --small-mib N   size of the small download in MiB (default 1)\n"
        "  --net-get PATH  the net-get program (default: the one built with this); given\n"
        "                  more than once, each is measured beside the others\n"
        "  --no-downloads  measure the keep-alive GETs only\n"
        "  --no-logger     leave the logger uninitialised, as a program that never\n"
        "                  calls Logger::init and says so with setEarlyLevel(off) (by\n"
        "                  default it logs into a text file at info and up)\n"
        "  --only CLIENT   measure one client alone (library, pool, beast-sync or\n"
        "                  beast-async), for instruction and system-call counts\n"
        "  --body SIZE     the keep-alive GETs of one body alone: 64 or 16k\n"
        "  --connections N the keep-alive GETs over N (1 or 8) connections alone\n"
        "  --server-cpu N  run nginx on processor N alone (the clients where the\n"
        "                  bench runs: taskset -c M net-http-bench --server-cpu N)\n"
        "  --gzip          measure only the download of a body of --large-mib MiB\n"
        "                  served gzip-coded, next to the same body served plain\n"
        "  --error-bodies  measure only net-get's peak memory on a 404 with a body of\n"
        "                  --large-mib MiB, with its length and in chunks, into a file\n"
        "                  and to standard output, next to a 200 and to curl\n"
        "  --refusals      measure only the peak memory of net-get and net-ws on a\n"
        "                  proxy's refusal of CONNECT (407, 403, 502) and net-ws on a\n"
        "                  refused upgrade (404, 500, 302, 200), with a body of\n"
        "                  --large-mib MiB next to one of 1 KiB\n"
        "  --net-ws PATH   the net-ws program for --refusals (default: the one built with\n"
        "                  this); given more than once, each is measured beside the others\n"
        "Exit status: 0 measured; 1 a measurement failed; 64 a wrong command line.\n");
}

// A whole positive decimal number, or nothing.
std::optional<long> PositiveNumber(const std::string& text) {
    if (text.empty() || text.size() > 9 ||
        text.find_first_not_of("0123456789") != std::string::npos) {
        return std::nullopt;
    }
    const long value = std::stol(text);
    return value > 0 ? std::optional<long>(value) : std::nullopt;
}

// The options; on a wrong command line, the one-line reason in `problem`.
std::optional<Options> ParseArguments(int argc, char** argv, std::string& problem) {
    Options options;
    bool netGetGiven = false;
    static const std::string kOptions[] = {"--rounds",  "--requests", "--large-mib",   "--small-mib",
                                           "--net-get", "--only",     "--body", "--connections",
                                           "--server-cpu", "--net-ws"};
    bool netWsGiven = false;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if (argument == "--no-downloads" || argument == "--no-logger") {
            (argument == "--no-downloads" ? options.downloads : options.loggerInit) = false;
            continue;
        }
        if (argument == "--gzip" || argument == "--error-bodies" || argument == "--refusals") {
            (argument == "--gzip"           ? options.gzip
             : argument == "--error-bodies" ? options.errorBodies
                                            : options.refusals) = true;
            continue;
        }
        if (std::find(std::begin(kOptions), std::end(kOptions), argument) == std::end(kOptions)) {
            problem = "unknown argument " + argument;
            return std::nullopt;
        }
        if (i + 1 >= argc) {
            problem = "missing value for " + argument;
            return std::nullopt;
        }
        const std::string value = argv[++i];
        if (argument == "--net-get" || argument == "--net-ws") {
            bool& given = argument == "--net-get" ? netGetGiven : netWsGiven;
            auto& paths = argument == "--net-get" ? options.netGets : options.netWss;
            if (!given) {
                paths.clear();
                given = true;
            }
            paths.push_back(value);
            continue;
        }
        if (argument == "--only" || argument == "--body") {
            static const std::string kClients[] = {"library", "pool", "beast-sync", "beast-async"};
            const bool known = argument == "--only"
                                   ? std::find(std::begin(kClients), std::end(kClients), value) !=
                                         std::end(kClients)
                                   : value == "64" || value == "16k";
            if (!known) {
                problem = "unknown value for " + argument + ": " + value;
                return std::nullopt;
            }
            (argument == "--only" ? options.only : options.body) = value;
            continue;
        }
        if (argument == "--connections") {
            // The keep-alive GETs are measured over one and over eight connections.
            if (value != "1" && value != "8") {
                problem = "not 1 or 8 for --connections: " + value;
                return std::nullopt;
            }
            options.connections = value == "1" ? 1 : 8;
            continue;
        }
        if (argument == "--server-cpu") {
            const auto cpu = PositiveNumber(value == "0" ? "1" : value);
            if (!cpu) {
                problem = "not a processor number for " + argument + ": " + value;
                return std::nullopt;
            }
            options.serverCpu = value == "0" ? 0 : static_cast<int>(*cpu);
            continue;
        }
        const auto number = PositiveNumber(value);
        if (!number) {
            problem = "not a positive number for " + argument + ": " + value;
            return std::nullopt;
        }
        if (argument == "--rounds") {
            options.rounds = static_cast<int>(*number);
        } else if (argument == "--requests") {
            options.requests = static_cast<int>(*number);
        } else if (argument == "--large-mib") {
            options.largeMiB = static_cast<std::size_t>(*number);
        } else {
            options.smallMiB = static_cast<std::size_t>(*number);
        }
    }
    return options;
}

std::shared_ptr<network::AsyncHTTPConnection> MakeConnection(
    const std::shared_ptr<network::AsyncService>& service) {
    auto connection = network::AsyncHTTPConnection::Create(
        service, std::make_shared<network::AsyncSSLContext>(), nullptr,
        std::make_shared<network::NetworkConnectivity>(),
        std::make_shared<network::HTTPCookieStore>());
    connection->SetKeepAlive(true);
    return connection;
}

// Requests per second through the library, `connections` connections on one
// service each sending `requests` GETs of `url`; 0 on a failure. The
// connections are AsyncHTTPConnections of their own or, `pooled`, handles
// of one network factory, whose pool serves them on its shared connections.
double LibraryRate(const std::string& url, int connections, int requests, bool pooled) {
    auto service = std::make_shared<network::AsyncService>(false, "bench", nullptr);
    std::shared_ptr<network::AsyncNetworkFactory> factory;
    if (pooled) {
        factory = std::make_shared<network::AsyncNetworkFactory>(service, nullptr);
    }
    std::vector<std::shared_ptr<network::IHTTPConnection>> pool;
    for (int i = 0; i < connections; ++i) {
        pool.push_back(pooled ? factory->CreateHTTPConnection() : MakeConnection(service));
    }
    std::vector<int> left(connections, requests);
    std::vector<std::function<void()>> next(connections);
    int running = connections;  // touched on the service's thread only
    bool failed = false;
    std::promise<void> finished;
    for (int i = 0; i < connections; ++i) {
        next[i] = [&, i] {
            pool[i]->Submit(url, [&, i](network::HTTPStatusCode code,
                                        std::unique_ptr<network::IHTTPResponse>) {
                failed = failed || code != 200;
                if (!failed && --left[i] > 0) {
                    next[i]();
                } else if (--running == 0) {
                    finished.set_value();
                }
            });
        };
    }
    const auto start = Clock::now();
    boost::asio::post(service->GetIOContext(), [&] {
        for (auto& first : next) {
            first();
        }
    });
    auto future = finished.get_future();
    const bool done = future.wait_for(std::chrono::minutes(5)) == std::future_status::ready;
    const double seconds = SecondsSince(start);
    // Closed on the service's thread, then the service stops: no socket may
    // outlive the service's context. The pool closes its connections as it
    // goes.
    std::promise<void> closed;
    boost::asio::post(service->GetIOContext(), [&] {
        if (pooled) {
            pool.clear();
            factory.reset();
            closed.set_value();
            return;
        }
        auto remaining = std::make_shared<int>(connections);
        for (auto& connection : pool) {
            std::static_pointer_cast<network::AsyncHTTPConnection>(connection)->AsyncClose(
                [&closed, remaining] {
                    if (--*remaining == 0) {
                        closed.set_value();
                    }
                });
        }
    });
    closed.get_future().wait_for(std::chrono::seconds(10));
    pool.clear();
    service->Stop();
    return done && !failed ? connections * static_cast<double>(requests) / seconds : 0;
}

// Seconds of one download into `file` (removed afterwards), 0 on a failure
// or a file of the wrong size; the peak memory goes to `peaks`.
double Download(std::vector<std::string> words, const std::string& file, std::uintmax_t size,
                std::vector<double>& peaks) {
    const Run run = Spawn(std::move(words));
    std::error_code error;
    const bool whole = std::filesystem::file_size(file, error) == size && !error;
    std::filesystem::remove(file, error);
    peaks.push_back(run.peakKiB / 1024.0);
    return run.ok && whole ? run.seconds : 0;
}

// The user and system processor seconds of this process so far.
std::pair<double, double> ProcessorSeconds() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    const auto seconds = [](const timeval& t) { return t.tv_sec + t.tv_usec / 1e6; };
    return {seconds(usage.ru_utime), seconds(usage.ru_stime)};
}

// The name of the i-th net-get in the tables.
std::string NetGetName(const Options& options, std::size_t i) {
    return options.netGets.size() == 1 ? "net-get" : "net-get " + std::to_string(i + 1);
}

// The keep-alive table for one body size and connection count; false when a
// client failed.
bool MeasureRequests(const Options& options, int port, const std::string& target,
                     const char* body, int connections) {
    const std::string url = "http://127.0.0.1:" + std::to_string(port) + target;
    if (!options.only.empty()) {
        // One client, one run: for callgrind and strace, with the processor
        // time of this process (the client's threads alone) per request.
        const auto cpuBefore = ProcessorSeconds();
        const double rate =
            options.only == "library"      ? LibraryRate(url, connections, options.requests, false)
            : options.only == "pool"       ? LibraryRate(url, connections, options.requests, true)
            : options.only == "beast-sync" ? BeastSyncRate(port, target, connections, options.requests)
                                           : BeastAsyncRate(port, target, connections, options.requests);
        const auto cpuAfter = ProcessorSeconds();
        const double perRequest = 1e6 / (connections * static_cast<double>(options.requests));
        std::printf("%s, %s, %d connection%s: %.0f requests/s, processor %.2f us/request "
                    "(user %.2f, system %.2f)\n",
                    options.only.c_str(), body, connections, connections == 1 ? "" : "s", rate,
                    (cpuAfter.first + cpuAfter.second - cpuBefore.first - cpuBefore.second) *
                        perRequest,
                    (cpuAfter.first - cpuBefore.first) * perRequest,
                    (cpuAfter.second - cpuBefore.second) * perRequest);
        return rate > 0;
    }
    const auto results = Interleaved(
        options.rounds,
        {[&] { return LibraryRate(url, connections, options.requests, false); },
         [&] { return LibraryRate(url, connections, options.requests, true); },
         [&] { return BeastSyncRate(port, target, connections, options.requests); },
         [&] { return BeastAsyncRate(port, target, connections, options.requests); }});
    std::printf("\nkeep-alive GETs of %s, %d connection%s x %d requests, requests/s\n", body,
                connections, connections == 1 ? "" : "s", options.requests);
    const char* names[] = {"library", "library, factory pool", "Beast synchronous",
                           "Beast asynchronous"};
    bool ok = true;
    for (std::size_t i = 0; i < results.size(); ++i) {
        const Spread s = SpreadOf(results[i]);
        std::printf("  %-22s %8.0f (%.0f - %.0f)\n", names[i], s.median, s.low, s.high);
        ok = ok && s.low > 0;
    }
    PrintRatio("library / Beast sync", Ratios(results[0], results[2]));
    PrintRatio("library / Beast async", Ratios(results[0], results[3]));
    PrintRatio("pool / Beast sync", Ratios(results[1], results[2]));
    PrintRatio("pool / Beast async", Ratios(results[1], results[3]));
    return ok;
}

// The download table for one file; false when a run failed. Over https
// curl is given the test CA with --cacert, net-get finds it through
// SSL_CERT_FILE. A `gzipCoded` body is asked of curl with --compressed, so
// that both write it decoded.
bool MeasureDownload(const Options& options, const testsupport::TempDir& folder,
                     const std::string& url, std::size_t mebibytes, const std::string& caFile = "",
                     bool gzipCoded = false) {
    const std::string out = folder.file("download.out");
    const std::uintmax_t size = std::uintmax_t{mebibytes} << 20;
    std::vector<std::string> curl{"curl", "-s", "-o", out, url};
    if (!caFile.empty()) {
        curl.insert(curl.end(), {"--cacert", caFile});
    }
    if (gzipCoded) {
        curl.push_back("--compressed");
    }
    // Each net-get, then curl.
    const std::size_t clients = options.netGets.size() + 1;
    std::vector<std::vector<double>> peaks(clients);
    std::vector<std::function<double()>> runs;
    for (std::size_t i = 0; i < clients; ++i) {
        auto words = i + 1 < clients ? std::vector<std::string>{options.netGets[i], url, "-o", out}
                                     : curl;
        runs.push_back([&, i, words] { return Download(words, out, size, peaks[i]); });
    }
    const auto results = Interleaved(options.rounds, runs);
    std::printf("\ndownload of %zu MiB%s to a file over %s, seconds (process start included)\n",
                mebibytes, gzipCoded ? ", gzip-coded," : "", url.substr(0, url.find(':')).c_str());
    bool ok = true;
    for (std::size_t i = 0; i < clients; ++i) {
        const Spread spread = SpreadOf(results[i]);
        const std::string name = i + 1 < clients ? NetGetName(options, i) : "curl -o";
        std::printf("  %-22s %8.4f (%.4f - %.4f)  peak %.1f MiB\n", name.c_str(), spread.median,
                    spread.low, spread.high, SpreadOf(peaks[i]).median);
        ok = ok && spread.low > 0;
    }
    for (std::size_t i = 0; i + 1 < clients; ++i) {
        PrintRatio((NetGetName(options, i) + " / curl time").c_str(), Ratios(results[i], results.back()));
    }
    return ok;
}

// The peak memory of each net-get and of curl on a body of `mebibytes` MiB
// answered with a 404 and with a 200, with its length and in chunks, into a
// file and to standard output; false when a run ended otherwise than it
// should (net-get: 0 for the 200, 40 for the 404; curl: 0).
bool MeasureErrorBodies(const Options& options, const testsupport::TempDir& folder,
                        std::size_t mebibytes) {
    const StatusBodyServer server(std::uint64_t{mebibytes} << 20);
    if (server.port() == 0) {
        return false;
    }
    const std::string base = "http://127.0.0.1:" + std::to_string(server.port());
    const std::string out = folder.file("error-body.out");
    const char* cases[] = {"/200/length", "/404/length", "/200/chunked", "/404/chunked"};
    const std::size_t clients = options.netGets.size() + 1;
    bool ok = true;
    std::printf("\npeak memory of a body of %zu MiB, MiB\n  %-22s %-7s %10s %10s %10s %10s  "
                "404 / 200\n",
                mebibytes, "", "output", "200 length", "404 length", "200 chunks", "404 chunks");
    for (const bool toFile : {true, false}) {
        // Every client on every case, interleaved; a run that ends wrongly gives 0.
        std::vector<std::function<double()>> runs;
        for (std::size_t client = 0; client < clients; ++client) {
            for (const char* path : cases) {
                const bool curl = client + 1 == clients;
                std::vector<std::string> words{curl ? "curl" : options.netGets[client], base + path};
                if (curl) {
                    words.push_back("-s");
                }
                if (toFile) {
                    words.insert(words.end(), {"-o", out});
                }
                const int expected = !curl && path[1] == '4' ? 40 : 0;
                runs.push_back([words, expected, out] {
                    const Run run = Spawn(words);
                    std::filesystem::remove(out);
                    return run.exitCode == expected ? run.peakKiB / 1024.0 : 0;
                });
            }
        }
        const auto results = Interleaved(options.rounds, runs);
        for (std::size_t client = 0; client < clients; ++client) {
            double median[4];
            for (std::size_t c = 0; c < 4; ++c) {
                const Spread spread = SpreadOf(results[client * 4 + c]);
                median[c] = spread.median;
                ok = ok && spread.low > 0;
            }
            const std::string name = client + 1 < clients ? NetGetName(options, client) : "curl";
            std::printf("  %-22s %-7s %10.1f %10.1f %10.1f %10.1f  %.2f, %.2f in chunks\n",
                        name.c_str(), toFile ? "-o" : "stdout", median[0], median[1], median[2],
                        median[3], median[1] / median[0], median[3] / median[2]);
        }
    }
    return ok;
}

// The peak memory of each net-get and net-ws on answers that refuse, with a
// body of `mebibytes` MiB and with one of 1 KiB: a proxy's refusal of
// CONNECT, and a server's refusal of the web-socket upgrade; false when a
// run ended otherwise than it should (its status for that answer). No
// credentials are stored in the runs' home: a 407 ends them.
bool MeasureRefusals(const Options& options, const testsupport::TempDir& folder,
                     std::size_t mebibytes) {
    constexpr std::uint64_t kSmall = 1024;
    const StatusBodyServer large(std::uint64_t{mebibytes} << 20);
    const StatusBodyServer small(kSmall);
    if (large.port() == 0 || small.port() == 0) {
        return false;
    }
    std::filesystem::create_directory(folder.file("home"));
    ::setenv("HOME", folder.file("home").c_str(), 1);
    struct Case {
        bool webSocket;
        const char* name;
        bool proxied;     // the status in the CONNECT's host, else in the path
        const char* status;
        int exitCode;
    };
    const Case cases[] = {
        {false, "CONNECT 407", true, "407", 40}, {false, "CONNECT 403", true, "403", 3},
        {false, "CONNECT 502", true, "502", 3},  {true, "CONNECT 407", true, "407", 40},
        {true, "CONNECT 403", true, "403", 3},   {true, "CONNECT 502", true, "502", 3},
        {true, "upgrade 404", false, "404", 40}, {true, "upgrade 500", false, "500", 50},
        {true, "upgrade 302", false, "302", 30}, {true, "upgrade 200", false, "200", 20},
    };
    struct Client {
        std::string name;
        std::string path;
        bool webSocket;
    };
    std::vector<Client> clients;
    for (std::size_t i = 0; i < options.netGets.size(); ++i) {
        clients.push_back({NetGetName(options, i), options.netGets[i], false});
    }
    for (std::size_t i = 0; i < options.netWss.size(); ++i) {
        const std::string name =
            options.netWss.size() == 1 ? "net-ws" : "net-ws " + std::to_string(i + 1);
        clients.push_back({name, options.netWss[i], true});
    }
    // Every client on each of its cases, with each body, interleaved; a run
    // that ends wrongly gives 0.
    std::vector<std::function<double()>> runs;
    std::vector<std::pair<const Client*, const Case*>> rows;
    for (const auto& client : clients) {
        for (const auto& c : cases) {
            if (c.webSocket != client.webSocket) {
                continue;
            }
            rows.emplace_back(&client, &c);
            for (const StatusBodyServer* server : {&small, &large}) {
                const std::string port = std::to_string(server->port());
                const std::string scheme = client.webSocket ? "ws://" : "http://";
                std::vector<std::string> words{client.path};
                if (c.proxied) {
                    words.insert(words.end(), {scheme + c.status + "-length/", "--proxy",
                                               "127.0.0.1:" + port});
                } else {
                    words.push_back(scheme + "127.0.0.1:" + port + "/" + c.status + "/length");
                }
                runs.push_back([words, expected = c.exitCode] {
                    const Run run = Spawn(words);
                    return run.exitCode == expected ? run.peakKiB / 1024.0 : 0;
                });
            }
        }
    }
    const auto results = Interleaved(options.rounds, runs);
    std::printf("\npeak memory of an answer that refuses, MiB: a body of 1 KiB, and of %zu MiB\n"
                "  %-22s %-12s %10s %10s  ratio\n",
                mebibytes, "", "answer", "1 KiB", (std::to_string(mebibytes) + " MiB").c_str());
    bool ok = true;
    for (std::size_t row = 0; row < rows.size(); ++row) {
        const Spread withSmall = SpreadOf(results[row * 2]);
        const Spread withLarge = SpreadOf(results[row * 2 + 1]);
        ok = ok && withSmall.low > 0 && withLarge.low > 0;
        std::printf("  %-22s %-12s %10.1f %10.1f  %.2f\n", rows[row].first->name.c_str(),
                    rows[row].second->name, withSmall.median, withLarge.median,
                    withSmall.median > 0 ? withLarge.median / withSmall.median : 0);
    }
    return ok;
}

}  // namespace

int main(int argc, char** argv) {
    const auto usage = UsageOf(argc > 0 ? argv[0] : "net-http-bench");
    if (usage.helpRequested(argc, argv)) {
        return 0;
    }
    const char* program = argc > 0 ? argv[0] : "net-http-bench";
    std::string problem;
    const auto parsed = ParseArguments(argc, argv, problem);
    if (!parsed) {
        return usage.refuse(problem);
    }
    const Options& options = *parsed;

    testsupport::TempDir folder("quorvane-net-bench");
    // The library logs as a program does: into its text log, at info and up.
    if (options.loggerInit) {
        common::Logger::setLogFolder(folder.path());
        common::Logger::init("NetHttpBench", program, helper::ApplicationType::ComponentTest,
                             {common::logsink::rotatingFile});
    } else {
        // A program that never calls init says so, as net-get does: every
        // record is then dropped by one check.
        common::Logger::setEarlyLevel(common::loglevel::off);
    }
    std::printf("medians of %d interleaved rounds (lowest - highest)%s\n", options.rounds,
                options.loggerInit ? "" : ", logger not initialised");
    for (std::size_t i = 0; options.netGets.size() > 1 && i < options.netGets.size(); ++i) {
        std::printf("%s: %s\n", NetGetName(options, i).c_str(), options.netGets[i].c_str());
    }
    if (options.refusals && options.netWss.size() > 1) {
        for (std::size_t i = 0; i < options.netWss.size(); ++i) {
            std::printf("net-ws %zu: %s\n", i + 1, options.netWss[i].c_str());
        }
    }
    if (options.refusals) {
        const bool ok = MeasureRefusals(options, folder, options.largeMiB);
        if (!ok) {
            std::fprintf(stderr, "%s: a run ended otherwise than it should; it counts as 0\n",
                         program);
        }
        return ok ? 0 : 1;
    }
    if (options.errorBodies) {
        const bool ok = MeasureErrorBodies(options, folder, options.largeMiB);
        if (!ok) {
            std::fprintf(stderr, "%s: a run ended otherwise than it should; it counts as 0\n", program);
        }
        return ok ? 0 : 1;
    }
    std::filesystem::create_directory(folder.file("root"));
    std::filesystem::create_directory(folder.file("root/gz"));
    if (options.gzip && !writeTextAndGzip(folder.file("root/text.bin"),
                                          folder.file("root/gz/text.bin"), options.largeMiB)) {
        std::fprintf(stderr, "%s: the gzip-coded body could not be written\n", program);
        return 1;
    }
    writeRandomFile(folder.file("root/64.bin"), 64);
    writeRandomFile(folder.file("root/16k.bin"), 16 << 10);
    if (options.downloads && options.only.empty() && !options.gzip) {
        writeRandomFile(folder.file("root/small.bin"), options.smallMiB << 20);
        writeRandomFile(folder.file("root/large.bin"), options.largeMiB << 20);
    }
    networktest::TestCertificates certificates(folder.path());
    certificates.make("localhost", {"localhost", {"localhost"}});
    ::setenv("SSL_CERT_FILE", certificates.caFile().c_str(), 1);
    std::optional<testsupport::ScriptServer> nginx;
    startOnProcessor(options.serverCpu, [&] {
        nginx.emplace(std::string(NETWORK_TEST_SUPPORT_DIR) + "/nginx_test_server.py",
                      std::vector<std::string>{folder.path(), folder.file("root"), "2",
                                               certificates.certificateFile("localhost"),
                                               certificates.keyFile("localhost")});
    });
    const int port = nginx->readyNumber("port").value_or(0);
    const int tlsPort = nginx->readyNumber("tls_port").value_or(0);
    if (port == 0 || tlsPort == 0) {
        std::fprintf(stderr, "%s: nginx did not start\n", program);
        return 1;
    }
    const std::string base = "http://127.0.0.1:" + std::to_string(port);

    bool ok = true;
    if (options.gzip) {
        ok = MeasureDownload(options, folder, base + "/gz/text.bin", options.largeMiB, "", true);
        ok = MeasureDownload(options, folder, base + "/text.bin", options.largeMiB) && ok;
        if (!ok) {
            std::fprintf(stderr, "%s: a client failed; its rounds count as 0\n", program);
        }
        return ok ? 0 : 1;
    }
    for (const auto& [target, body, name] : {std::tuple{"/64.bin", "64 B", "64"},
                                             std::tuple{"/16k.bin", "16 KiB", "16k"}}) {
        for (const int connections : {1, 8}) {
            if ((options.body.empty() || options.body == name) &&
                (options.connections == 0 || options.connections == connections)) {
                ok = MeasureRequests(options, port, target, body, connections) && ok;
            }
        }
    }
    if (options.downloads && options.only.empty()) {
        const std::string tlsBase = "https://localhost:" + std::to_string(tlsPort);
        ok = MeasureDownload(options, folder, base + "/large.bin", options.largeMiB) && ok;
        ok = MeasureDownload(options, folder, base + "/small.bin", options.smallMiB) && ok;
        ok = MeasureDownload(options, folder, tlsBase + "/large.bin", options.largeMiB,
                             certificates.caFile()) && ok;
        ok = MeasureDownload(options, folder, tlsBase + "/small.bin", options.smallMiB,
                             certificates.caFile()) && ok;
    }
    if (!ok) {
        std::fprintf(stderr, "%s: a client failed; its rounds count as 0\n", program);
    }
    return ok ? 0 : 1;
}
