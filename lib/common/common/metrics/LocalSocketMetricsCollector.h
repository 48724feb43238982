#pragma once

#include "common/metrics/IMetricsCollector.h"

namespace common {
class ILogger;
}

namespace common::metrics {

// Writes each event as a structured record on a log channel, so that it
// reaches every sink: "tag=" lines in the text files, typed JSON records on
// the JSON sinks. The channel is not owned and must outlive the collector.
class LocalSocketMetricsCollector : public IMetricsCollector {
public:
    explicit LocalSocketMetricsCollector(ILogger& logger);

    // At info level.
    void collect(const StructuredRecord& record) override;
    // At error level.
    void collectError(const StructuredRecord& record) override;
    // Nothing to do: every record is flushed as it is written.
    void flush() override;

private:
    ILogger& logger_;
};

}  // namespace common::metrics
