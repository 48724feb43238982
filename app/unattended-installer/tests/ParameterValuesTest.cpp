// The run's parameter texts as the README's table of parameters reads them:
// a boolean is one, or is refused; a number of seconds is clamped however
// long it is.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "ParameterValues.h"
#include "common/params/CommandLineParams.h"

using quorvane::unattended::booleanParameter;
using quorvane::unattended::booleanValue;
using quorvane::unattended::clampedWholeNumber;

namespace {

TEST(ParameterValuesTest, ABooleanIsTrueFalseOrAWholeNumberAndNothingElse) {
    const std::vector<std::pair<std::string, std::optional<bool>>> cases{
        {"true", true},
        {"TRUE", true},
        {" True\t", true},
        {"false", false},
        {"False", false},
        {"1", true},
        {"0", false},
        {"00", false},
        {"2", true},
        {"-3", true},
        {"+2", true},
        {" 1 ", true},
        {"9223372036854775807", true},
        {"-9223372036854775808", true},
        {"1.5", std::nullopt},
        {"0.0", std::nullopt},
        {"1abc", std::nullopt},
        {"1 2", std::nullopt},
        {"99999999999999999999", std::nullopt},
        {"9223372036854775808", std::nullopt},
        {"-9223372036854775809", std::nullopt},
        {"1e3", std::nullopt},
        {"0x1", std::nullopt},
        {"yes", std::nullopt},
        {"truely", std::nullopt},
        {"+", std::nullopt},
        {"-", std::nullopt},
        {"+-1", std::nullopt},
        {"", std::nullopt},
        {" ", std::nullopt},
    };
    for (const auto& [text, value] : cases) {
        EXPECT_EQ(value, booleanValue(text)) << "'" << text << "'";
    }
    // Absent, the default; present, what it reads as (even when empty).
    const common::CommandLineParams params({"x", "-Yes", "1", "-Junk", "1.5"});
    EXPECT_EQ(std::optional<bool>(false), booleanParameter(params, "Missing", false));
    EXPECT_EQ(std::optional<bool>(true), booleanParameter(params, "Missing", true));
    EXPECT_EQ(std::optional<bool>(true), booleanParameter(params, "yes", false));
    EXPECT_EQ(std::nullopt, booleanParameter(params, "junk", false));
}

// TransferTimeout's reading: whole seconds from 1 to 3600, 30 for a text
// that does not begin with a whole number.
TEST(ParameterValuesTest, AWholeNumberIsClampedHoweverManyDigitsItHas) {
    const std::vector<std::pair<std::string, long long>> cases{
        {"45", 45},
        {" 45", 45},
        {"+45", 45},
        {"45s", 45},
        {"1.9", 1},
        {"1", 1},
        {"0", 1},
        {"-5", 1},
        {"3600", 3600},
        {"3601", 3600},
        {"2147483647", 3600},
        {"2147483648", 3600},
        {"99999999999999999999999999", 3600},
        {"-2147483649", 1},
        {"-99999999999999999999999999", 1},
        {"", 30},
        {" ", 30},
        {"abc", 30},
        {"-", 30},
        {"+x", 30},
        {"s45", 30},
    };
    for (const auto& [text, value] : cases) {
        EXPECT_EQ(value, clampedWholeNumber(text, 1, 3600, 30)) << "'" << text << "'";
    }
    EXPECT_EQ(-100, clampedWholeNumber("-99999999999999999999", -100, 100, 0));
}

}  // namespace
