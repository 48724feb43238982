#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "ManualTaskScheduler.h"
#include "RecordingLogger.h"
#include "interprocess/Transport.h"

using namespace interprocess;
using Clock = std::chrono::steady_clock;

namespace {

// Keeps what the transport hands it; sends always succeed.
class SentTexts : public IConnection {
public:
    explicit SentTexts(std::vector<std::string>& sent) : sent_(sent) {}
    void connect(const std::string&, std::function<void(bool)>) override {}
    void disconnect() override {}
    void listen() override {}
    void send(const std::string& text, std::function<void(bool)> callback) override {
        sent_.push_back(text);
        callback(true);
    }
    bool sendSync(const std::string&) override { return false; }
    std::string linkName() override { return "Own"; }
    std::string name() override { return "Peer"; }

private:
    std::vector<std::string>& sent_;
};

class TransportTest : public ::testing::Test {
protected:
    void SetUp() override {
        transport = std::make_unique<Transport>(
            std::make_unique<SentTexts>(sent), scheduler->createQueue("Transport"),
            std::make_unique<testsupport::RecordingLogger>(lines), [this] { return now; });
    }

    // The resend tick, `seconds` after the start.
    void tickAt(int seconds) {
        now = start + std::chrono::seconds(seconds);
        scheduler->runOne("", true);
    }

    std::shared_ptr<testsupport::RecordingLogger::Lines> lines =
        std::make_shared<testsupport::RecordingLogger::Lines>();
    std::shared_ptr<testsupport::ManualTaskScheduler> scheduler =
        std::make_shared<testsupport::ManualTaskScheduler>(lines);
    const Clock::time_point start = Clock::now();
    Clock::time_point now = start;
    std::vector<std::string> sent;
    std::unique_ptr<ITransport> transport;
};

}  // namespace

TEST_F(TransportTest, AtLeastOnceIsResentEverySecondUntilSixSecondsOld) {
    std::vector<bool> results;
    transport->send("{\"a\":1}", ITransport::QOS::LeastOnce, [&](bool ok) { results.push_back(ok); });
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].substr(0, 15), R"({"data":{"id":")");
    EXPECT_EQ(sent[0].substr(25), R"(","json":"{\"a\":1}","$":"Message"}})");
    for (int second = 1; second <= 5; ++second) {
        tickAt(second);
        ASSERT_EQ(sent.size(), 1u + second) << "tick " << second;
        EXPECT_EQ(sent.back(), sent.front()) << "tick " << second;
        EXPECT_TRUE(results.empty()) << "tick " << second;
    }
    tickAt(6);
    EXPECT_EQ(sent.size(), 6u);
    EXPECT_EQ(results, std::vector<bool>{false});
    tickAt(7);
    EXPECT_EQ(results.size(), 1u);
}

TEST_F(TransportTest, AnAckEndsTheResendingAndTheRestHearFalseOnce) {
    std::vector<std::string> results;
    for (const char* name : {"acked", "kept"}) {
        transport->send("{}", ITransport::QOS::LeastOnce,
                        [&results, name](bool ok) { results.push_back(name + std::string(ok ? "+" : "-")); });
    }
    const std::string id = sent[0].substr(15, 10);
    auto& delegate = dynamic_cast<IConnectionDelegate&>(*transport);
    SentTexts dummy(sent);
    const std::string ack = R"({"data":{"id":")" + id + R"(","$":"Ack"}})";
    delegate.onConnectionDataReceived(dummy, ack);
    delegate.onConnectionDataReceived(dummy, ack);
    EXPECT_EQ(results, std::vector<std::string>{"acked+"});
    tickAt(1);
    EXPECT_EQ(sent.size(), 3u) << "only the unacknowledged one is resent";

    EXPECT_THROW(transport->send("{}", ITransport::QOS::ExactlyOnce), std::logic_error);
    transport.reset();
    EXPECT_EQ(results, (std::vector<std::string>{"acked+", "kept-"}));
}
