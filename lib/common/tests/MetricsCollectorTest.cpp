#include <gtest/gtest.h>

#include "RecordingLogger.h"
#include "common/logging/StructuredRecord.h"
#include "common/metrics/LocalSocketMetricsCollector.h"

using namespace common;
using testsupport::RecordingLogger;

namespace {

// Events are structured records on the collector's channel: errors at error
// level, the others at info (how records are written is the logger's test).
TEST(MetricsCollectorTest, EventsAreStructuredRecordsOnTheChannel) {
    auto lines = std::make_shared<RecordingLogger::Lines>();
    RecordingLogger channel(lines);
    metrics::LocalSocketMetricsCollector collector(channel);
    collector.collect(StructuredRecord{"websocket-connected", {{"url", std::string("wss://a")}}});
    collector.collectError(StructuredRecord{"websocket-disconnected", {{"error", 3}}});
    collector.flush();
    EXPECT_EQ(1, lines->count(loglevel::info, "websocket-connected"));
    EXPECT_EQ(1, lines->count(loglevel::error, "websocket-disconnected"));
    EXPECT_EQ(0, lines->count(loglevel::info, "websocket-disconnected"));
}

}  // namespace
