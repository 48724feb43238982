#include "common/metrics/LocalSocketMetricsCollector.h"

#include "common/logging/ILogger.h"
#include "common/logging/StructuredRecord.h"

namespace common::metrics {

LocalSocketMetricsCollector::LocalSocketMetricsCollector(ILogger& logger) : logger_(logger) {}

void LocalSocketMetricsCollector::collect(const StructuredRecord& record) {
    logger_.log(loglevel::info, record);
}

void LocalSocketMetricsCollector::collectError(const StructuredRecord& record) {
    logger_.log(loglevel::error, record);
}

void LocalSocketMetricsCollector::flush() {}

}  // namespace common::metrics
