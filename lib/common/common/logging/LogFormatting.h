#pragma once

#include <string>

namespace common {

struct StructuredRecord;

// Removes every backslash, then replaces each span from the marker
// {"sensitive": up to (not including) the next closing brace with "***".
void sanitizeMessage(std::string& text);

// Replaces sensitive spans as sanitizeMessage does, leaving backslashes alone.
void maskSensitiveSpans(std::string& text);

// Masks what a structured record marks as sensitive: the value of a field
// named "sensitive" becomes "***", and sensitive spans inside string values
// are masked.
void maskSensitiveFields(StructuredRecord& record);

// Parses `text` as JSON and fills `record` from its root object. A parse
// failure is reported on the channel "json_deserialize". When called while a
// log sink is formatting on this thread, the report is held back and written
// once the record has left the sinks (see flushDeferredLogReports), so that
// it never re-enters a sink that is busy.
bool json_deserialize(const std::string& text, StructuredRecord& record);

// Marks the calling thread as formatting inside a sink while it lives.
class SinkFormattingScope {
public:
    SinkFormattingScope();
    ~SinkFormattingScope();
    SinkFormattingScope(const SinkFormattingScope&) = delete;
    SinkFormattingScope& operator=(const SinkFormattingScope&) = delete;
};

// Writes the reports held back on this thread; a no-op while the thread is
// formatting inside a sink.
void flushDeferredLogReports();

}  // namespace common
