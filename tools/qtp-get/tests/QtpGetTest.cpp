#include <gtest/gtest.h>

#include <fstream>
#include <memory>

#include "support/ChildProcess.h"
#include "support/ScriptServer.h"
#include "support/TempDir.h"

namespace {

using testsupport::readFile;
using testsupport::runCommand;

constexpr const char* kTool = QTP_GET_PATH;

class QtpGetTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::ofstream(root_.file("greeting.txt")) << "hello through the platform\n";
        server_ = std::make_unique<testsupport::ScriptServer>(
            testsupport::testSupportDirectory() + "/http_test_server.py",
            std::vector<std::string>{"--journal", scratch_.file("journal.jsonl"), "--root",
                                     root_.path()});
        ASSERT_TRUE(server_->ready());
    }

    std::string url(const std::string& path) const {
        return "http://127.0.0.1:" + std::to_string(server_->readyNumber("http").value_or(0)) +
               path;
    }

    testsupport::ChildResult run(const std::vector<std::string>& arguments) {
        std::vector<std::string> argv{kTool};
        argv.insert(argv.end(), arguments.begin(), arguments.end());
        testsupport::CommandOptions options;
        options.environment = {
            "http_proxy=", "https_proxy=", "all_proxy=", "auto_proxy=", "HOME=" + scratch_.path()};
        options.timeout = std::chrono::seconds(60);
        return runCommand(argv, options);
    }

    testsupport::TempDir root_{"quorvane-web"};
    testsupport::TempDir scratch_{"quorvane-qtp-get"};
    std::unique_ptr<testsupport::ScriptServer> server_;
};

TEST_F(QtpGetTest, FetchesToStandardOutputOrIntoAFile) {
    auto fetched = run({url("/redirect/302?to=/files/greeting.txt")});
    ASSERT_TRUE(fetched.exited) << fetched.errors;
    EXPECT_EQ(0, fetched.exitCode) << fetched.errors;
    EXPECT_EQ("hello through the platform\n", fetched.output);

    const std::string target = scratch_.file("copy.txt");
    auto downloaded = run({url("/files/greeting.txt"), "-o", target});
    ASSERT_TRUE(downloaded.exited) << downloaded.errors;
    EXPECT_EQ(0, downloaded.exitCode) << downloaded.errors;
    EXPECT_EQ("", downloaded.output);
    EXPECT_EQ("hello through the platform\n", readFile(target));
}

TEST_F(QtpGetTest, ExitsWithTheQueryErrorCode) {
    auto missing = run({url("/files/none.txt")});
    ASSERT_TRUE(missing.exited);
    EXPECT_EQ(21, missing.exitCode);
    EXPECT_EQ("", missing.output);
    EXPECT_NE(std::string::npos, missing.errors.find("error 21 (HTTP status 404)"));

    auto failing = run({url("/status/503")});
    ASSERT_TRUE(failing.exited);
    EXPECT_EQ(32, failing.exitCode);

    auto unwritable = run({url("/files/greeting.txt"), "-o", scratch_.file("no/such/dir/x")});
    ASSERT_TRUE(unwritable.exited);
    EXPECT_EQ(19, unwritable.exitCode);
}

TEST_F(QtpGetTest, WrongCommandLinesShowTheUsage) {
    for (const auto& arguments : std::vector<std::vector<std::string>>{
             {}, {"-o"}, {url("/a"), url("/b")}, {"-x", url("/a")}}) {
        auto wrong = run(arguments);
        ASSERT_TRUE(wrong.exited);
        EXPECT_EQ(64, wrong.exitCode);
        EXPECT_NE(std::string::npos, wrong.errors.find("usage:"));
    }
}

}  // namespace
