#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "ManualTaskScheduler.h"
#include "RecordingLogger.h"
#include "interprocess/Connection.h"

using namespace interprocess;

namespace {

// A data link that keeps the completions of what is sent, for the test to
// answer later.
class HeldSends : public IAsynchronousDataLink {
public:
    bool init() override { return true; }
    void send(const std::string&, const std::string& text, std::function<void(bool)> callback, bool,
              bool) override {
        texts.push_back(text);
        callbacks.push_back(std::move(callback));
    }
    bool sendSync(const std::string, const std::string) override { return false; }
    std::string name() override { return "Own"; }
    bool stop() override { return markStopped(); }

    std::vector<std::string> texts;
    std::vector<std::function<void(bool)>> callbacks;
};

}  // namespace

TEST(ConnectionTest, ASendResultArrivingAfterTheConnectionIsGoneOnlyAnswersTheCaller) {
    auto lines = std::make_shared<testsupport::RecordingLogger::Lines>();
    auto scheduler = std::make_shared<testsupport::ManualTaskScheduler>(lines);
    auto link = std::make_shared<HeldSends>();
    std::vector<bool> answers;
    auto connection = std::make_unique<Connection>(
        link, *scheduler, std::make_unique<testsupport::RecordingLogger>(lines));
    connection->connect("Peer", [&](bool ok) { answers.push_back(ok); });
    for (int i = 0; i < 10 && link->texts.empty(); ++i) {
        scheduler->runOne("", true);
    }
    ASSERT_EQ(link->texts, std::vector<std::string>{R"({"command":{"to":"Peer","from":"Own","$":"ConnectTo"}})"});

    connection.reset();
    EXPECT_TRUE(answers.empty());
    // The link reports the ConnectTo queued after the connection is gone.
    link->callbacks.front()(true);
    link->callbacks.clear();
    EXPECT_EQ(answers, std::vector<bool>{false});
}
