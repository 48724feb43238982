#include "common/AssertionHandler.h"

#include <string>

#include <boost/assert.hpp>

#include "common/logging/ILogger.h"

namespace common {

namespace {

const char* orEmpty(const char* text) {
    return text ? text : "";
}

}  // namespace

void assertionFailed(const char* expression, const char* message, const char* function,
                     const char* file, long line) {
    std::string text = orEmpty(file);
    text += ':';
    text += std::to_string(line);
    text += " Assertion failed:(";
    text += orEmpty(expression);
    text += ") with message: \"";
    text += orEmpty(message);
    text += "\" in function ";
    text += orEmpty(function);
    createLogger("assert")->log(loglevel::error, text);
}

}  // namespace common

namespace boost {

void assertion_failed_msg(char const* expr, char const* msg, char const* function, char const* file,
                          long line) {
    common::assertionFailed(expr, msg, function, file, line);
}

void assertion_failed(char const* expr, char const* function, char const* file, long line) {
    common::assertionFailed(expr, nullptr, function, file, line);
}

}  // namespace boost
