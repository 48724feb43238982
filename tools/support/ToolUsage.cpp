#include "ToolUsage.h"

#include <cstring>
#include <iostream>
#include <utility>

namespace toolsupport {

ToolUsage::ToolUsage(const char* argv0, std::string synopsis, std::string details)
    : synopsis_(std::move(synopsis)), details_(std::move(details)) {
    const char* name = argv0 != nullptr && *argv0 != '\0' ? argv0 : "program";
    if (const char* slash = std::strrchr(name, '/'); slash != nullptr && slash[1] != '\0') {
        name = slash + 1;
    }
    name_ = name;
}

bool ToolUsage::helpRequested(int argc, char** argv) const {
    if (argc < 2 || (std::strcmp(argv[1], "--help") != 0 && std::strcmp(argv[1], "-h") != 0)) {
        return false;
    }
    print(std::cout);
    std::cout.flush();
    return true;
}

int ToolUsage::refuse(const std::string& reason) const {
    std::cerr << name_ << ": " << reason << "\n";
    print(std::cerr);
    return kUsageStatus;
}

int ToolUsage::fail(const std::string& message, int status) const {
    std::cerr << name_ << ": " << message << "\n";
    return status;
}

void ToolUsage::print(std::ostream& out) const {
    out << "usage: " << name_ << (synopsis_.empty() ? "" : " ") << synopsis_ << "\n" << details_;
}

void ToolUsage::takeUrl(const std::string& argument, std::string& url, std::string& error) {
    if (!argument.empty() && argument[0] == '-') {
        // What follows "=" may be a secret given to a misspelt option.
        const auto equals = argument.find('=');
        error = "unknown option '" +
                (equals == std::string::npos ? argument : argument.substr(0, equals + 1) + "...") +
                "'";
    } else if (!url.empty()) {
        error = "more than one URL ('" + url + "', '" + argument + "')";
    } else if (argument.empty()) {
        error = "the URL is empty";
    } else {
        url = argument;
    }
}

void ToolUsage::checkScheme(const std::string& url, const std::string& scheme,
                            std::initializer_list<const char*> schemes, std::string& error) {
    if (scheme.empty()) {
        return;
    }
    std::string names;
    for (const char* name : schemes) {
        if (scheme == name) {
            return;
        }
        names += (names.empty() ? "" : " or ") + std::string(name);
    }
    error = "the scheme of '" + url + "' is not " + names;
}

}  // namespace toolsupport
