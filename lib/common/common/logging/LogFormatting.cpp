#include "common/logging/LogFormatting.h"

#include <algorithm>
#include <string_view>
#include <vector>

#include <rapidjson/document.h>
#include <rapidjson/error/en.h>

#include "common/logging/ILogger.h"
#include "common/logging/StructuredRecord.h"
#include "common/utils/JsonNesting.h"

namespace common {

namespace {

constexpr std::string_view kSensitiveMarker = "{\"sensitive\":";
constexpr const char* kMask = "***";

thread_local int t_formattingDepth = 0;
thread_local bool t_flushing = false;
thread_local std::vector<std::string> t_deferredReports;

const char* parseErrorText(rapidjson::ParseErrorCode code) {
    if (code >= rapidjson::kParseErrorDocumentEmpty && code <= rapidjson::kParseErrorTermination) {
        return rapidjson::GetParseError_En(code);
    }
    return "Unknown error.";
}

void report(const std::string& text) {
    if (t_formattingDepth > 0) {
        // Every sink formats the same record; report it once.
        if (t_deferredReports.empty() || t_deferredReports.back() != text) {
            t_deferredReports.push_back(text);
        }
        return;
    }
    createLogger("json_deserialize")->log(loglevel::error, text);
}

}  // namespace

void maskSensitiveSpans(std::string& text) {
    // Each span is copied past once: a mask never forms a new marker (it
    // holds no brace), so the search goes on from the span's closing brace.
    auto start = text.find(kSensitiveMarker);
    if (start == std::string::npos) {
        return;
    }
    std::string masked;
    masked.reserve(text.size());
    std::size_t from = 0;
    while (start != std::string::npos) {
        masked.append(text, from, start - from);
        masked += kMask;
        from = text.find('}', start + kSensitiveMarker.size());
        if (from == std::string::npos) {
            break;
        }
        start = text.find(kSensitiveMarker, from);
    }
    if (from != std::string::npos) {
        masked.append(text, from, std::string::npos);
    }
    text = std::move(masked);
}

void sanitizeMessage(std::string& text) {
    text.erase(std::remove(text.begin(), text.end(), '\\'), text.end());
    maskSensitiveSpans(text);
}

void maskSensitiveFields(StructuredRecord& record) {
    for (auto& [key, value] : record.fields) {
        if (key == "sensitive") {
            value = std::string(kMask);
        } else if (auto* text = std::get_if<std::string>(&value)) {
            maskSensitiveSpans(*text);
        }
    }
}

bool json_deserialize(const std::string& text, StructuredRecord& record) {
    rapidjson::Document document;
    // Text nested deeper than any record is not parsed: it stays plain text.
    const bool tooDeep = jsonNestsDeeperThan(text);
    if (!tooDeep) {
        document.Parse(text.c_str(), text.size());
    }
    if (tooDeep || document.HasParseError()) {
        std::string message =
            "Unable to convert json: " + text.substr(0, ILogger::kFormatBufferSize) + ", error: " +
            (tooDeep ? "Nested too deeply." : parseErrorText(document.GetParseError()));
        if (message.size() >= ILogger::kFormatBufferSize) {
            message.resize(ILogger::kFormatBufferSize - 1);
        }
        report(message);
        return false;
    }
    return fromJson(record, document);
}

SinkFormattingScope::SinkFormattingScope() {
    ++t_formattingDepth;
}

SinkFormattingScope::~SinkFormattingScope() {
    --t_formattingDepth;
}

void flushDeferredLogReports() {
    if (t_formattingDepth > 0 || t_flushing || t_deferredReports.empty()) {
        return;
    }
    t_flushing = true;
    std::vector<std::string> reports;
    reports.swap(t_deferredReports);
    auto channel = createLogger("json_deserialize");
    for (const auto& text : reports) {
        channel->log(loglevel::error, text);
    }
    t_flushing = false;
}

}  // namespace common
