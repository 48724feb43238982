// The elevated copy's parameter files as root, against the real install
// location: the package's "unattended.json" and the earlier install's,
// read as plain files within 1 MiB and strict JSON, and the device token
// carried from the one into the other. The cases share "/Library/Application
// Support", so CTest runs them one at a time.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <tuple>
#include <vector>

#include <boost/filesystem.hpp>

#include "RootCopyTest.h"
#include "support/ChildProcess.h"

namespace fs = boost::filesystem;
using installertest::Agent;
using installertest::contains;
using installertest::entries;
using installertest::InstallerBundle;
using installertest::RootCopyTest;
using installertest::treeOf;
using installertest::writeFile;
using testsupport::readFile;
using Lines = std::vector<std::string>;

namespace {

// The new package's parameter file and the earlier install's are read as
// plain files only: a link or a FIFO in their place is not followed, never
// blocks the run, and what it points at is neither read nor written.
TEST_F(RootCopyTest, ParameterFilesAreReadWithoutFollowingLinksOrWaitingOnFifos) {
    const std::string fifo = work_.file("fifo");
    ASSERT_EQ(0, ::mkfifo(fifo.c_str(), 0666));
    const std::string secret = work_.file("secret.json");
    writeFile(secret, R"({"DeviceToken": "stolen", "Secret": 1})");
    InstallerBundle installer("Setup_K_" + key_ + "_.app");
    struct Case {
        std::string what;
        std::string packageLink;  // the package's unattended.json links here
        std::string earlierLink;  // the earlier install's links here
        std::string token;        // the token the new file must hold, if any
    };
    const std::vector<Case> cases{
        {"package links to a FIFO", fifo, "", "kept"},
        {"package links to a file", secret, "", "kept"},
        {"earlier links to a file", "", secret, ""},
        {"earlier links to a FIFO", "", fifo, ""},
        {"earlier is a FIFO", "", "fifo", ""},
    };
    for (const auto& c : cases) {
        fs::remove_all(destination());
        fs::create_directories(destination());
        if (c.earlierLink == "fifo") {
            ASSERT_EQ(0, ::mkfifo((destination() + "/unattended.json").c_str(), 0600));
        } else if (!c.earlierLink.empty()) {
            fs::create_symlink(c.earlierLink, destination() + "/unattended.json");
        } else {
            writeFile(destination() + "/unattended.json", R"({"DeviceToken": "kept"})");
        }
        installertest::makeAgentPackage(package_, Agent{.jsonLink = c.packageLink});
        const auto begun = std::chrono::steady_clock::now();
        const auto result = startElevated(installer)->finish(std::chrono::seconds(20));
        EXPECT_LT(std::chrono::steady_clock::now() - begun, std::chrono::seconds(10)) << c.what;
        EXPECT_EQ("<exitcode>0</exitcode>\n", result.output) << c.what << installer.lastLog();
        const std::string installed = destination() + "/unattended.json";
        const std::string json = readFile(installed);
        EXPECT_FALSE(contains(json, "stolen")) << c.what << json;
        EXPECT_FALSE(contains(json, "Secret")) << c.what << json;
        if (!c.token.empty()) {
            EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(installed))) << c.what;
            EXPECT_TRUE(contains(json, "\"DeviceToken\": \"" + c.token + "\"")) << c.what << json;
        }
        EXPECT_EQ(R"({"DeviceToken": "stolen", "Secret": 1})", readFile(secret)) << c.what;
    }
}

// The package's parameter file is read up to 1 MiB: a larger one fails the
// install, with or without a token to carry over, and so does one that the
// token would take past 1 MiB; the earlier install stays. One of exactly
// 1 MiB installs when there is no token to carry over.
TEST_F(RootCopyTest, APackageParameterFileOverTheReadLimitFailsTheInstall) {
    InstallerBundle installer("Setup_K_" + key_ + "_.app");
    const std::string over = "the package's unattended.json is larger than 1048576 bytes";
    const std::string grown = "the package's unattended.json would be 1048603 bytes";
    const std::vector<std::tuple<long long, bool, int, std::string>> cases{
        {(1 << 20) + 1, true, 4, over},
        {(1 << 20) + 1, false, 4, over},
        {1 << 20, true, 4, grown},
        {1 << 20, false, 0, ""}};
    for (const auto& [size, token, code, logged] : cases) {
        const std::string what = std::to_string(size) + (token ? " bytes, a token" : " bytes");
        fs::remove_all(destination());
        makeEarlierInstall();
        if (token) {
            writeFile(destination() + "/unattended.json", R"({"DeviceToken": "kept"})");
        }
        installertest::makeAgentPackage(package_, Agent{.jsonSize = size});
        const auto result = startElevated(installer)->finish(std::chrono::seconds(60));
        EXPECT_EQ("<exitcode>" + std::to_string(code) + "</exitcode>\n", result.output) << what;
        const std::string json = readFile(destination() + "/unattended.json");
        if (code == 0) {
            EXPECT_EQ(token, contains(json, R"("DeviceToken": "kept")")) << what;
            EXPECT_EQ(static_cast<std::size_t>(size), json.size()) << what;
            continue;
        }
        EXPECT_EQ("earlier", marker()) << what;
        EXPECT_EQ(token ? R"({"DeviceToken": "kept"})" : "", json) << what;
        EXPECT_EQ(Lines{company_}, entries(product())) << what;
        EXPECT_TRUE(contains(installer.lastLog(), logged)) << what << installer.lastLog();
    }
}

// A package's parameter file is kept as it is written: one that is not
// strict JSON fails the install, with or without a token to carry over,
// and the earlier install stays; in one that is, the token is added and
// nothing else changes, numbers included, however large JSON allows them.
TEST_F(RootCopyTest, APackageParameterFileThatIsNotStrictJsonFailsTheInstall) {
    InstallerBundle installer("Setup_K_" + key_ + "_.app");
    const std::string earlier = R"({"Limit": -1e309, "DeviceToken": "kept"})";
    const std::string numbers =
        "{\n    \"Count\": 123456789012345678901234567890,\n"
        "    \"Huge\": 1e400,\n    \"Ratio\": 1.50\n}\n";
    struct Case {
        std::string json;
        bool token;
        std::string logged;  // empty: installed
    };
    const std::vector<Case> cases{
        {R"({"Product": "sample",})", true, "Missing a name for object member."},
        {R"({"Product": "sample",})", false, "Missing a name for object member."},
        {"{\"Product\": \"sample\"} // the agent\n", true, "must not be followed by other values"},
        {R"([{"Product": "sample"}])", true, "its top level is another value"},
        {"{\"a\": " + std::string(64, '[') + std::string(64, ']') + "}", true,
         "nested deeper than 64 levels"},
        {numbers, true, ""},
    };
    for (const auto& c : cases) {
        fs::remove_all(destination());
        makeEarlierInstall();
        if (c.token) {
            writeFile(destination() + "/unattended.json", earlier);
        }
        installertest::makeAgentPackage(package_, Agent{.jsonText = c.json});
        const auto result = startElevated(installer)->finish(std::chrono::seconds(60));
        const std::string json = readFile(destination() + "/unattended.json");
        if (c.logged.empty()) {
            EXPECT_EQ("<exitcode>0</exitcode>\n", result.output) << c.json << installer.lastLog();
            EXPECT_EQ(
                numbers.substr(0, numbers.size() - 3) + ",\n    \"DeviceToken\": \"kept\"\n}\n",
                json);
            continue;
        }
        EXPECT_EQ("<exitcode>4</exitcode>\n", result.output) << c.json;
        EXPECT_EQ("earlier", marker()) << c.json;
        EXPECT_EQ(c.token ? earlier : "", json) << c.json;
        EXPECT_EQ(Lines{company_}, entries(product())) << c.json;
        const std::string log = installer.lastLog();
        EXPECT_TRUE(contains(log, "the package's unattended.json is not one JSON object: ") &&
                    contains(log, c.logged))
            << c.json << "\n"
            << log;
    }
}

// The earlier install's device token is carried over, or the log says why
// not: an earlier file that cannot be read as one JSON object of at most
// 1 MiB gives no token and a line. A package whose file the next install
// could not read once the token is in, or that names the token more than
// once (each would take it), fails with status 4 and the earlier install
// stays byte for byte. The file carried over is root's and 0644: the
// agent, a user of its own, reads it.
TEST_F(RootCopyTest, TheEarlierDeviceTokenIsCarriedOverOrTheLogSaysWhyNot) {
    InstallerBundle installer("Setup_K_" + key_ + "_.app");
    const std::string kept = R"({"DeviceToken": "kept"})";
    const std::string long2000 = std::string(2000, 't');
    std::string repeated = "{";
    for (int i = 0; i < 30000; ++i) {
        repeated += std::string(i == 0 ? "" : ", ") + R"("DeviceToken": 1)";
    }
    repeated += "}";
    const std::string lineOf = "the earlier install's unattended.json ";
    const std::string noToken = ": no DeviceToken to carry over";
    struct Case {
        std::string what;
        std::string earlier;  // "<link>": a link to a file holding a token
        Agent agent;
        int code;
        bool carried;
        std::string logged;
    };
    const std::vector<Case> cases{
        {"earlier over 1 MiB",
         R"({"DeviceToken": "kept", "Padding": ")" + std::string((1 << 20) - 37, 'x') + "\"}",
         Agent{}, 0, false, lineOf + "is larger than 1048576 bytes" + noToken},
        {"earlier not strict JSON", R"({"DeviceToken": "kept",})", Agent{}, 0, false,
         lineOf + "is not one JSON object: Missing a name for object member."},
        {"earlier a link", "<link>", Agent{}, 0, false, lineOf + "cannot be read as a regular file" + noToken},
        {"earlier numbers past a double", R"({"Limit": 1e400, "DeviceToken": "kept"})", Agent{}, 0,
         true, ""},
        {"package file that just fits", kept, Agent{.jsonSize = (1 << 20) - 27}, 0, true, ""},
        {"package file that grows past 1 MiB", kept, Agent{.jsonSize = 1048568}, 4, false,
         "with the earlier install's DeviceToken the package's unattended.json would be "
         "1048595 bytes, more than the 1048576 that are read"},
        {"package repeating the token key", R"({"DeviceToken": ")" + long2000 + "\"}",
         Agent{.jsonText = repeated}, 4, false,
         "the package's unattended.json holds DeviceToken 30000 times"},
        {"package naming the token twice, none earlier", "",
         Agent{.jsonText = R"({"DeviceToken": 1, "DeviceToken": 2})"}, 4, false,
         "the package's unattended.json holds DeviceToken 2 times"},
    };
    const std::string secret = work_.file("secret.json");
    writeFile(secret, kept);
    const std::string installed = destination() + "/unattended.json";
    for (const auto& c : cases) {
        fs::remove_all(destination());
        makeEarlierInstall();
        if (c.earlier == "<link>") {
            fs::create_symlink(secret, installed);
        } else if (!c.earlier.empty()) {
            writeFile(installed, c.earlier);
        }
        const auto earlier = treeOf(destination());
        installertest::makeAgentPackage(package_, c.agent);
        const auto result = startElevated(installer)->finish(std::chrono::seconds(60));
        EXPECT_EQ("<exitcode>" + std::to_string(c.code) + "</exitcode>\n", result.output)
            << c.what << "\n"
            << installer.lastLog();
        const std::string log = installer.lastLog();
        EXPECT_TRUE(c.logged.empty() || contains(log, c.logged)) << c.what << "\n" << log;
        if (c.code != 0) {
            EXPECT_EQ(earlier, treeOf(destination())) << c.what;
            EXPECT_EQ(Lines{company_}, entries(product())) << c.what;
            continue;
        }
        const std::string json = readFile(installed);
        EXPECT_EQ(c.carried, contains(json, R"("DeviceToken": "kept")")) << c.what;
        EXPECT_LE(json.size(), 1u << 20) << c.what;
        if (!c.carried) {
            continue;
        }
        struct stat info {};
        ASSERT_EQ(0, ::lstat(installed.c_str(), &info)) << c.what;
        EXPECT_EQ(0644u, info.st_mode & 07777) << c.what;
        EXPECT_EQ(0u, info.st_uid) << c.what;
        const auto asAgent =
            testsupport::runCommand({"/usr/bin/setpriv", "--reuid=65534", "--regid=65534",
                                     "--clear-groups", "/bin/cat", installed});
        EXPECT_TRUE(asAgent.output == json) << c.what << ": " << asAgent.errors;
    }
}

}  // namespace
