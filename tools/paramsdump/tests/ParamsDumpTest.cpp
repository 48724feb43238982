#include <gtest/gtest.h>

#include <tuple>

#include "support/AttributeFolder.h"
#include "support/ChildProcess.h"

using testsupport::runCommand;

namespace {

TEST(ParamsDumpTest, PrintsBothLayersEscapedAttributeFirst) {
    testsupport::AttributeFolder bundle;
    const std::string deep = std::string(1500, '[') + std::string(1500, ']');
    // Rows: the attribute, the layer it gives, the reason printed when it gives none.
    const std::tuple<std::string, std::string, std::string> cases[] = {
        {R"({"Lang": "de", "Proxy": {"Port": 8080}, "Url": "a\r\nLang: x\u001b[2J\\"})",
         "Lang: de\nProxy: {\"Port\":8080}\nUrl: a\\r\\nLang: x\\x1b[2J\\\\\n", ""},
        {"{\"Lang\": " + deep + "}", "", "nested deeper than"},
        {"{\"Lang\": \"de\",", "", "is not valid JSON"},
        {"[\"Lang\", \"de\"]", "", "is not a JSON object"},
    };
    for (const auto& [attribute, layer, problem] : cases) {
        if (!bundle.usable() || !bundle.set("com.wexo.quandel", attribute)) {
            GTEST_SKIP() << "no file system here keeps this user extended attribute";
        }
        const auto run = runCommand({PARAMSDUMP_PATH, bundle.path(), "-Lang", "fr", "-Debug"});
        EXPECT_EQ(problem.empty() ? 0 : 1, run.exitCode) << attribute << run.errors;
        EXPECT_EQ(problem.empty(), run.errors.find("gives no parameters: ") == std::string::npos)
            << attribute << run.errors;
        EXPECT_NE(std::string::npos, run.errors.find(problem)) << attribute << run.errors;
        EXPECT_EQ("Param layer Id: 3\n" + layer + "Param layer Id: 2\ndebug: 1\nlang: fr\n",
                  run.output);
    }
    EXPECT_EQ(1, runCommand({PARAMSDUMP_PATH, "/nonexistent/Installer.app"}).exitCode);
}

}  // namespace
