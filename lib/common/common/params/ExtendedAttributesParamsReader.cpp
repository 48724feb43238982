#include "common/params/ExtendedAttributesParamsReader.h"

#include <cerrno>
#include <cstring>
#include <vector>

#include <rapidjson/error/en.h>

#include "common/params/JsonValueText.h"
#include "common/params/ParamsDump.h"
#include "common/utils/JsonNesting.h"
#include "platform/foundation/Bundle.h"
#include "platform/posix/ExtendedAttributes.h"

namespace common {

namespace {

constexpr std::size_t kParseStackCapacity = 1024;

rapidjson::Value::StringRefType keyRef(const std::string& key) {
    return rapidjson::StringRef(key.data(), key.size());
}

}  // namespace

ExtendedAttributesParamsReader::ExtendedAttributesParamsReader(const std::string& attributeName)
    : document_(nullptr, kParseStackCapacity),
      logger_(createLogger("ExtendedAttributesParamsReader")) {
    parse(readAttribute(attributeName));
}

ExtendedAttributesParamsReader::~ExtendedAttributesParamsReader() = default;

std::string ExtendedAttributesParamsReader::readAttribute(const std::string& attributeName) {
    const std::string bundle = platform::foundation::Bundle::main().bundlePath;
    ssize_t length = platform::posix::getxattr(bundle, attributeName, nullptr, 0, 0, 0);
    if (length < 0) {
        if (errno == platform::posix::kNoAttribute) {
            logger_->info("Extended Attribute not found");
        } else {
            logger_->warn("Get extended attributes for length failed, error: %d", errno);
            problem_ = std::string("it cannot be read: ") + std::strerror(errno);
        }
        return {};
    }
    if (length == 0) {
        return {};
    }

    // The attribute may change between asking for its length and reading it:
    // only the bytes actually read count, and a grown attribute is asked for
    // once more.
    std::vector<char> buffer;
    ssize_t read = -1;
    for (int attempt = 0; attempt < 2; ++attempt) {
        buffer.assign(static_cast<std::size_t>(length) + 1, '\0');
        read = platform::posix::getxattr(bundle, attributeName, buffer.data(),
                                         static_cast<std::size_t>(length), 0, 0);
        if (read >= 0 || errno != ERANGE || attempt == 1) {
            break;
        }
        const ssize_t grown = platform::posix::getxattr(bundle, attributeName, nullptr, 0, 0, 0);
        if (grown < 1) {
            break;
        }
        length = grown;
    }
    if (read <= 0) {
        if (read < 0) {
            problem_ = std::string("it cannot be read: ") + std::strerror(errno);
            logger_->warn("Get extend attributes. Length is %ld", static_cast<long>(length));
        }
        return {};
    }
    const std::size_t size = ::strnlen(buffer.data(), static_cast<std::size_t>(read));
    std::string text(buffer.data(), size);
    logger_->info("Extend attributes: %s", text.c_str());
    return text;
}

void ExtendedAttributesParamsReader::parse(const std::string& text) {
    if (jsonNestsDeeperThan(text)) {
        logger_->warn("Extended attributes refused: JSON nested deeper than %zu levels",
                      kMaxJsonNesting);
        problem_ = "its JSON is nested deeper than " + std::to_string(kMaxJsonNesting) + " levels";
    } else if (!text.empty()) {
        document_.Parse<kParamsJsonParseFlags>(text.data(), text.size());
        if (document_.HasParseError()) {
            logger_->warn(
                "Parse error occured from extended attributes. Error message: %s Attributes "
                "string: %s, ",
                rapidjson::GetParseError_En(document_.GetParseError()), text.c_str());
            // Stray bytes after a flat object: read the text up to its first
            // closing brace.
            const auto brace = text.find('}');
            if (brace != std::string::npos) {
                const std::string shortened = text.substr(0, brace + 1);
                document_.Parse<kParamsJsonParseFlags>(shortened.data(), shortened.size());
                if (document_.HasParseError()) {
                    logger_->warn(
                        "Parse error occured again from extended attributes. Error message: %s "
                        "Attributes string: %s",
                        rapidjson::GetParseError_En(document_.GetParseError()), shortened.c_str());
                }
            }
        }
    }
    if (problem_.empty() && !text.empty() && document_.HasParseError()) {
        problem_ = std::string("it is not valid JSON: ") +
                   rapidjson::GetParseError_En(document_.GetParseError()) + " (at byte " +
                   std::to_string(document_.GetErrorOffset()) + ")";
    } else if (problem_.empty() && !text.empty() && !document_.IsObject()) {
        problem_ = "it is not a JSON object";
    }
    if (!document_.IsObject()) {
        document_.SetObject();
    }
    containerTexts_ = containerTexts(document_);
}

IParams::AccessLevel ExtendedAttributesParamsReader::accessLevel() const {
    return accessLevel_;
}

std::string ExtendedAttributesParamsReader::getValue(const std::string& key,
                                                     const std::string& defaultValue) const {
    const auto member = document_.FindMember(keyRef(key));
    if (member == document_.MemberEnd()) {
        return defaultValue;
    }
    const auto container = containerTexts_.find(key);
    return container != containerTexts_.end() ? container->second : jsonValueToText(member->value);
}

bool ExtendedAttributesParamsReader::setValue(const std::string& /*key*/,
                                              const std::string& /*value*/, bool /*flag*/) {
    return false;
}

bool ExtendedAttributesParamsReader::hasValue(const std::string& key) const {
    return document_.FindMember(keyRef(key)) != document_.MemberEnd();
}

bool ExtendedAttributesParamsReader::removeValue(const std::string& /*key*/) {
    return false;
}

std::set<std::string> ExtendedAttributesParamsReader::keys() const {
    std::set<std::string> names;
    for (const auto& member : document_.GetObject()) {
        names.emplace(member.name.GetString(), member.name.GetStringLength());
    }
    return names;
}

std::string ExtendedAttributesParamsReader::dump() const {
    return dumpParams(*this);
}

}  // namespace common
