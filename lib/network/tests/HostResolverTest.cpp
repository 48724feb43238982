#include <gtest/gtest.h>

#include <chrono>

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
            // Every address the system gives is logged, numbered, with its family.
            EXPECT_TRUE(run.has("debug", "HostResolver", "[1]127.0.0.1") ||
                        run.has("debug", "HostResolver", "[1]::1"))
                << run.text();
            EXPECT_TRUE(run.hasPart("info", "Probe", "127.0.0.1:8080,")) << run.text();
        } else {
            EXPECT_TRUE(run.has("debug", "HostResolver", "[1]" + c.host)) << run.text();
        }
    }
}

}  // namespace
