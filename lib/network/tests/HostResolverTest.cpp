#include <gtest/gtest.h>

#include <chrono>

#include <boost/asio/ip/tcp.hpp>

#include "network/AsyncService.h"
#include "network/HostResolver.h"
#include "support/LogCapture.h"

namespace {

using namespace std::chrono_literals;

// Resolves `host` on a polled service and logs the outcome on the channel
// "Probe" as "calls=<n> error=<0|1> addresses=<a,b,...>".
int resolveAndReport(const std::string& host, std::uint16_t port) {
    auto service = std::make_shared<network::AsyncService>(true, "resolver", nullptr);
    auto resolver = std::make_shared<network::HostResolver>(service);
    int calls = 0;
    std::string report;
    resolver->Resolve({host, port}, [&](const boost::system::error_code& error,
                                        std::deque<network::ResolvedEndpoint>&& endpoints) {
        ++calls;
        report = std::string(" error=") + (error ? "1" : "0") + " addresses=";
        for (const auto& e : endpoints) {
            report += e.address.to_string() + ":" + std::to_string(e.port) + ",";
        }
    });
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    while (calls == 0 && std::chrono::steady_clock::now() < deadline) {
        service->GetIOContext().run_one_for(100ms);
    }
    service->GetIOContext().poll();
    common::createLogger("Probe")->info("calls=%d%s", calls, report.c_str());
    return 0;
}

// The addresses the system gives for a TCP service on `host`, in order.
std::vector<std::string> systemAddresses(const std::string& host) {
    boost::asio::io_context context;
    std::vector<std::string> addresses;
    for (const auto& entry : boost::asio::ip::tcp::resolver(context).resolve(
             host, "8080", boost::asio::ip::tcp::resolver::numeric_service)) {
        addresses.push_back(entry.endpoint().address().to_string());
    }
    return addresses;
}

TEST(HostResolverTest, LiteralLocalhostAndABadName) {
    struct Case {
        std::string host;
        std::uint16_t port;
        std::string outcome;  // what the probe line starts with
    };
    for (const auto& c : std::vector<Case>{
             {"127.0.0.1", 0, "calls=1 error=0 addresses=127.0.0.1:0,"},
             {"::1", 443, "calls=1 error=0 addresses=::1:443,"},
             {"localhost", 8080, "calls=1 error=0 addresses="},
             {"no-such-host.invalid", 80, "calls=1 error=1 addresses="}}) {
        const auto run = testsupport::runLogged([&] { return resolveAndReport(c.host, c.port); });
        ASSERT_TRUE(run.result.exited) << c.host;
        EXPECT_TRUE(run.hasPart("info", "Probe", c.outcome)) << c.host << "\n" << run.text();
        EXPECT_TRUE(run.has("debug", "HostResolver", "Resolving address " + c.host)) << c.host;
        if (c.host == "no-such-host.invalid") {
            EXPECT_TRUE(run.has("info", "Probe", c.outcome)) << "addresses after a failure";
            EXPECT_EQ(1, run.countOnChannel("HostResolver") - 1) << run.text();
            EXPECT_TRUE(run.hasPart("error", "HostResolver",
                                    "Address resolution failed when connecting to "
                                    "<no-such-host.invalid:80>; reason: "))
                << run.text();
        } else if (c.host == "localhost") {
            // Every address the system gives, of either family, is logged
            // numbered and handed over in the system's order.
            const auto expected = systemAddresses("localhost");
            ASSERT_FALSE(expected.empty());
            std::string handed = c.outcome;
            for (std::size_t i = 0; i < expected.size(); ++i) {
                EXPECT_TRUE(run.has("debug", "HostResolver",
                                    "[" + std::to_string(i + 1) + "]" + expected[i]))
                    << expected[i] << "\n" << run.text();
                handed += expected[i] + ":8080,";
            }
            EXPECT_TRUE(run.has("info", "Probe", handed)) << run.text();
        } else {
            EXPECT_TRUE(run.has("debug", "HostResolver", "[1]" + c.host)) << run.text();
        }
    }
}

}  // namespace
