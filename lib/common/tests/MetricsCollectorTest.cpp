#include <gtest/gtest.h>

#include <fstream>

#include "common/logging/ILogSender.h"
#include "common/logging/Logger.h"
#include "common/logging/StructuredRecord.h"
#include "common/metrics/LocalSocketMetricsCollector.h"
#include "support/LogCapture.h"
#include "support/ChildProcess.h"
#include "support/TempDir.h"

using namespace common;
using testsupport::readFile;
using testsupport::runInChild;
using testsupport::splitLines;

namespace {

class CollectingSender : public ILogSender {
public:
    void send(const std::string& record) override { records += record; }
    void flush() override {}
    std::string records;
};

bool hasLineEndingWith(const std::vector<std::string>& lines, const std::string& end) {
    for (const auto& line : lines) {
        if (line.ends_with(end)) {
            return true;
        }
    }
    return false;
}

TEST(MetricsCollectorTest, EventsAreStructuredRecordsOnTheChannel) {
    testsupport::TempDir folder;
    const auto result = runInChild([&] {
        testsupport::forgetEarlyRecords();
        Logger::setLogFolder(folder.path());
        Logger::init("Test", "/x/Installer", helper::ApplicationType::UnattendedUpdater,
                     {logsink::rotatingFile, logsink::localSocket});
        auto channel = createLogger("WebSocket");
        metrics::LocalSocketMetricsCollector collector(*channel);
        const StructuredRecord connected{"websocket-connected",
                                         {{"url", std::string("wss://host.test/a")}}};
        collector.collect(connected);
        collector.collectError(StructuredRecord{"websocket-disconnected", {{"error", 3}}});
        collector.collect(StructuredRecord{"", {{"dropped", 1u}}});
        collector.flush();
        auto sender = std::make_shared<CollectingSender>();
        Logger::attachLogSender(sender);
        std::ofstream(folder.file("json")) << sender->records;
        return 0;
    });
    ASSERT_TRUE(result.exited);
    ASSERT_EQ(0, result.exitCode);

    const auto text = splitLines(readFile(folder.file("Installer.log")));
    EXPECT_TRUE(hasLineEndingWith(
        text, R"([info] [WebSocket] tag=websocket-connected, url="wss://host.test/a")"));
    EXPECT_TRUE(
        hasLineEndingWith(text, R"([error] [WebSocket] tag=websocket-disconnected, error="3")"));
    EXPECT_TRUE(hasLineEndingWith(text, R"([info] [WebSocket] tag=, dropped="1")"));

    const std::string json = readFile(folder.file("json"));
    EXPECT_NE(std::string::npos,
              json.find(R"("level":"info","app":"UnattendedUpdater","facility":"WebSocket",)"
                        R"("message":"tag=websocket-connected, url=\"wss://host.test/a\"",)"
                        R"("sessionId":"","tag":"websocket-connected","url":"wss://host.test/a"})"))
        << json;
    EXPECT_NE(std::string::npos, json.find(R"("level":"error")"));
    // An event without a tag carries neither the tag nor its fields.
    EXPECT_NE(std::string::npos, json.find(R"("message":"tag=, dropped=\"1\"","sessionId":""})"))
        << json;
}

}  // namespace
