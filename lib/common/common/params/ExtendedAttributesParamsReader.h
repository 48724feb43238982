#pragma once

#include <map>
#include <memory>
#include <string>

#include <rapidjson/document.h>

#include "common/logging/ILogger.h"
#include "common/params/IParams.h"

namespace common {

// The read-only parameter layer held in an extended attribute of the
// program's own bundle: the attribute's text is one JSON object whose
// members are the parameters (keys case-sensitive). A missing, unreadable or
// malformed attribute, or one nested deeper than kMaxJsonNesting, gives a
// layer without values.
class ExtendedAttributesParamsReader : public IParams {
public:
    explicit ExtendedAttributesParamsReader(const std::string& attributeName);
    ~ExtendedAttributesParamsReader() override;

    void lock() override {}
    void unlock() override {}
    AccessLevel accessLevel() const override;

    // The member's value as text (see jsonValueToText).
    std::string getValue(const std::string& key, const std::string& defaultValue) const override;
    // Refused: always false.
    bool setValue(const std::string& key, const std::string& value, bool flag) override;
    bool hasValue(const std::string& key) const override;
    // Refused: always false.
    bool removeValue(const std::string& key) override;
    std::set<std::string> keys() const override;
    std::string dump() const override;

    // Why an attribute that is there gave no values, in words ("it is not
    // valid JSON: ..."); empty when it was read or is absent.
    const std::string& problem() const { return problem_; }

private:
    std::string readAttribute(const std::string& attributeName);
    void parse(const std::string& text);

    rapidjson::Document document_;
    std::map<std::string, std::string> containerTexts_;
    std::unique_ptr<ILogger> logger_;
    AccessLevel accessLevel_ = ReadOnly;
    std::string problem_;
};

}  // namespace common
