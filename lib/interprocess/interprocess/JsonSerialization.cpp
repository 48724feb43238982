#include "interprocess/JsonSerialization.h"

#include <cxxabi.h>

#include <cstdlib>
#include <memory>

#include <rapidjson/error/en.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include "common/logging/ILogger.h"

namespace interprocess::json {

namespace {

const char* parseErrorText(rapidjson::ParseErrorCode code) {
    if (code >= rapidjson::kParseErrorDocumentEmpty && code <= rapidjson::kParseErrorTermination) {
        return rapidjson::GetParseError_En(code);
    }
    return "Unknown error.";
}

// The deepest nesting of arrays and objects in `text`, brackets inside
// strings not counted; stops counting once `limit` is passed.
std::size_t nestingDepth(const std::string& text, std::size_t limit) {
    std::size_t depth = 0;
    std::size_t deepest = 0;
    bool inString = false;
    bool escaped = false;
    for (const char c : text) {
        if (inString) {
            if (escaped) {
                escaped = false;
            } else if (c == '\\') {
                escaped = true;
            } else if (c == '"') {
                inString = false;
            }
        } else if (c == '"') {
            inString = true;
        } else if (c == '{' || c == '[') {
            if (++depth > deepest && (deepest = depth) > limit) {
                break;
            }
        } else if ((c == '}' || c == ']') && depth > 0) {
            --depth;
        }
    }
    return deepest;
}

void report(common::ILogger* logger, const std::string& text, const char* error) {
    std::unique_ptr<common::ILogger> own;
    if (logger == nullptr) {
        own = common::createLogger("json_deserialize");
        logger = own.get();
    }
    logger->error("Unable to convert json: %s, error: %s", text.c_str(), error);
}

}  // namespace

std::string tagOf(const std::type_info& type) {
    int status = 0;
    std::unique_ptr<char, void (*)(void*)> demangled(
        abi::__cxa_demangle(type.name(), nullptr, nullptr, &status), std::free);
    std::string name = status == 0 && demangled ? demangled.get() : type.name();
    for (const char* prefix : {"class ", "struct "}) {
        if (name.rfind(prefix, 0) == 0) {
            name.erase(0, std::string(prefix).size());
        }
    }
    const auto colon = name.rfind(':');
    return colon == std::string::npos ? name : name.substr(colon + 1);
}

bool parse(const std::string& text, rapidjson::Document& document, common::ILogger* logger) {
    if (text.size() > kMaxTextSize) {
        report(logger, text.substr(0, 64) + "...", "The document is too large.");
        return false;
    }
    if (nestingDepth(text, kMaxDepth) > kMaxDepth) {
        report(logger, text, "The document is nested too deeply.");
        return false;
    }
    // Iterative: the parser's stack does not follow the nesting.
    document.Parse<rapidjson::kParseIterativeFlag>(text.data(), text.size());
    if (document.HasParseError()) {
        report(logger, text, parseErrorText(document.GetParseError()));
        return false;
    }
    return true;
}

std::string write(const rapidjson::Document& document) {
    rapidjson::StringBuffer buffer(nullptr, 256);
    rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
    document.Accept(writer);
    return std::string(buffer.GetString(), buffer.GetSize());
}

}  // namespace interprocess::json
