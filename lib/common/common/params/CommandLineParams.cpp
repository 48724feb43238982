#include "common/params/CommandLineParams.h"

#include <cctype>

#include <boost/assert.hpp>

#include "common/params/ParamsDump.h"

namespace common {

namespace {

std::string lowerCase(std::string text) {
    for (char& c : text) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return text;
}

// The value of an option given alone.
const std::string kFlagValue = "1";

bool looksLikeOption(const std::string& argument) {
    return argument.size() >= 2 && argument[0] == '-';
}

}  // namespace

CommandLineParams::CommandLineParams(const std::vector<std::string>& arguments) {
    parse(arguments);
}

void CommandLineParams::parse(const std::vector<std::string>& arguments) {
    std::size_t i = 1;
    while (i < arguments.size()) {
        const std::string& argument = arguments[i];
        if (!looksLikeOption(argument)) {
            ++i;
            continue;
        }
        // Only one dash goes: "--Name" is the option "-name".
        const std::string name = lowerCase(argument.substr(1));
        if (i + 1 < arguments.size() && !looksLikeOption(arguments[i + 1])) {
            options_[name] = arguments[i + 1];
            i += 2;
        } else {
            options_[name] = kFlagValue;
            i += 1;
        }
    }
}

IParams::AccessLevel CommandLineParams::accessLevel() const {
    return accessLevel_;
}

std::string CommandLineParams::getValue(const std::string& key,
                                        const std::string& defaultValue) const {
    const auto found = options_.find(lowerCase(key));
    return found == options_.end() ? defaultValue : found->second;
}

bool CommandLineParams::setValue(const std::string& /*key*/, const std::string& /*value*/,
                                 bool /*flag*/) {
    return false;
}

bool CommandLineParams::hasValue(const std::string& key) const {
    return options_.count(lowerCase(key)) != 0;
}

bool CommandLineParams::removeValue(const std::string& key) {
    if (accessLevel_ == ReadOnly) {
        BOOST_ASSERT_MSG(false, "CommandLineParams value can't be removed in read-only mode");
        return false;
    }
    options_.erase(lowerCase(key));
    return true;
}

std::set<std::string> CommandLineParams::keys() const {
    std::set<std::string> names;
    for (const auto& [name, value] : options_) {
        names.insert(name);
    }
    return names;
}

std::string CommandLineParams::dump() const {
    return dumpParams(*this);
}

}  // namespace common
