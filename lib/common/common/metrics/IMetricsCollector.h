#pragma once

namespace common {
struct StructuredRecord;
}

namespace common::metrics {

// Where a component reports its metrics events: structured records whose tag
// names the event.
class IMetricsCollector {
public:
    virtual ~IMetricsCollector() = default;

    virtual void collect(const StructuredRecord& record) = 0;
    // An event that reports a failure.
    virtual void collectError(const StructuredRecord& record) = 0;
    virtual void flush() = 0;
};

}  // namespace common::metrics
