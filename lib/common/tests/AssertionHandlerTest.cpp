#include <gtest/gtest.h>

#include <boost/assert.hpp>

#include "common/logging/Logger.h"
#include "support/LogCapture.h"
#include "support/TempDir.h"

namespace {

int g_after = 0;
constexpr long g_assertLine = 16;

void failingFunction() {
    constexpr long kAssertLine = __LINE__ + 1;
    BOOST_ASSERT_MSG(false, "m");
    static_assert(kAssertLine == g_assertLine);
    g_after = 1;
}

TEST(AssertionHandlerTest, LogsOnAssertChannelAndExecutionGoesOn) {
    testsupport::TempDir folder;
    const auto result = testsupport::runInChild([&] {
        testsupport::forgetEarlyRecords();
        common::Logger::setLogFolder(folder.path());
        common::Logger::init("Test", "/bin/probe", helper::ApplicationType::ComponentTest,
                             {common::logsink::rotatingFile});
        failingFunction();
        BOOST_ASSERT(1 + 1 == 3);
        return g_after == 1 ? 0 : 2;
    });
    ASSERT_TRUE(result.exited);
    ASSERT_EQ(0, result.exitCode) << "the statement after the assertion did not run";
    const auto text = testsupport::readFile(folder.file("probe.log"));
    const std::string expected = std::string("[error] [assert] ") + __FILE__ + ":" +
                                 std::to_string(g_assertLine) +
                                 " Assertion failed:(false) with message: \"m\" in function "
                                 "void {anonymous}::failingFunction()";
    EXPECT_NE(std::string::npos, text.find(expected)) << text;
    EXPECT_NE(std::string::npos,
              text.find("Assertion failed:(1 + 1 == 3) with message: \"\" in function "))
        << text;
}

}  // namespace
