// The whole installer as a person runs it, as root: the real bundle downloads
// the package from a local server, relaunches itself, installs the agent
// under "/Library/Application Support" and shows the result. The cases share
// that folder, so CTest runs them one at a time.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include <boost/filesystem.hpp>

#include "InstallerBundle.h"
#include "MessageTexts.h"
#include "PackageServer.h"
#include "common/utils/RandomString.h"
#include "support/ChildProcess.h"
#include "support/TempDir.h"

namespace fs = boost::filesystem;
using installertest::InstallerBundle;
using installertest::joinLines;
using installertest::MessageTexts;
using installertest::PackageServer;
using quorvane::unattended::InstallerState;

namespace {

const std::string kShown = "window: shown";
const std::string kClosed = "window: closed";
const std::string kInstallBase = "/Library/Application Support/WexoQuandelUnattended";
const std::string kInstallerArguments = "-server e2e.example.org -group 'Front desk'";

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

int occurrences(const std::string& text, const std::string& part) {
    int count = 0;
    for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
        ++count;
    }
    return count;
}

// The lines of the window among everything written on standard error.
std::string windowLines(const std::string& errors) {
    std::string lines;
    for (const auto& line : testsupport::splitLines(errors)) {
        if (line.rfind("window: ", 0) == 0 || line.rfind("alert: ", 0) == 0) {
            lines += line + "\n";
        }
    }
    return lines;
}

struct InstallerRun {
    testsupport::ChildResult result;
    std::string window;
    std::vector<std::string> logs;
};

class EndToEndTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (::geteuid() != 0) {
            GTEST_SKIP() << "the elevated relaunch without a password needs root";
        }
        // An installer that ends early must not end the test through its
        // closed input.
        ::signal(SIGPIPE, SIG_IGN);
        // Unique names, and a note of which folders above them were there.
        const std::string tag = common::randomString(8, common::kAlphanumericAlphabet);
        product_ = "QuorvaneE2E-" + tag;
        company_ = "company-" + tag;
        for (fs::path folder = kInstallBase; folder != "/"; folder = folder.parent_path()) {
            if (!fs::exists(folder)) {
                madeFolders_.push_back(folder);
            }
        }
        installertest::makeAgentPackage(work_.file("agent.zip"));
        fs::create_directories(work_.file("run"));
    }

    void TearDown() override {
        boost::system::error_code error;
        fs::remove_all(fs::path(kInstallBase) / product_, error);
        for (const auto& extra : extraRemovals_) {
            fs::remove_all(extra, error);
        }
        // Deepest first; only what this test found missing, and only when
        // empty.
        for (const auto& folder : madeFolders_) {
            if (fs::is_directory(folder, error) && fs::is_empty(folder, error)) {
                fs::remove(folder, error);
            }
        }
    }

    std::string destination() const { return kInstallBase + "/" + product_ + "/" + company_; }

    std::string parameters(const std::string& url) const {
        return R"({"UnattendedDownloadUrl": ")" + url + R"(", "Product": ")" + product_ +
               R"(", "CompanyId": ")" + company_ + R"(", "UnattendedInstallerArgs": ")" +
               kInstallerArguments + R"("})";
    }

    // Runs the installer until the window shows `result`, then presses the
    // button.
    // A character type locale that the system does not know must not
    // trouble the run.
    InstallerRun runUntil(InstallerBundle& installer, InstallerState result,
                          std::chrono::milliseconds timeout = std::chrono::seconds(60)) {
        auto process = installer.start({"-WorkFolder", work_.file("run"), "-Lang", "en"},
                                       {"LANG=en_US.UTF-8", "LC_CTYPE=xx_XX.UTF-8"});
        const std::string resultLine = texts_.windowLines(result, "en").front();
        const bool shown = process->waitForErrorLine(resultLine, timeout);
        EXPECT_TRUE(shown) << process->errors();
        process->writeInput("\n");
        InstallerRun run;
        run.result = process->finish();
        run.window = windowLines(run.result.errors);
        run.logs = installer.newLogs();
        return run;
    }

    std::string userLog(const InstallerRun& run) const {
        for (const auto& log : run.logs) {
            if (contains(log, "download folder:")) {
                return log;
            }
        }
        return {};
    }

    std::vector<std::string> daemonCall() const {
        return testsupport::splitLines(testsupport::readFile(destination() + "/daemon-call.txt"));
    }

    MessageTexts texts_;
    testsupport::TempDir work_{"installer-e2e"};
    const std::string key_ = installertest::keyOf("e2e0123456789abc");
    std::string product_;
    std::string company_;
    std::vector<fs::path> madeFolders_;
    std::vector<fs::path> extraRemovals_;
};

std::string successWindow(const MessageTexts& texts) {
    return joinLines({texts.windowLines(InstallerState::Starting, "en"),
                      texts.windowLines(InstallerState::Downloading, "en"),
                      {kShown},
                      texts.windowLines(InstallerState::Installing, "en"),
                      texts.windowLines(InstallerState::Succeeded, "en"),
                      {kClosed}});
}

TEST_F(EndToEndTest, DownloadsInstallsAndRegistersTheAgent) {
    InstallerBundle installer("Setup_K_" + key_ + "_.app");
    PackageServer server(work_.file("agent.zip"), work_.file("journal"));
    ASSERT_TRUE(installer.setParameters(parameters(server.url())));

    const InstallerRun run = runUntil(installer, InstallerState::Succeeded);
    ASSERT_TRUE(run.result.exited) << run.result.errors;
    EXPECT_EQ(0, run.result.exitCode);
    EXPECT_EQ("", run.result.output) << "the user-started copy prints no result line";
    EXPECT_EQ(successWindow(texts_), run.window) << run.result.errors;

    // The agent is in place and registered with the arguments' words and the
    // key of the installer's path.
    EXPECT_TRUE(fs::is_regular_file(destination() + "/WexoQuandelUnattended.app/Contents/MacOS/"
                                                    "WexoQuandelUnattendedDaemon"));
    EXPECT_TRUE(fs::is_regular_file(destination() + "/unattended.json"));
    EXPECT_EQ((std::vector<std::string>{"-regsvc", "-server", "e2e.example.org", "-group",
                                        "Front desk", "-publickey", key_}),
              daemonCall());

    const auto requests = server.requests();
    ASSERT_EQ(1u, requests.size());
    EXPECT_EQ("GET", requests[0].method);
    EXPECT_EQ("/WexoQuandelUnattended.zip", requests[0].path);
    EXPECT_EQ("Mac OS X 10_13_6", requests[0].userAgent);

    // Two copies ran: the user's and the elevated one, each with its log.
    ASSERT_EQ(2u, run.logs.size());
    const std::string log = userLog(run);
    const std::string package = work_.file("run") + "/download/WexoQuandelUnattended.zip";
    EXPECT_TRUE(contains(log, "[info] [Downloader] download succeeded from: " + server.url()))
        << log;
    EXPECT_TRUE(contains(log, "[info] [UnattendedInstaller] downloaded to: '" + package + "'"));
    EXPECT_TRUE(contains(
        log, "executing installer with priviliges: '" + package + "' => '" + destination() + "'"));
    EXPECT_FALSE(contains(log, "unable to run elevated application"));
    EXPECT_FALSE(fs::exists(work_.file("run") + "/download")) << "removed at the button";
}

TEST_F(EndToEndTest, ADownloadThatKeepsFailingIsTriedSixTimesAndInstallsNothing) {
    InstallerBundle installer("Setup_K_" + key_ + "_.app");
    PackageServer server(work_.file("agent.zip"), work_.file("journal"), "404");
    ASSERT_TRUE(installer.setParameters(parameters(server.url())));

    const InstallerRun run = runUntil(installer, InstallerState::Failed, std::chrono::seconds(90));
    ASSERT_TRUE(run.result.exited) << run.result.errors;
    EXPECT_EQ(0, run.result.exitCode);
    EXPECT_EQ(joinLines({texts_.windowLines(InstallerState::Starting, "en"),
                         texts_.windowLines(InstallerState::Downloading, "en"),
                         {kShown},
                         texts_.windowLines(InstallerState::Failed, "en"),
                         {kClosed}}),
              run.window);

    const auto requests = server.requests();
    ASSERT_EQ(6u, requests.size());
    for (std::size_t i = 1; i < requests.size(); ++i) {
        const double gap = requests[i].time - requests[i - 1].time;
        EXPECT_GE(gap, 1.95) << "attempt " << i;
        EXPECT_LE(gap, 5.0) << "attempt " << i;
        EXPECT_EQ("Mac OS X 10_13_6", requests[i].userAgent);
    }

    ASSERT_EQ(1u, run.logs.size()) << "no elevated copy";
    const std::string& log = run.logs[0];
    EXPECT_EQ(6, occurrences(log, "[error] [Downloader] Download failed from: " + server.url() +
                                      " with Error Code: ContentNotFoundError\n"))
        << log;
    for (int tryCount = 0; tryCount < 5; ++tryCount) {
        EXPECT_EQ(
            1, occurrences(log, "[error] [Downloader] Try to download again from: " + server.url() +
                                    ", try count: " + std::to_string(tryCount) + "\n"));
    }
    EXPECT_TRUE(contains(log, "[error] [UnattendedInstaller] download failed"));
    EXPECT_FALSE(contains(log, "executing installer with priviliges"));
    EXPECT_FALSE(fs::exists(destination()));
}

TEST_F(EndToEndTest, TwoFailedAttemptsAreFollowedByAnInstall) {
    InstallerBundle installer("Setup_K_" + key_ + "_.app");
    PackageServer server(work_.file("agent.zip"), work_.file("journal"), "404,404,200");
    ASSERT_TRUE(installer.setParameters(parameters(server.url())));

    const InstallerRun run = runUntil(installer, InstallerState::Succeeded);
    EXPECT_EQ(0, run.result.exitCode) << run.result.errors;
    EXPECT_EQ(successWindow(texts_), run.window);
    EXPECT_EQ(3u, server.requests().size());
    EXPECT_EQ("-regsvc", daemonCall().at(0));
    EXPECT_EQ(1, occurrences(userLog(run), "try count: 1\n"));
    EXPECT_EQ(0, occurrences(userLog(run), "try count: 2\n"));
}

TEST_F(EndToEndTest, AnEmptyDownloadUrlFailsWithoutARequest) {
    InstallerBundle installer("Setup_K_" + key_ + "_.app");
    PackageServer server(work_.file("agent.zip"), work_.file("journal"));
    ASSERT_TRUE(installer.setParameters(parameters("")));

    const InstallerRun run = runUntil(installer, InstallerState::Failed);
    EXPECT_EQ(0, run.result.exitCode) << run.result.errors;
    EXPECT_EQ(joinLines({texts_.windowLines(InstallerState::Starting, "en"),
                         texts_.windowLines(InstallerState::Downloading, "en"),
                         texts_.windowLines(InstallerState::Failed, "en"),
                         {kShown, kClosed}}),
              run.window);
    EXPECT_TRUE(server.requests().empty());
    ASSERT_EQ(1u, run.logs.size());
    EXPECT_TRUE(contains(run.logs[0], "[error] [UnattendedInstaller] download url is empty"));
    EXPECT_FALSE(fs::exists(destination()));
}

TEST_F(EndToEndTest, AProductOrCompanyThatLeavesItsFolderFailsWithoutRelaunching) {
    // Where each bad value would have put the agent.
    const std::string escapedProduct = "E2E-escape-" + product_;
    extraRemovals_ = {"/Library/Application Support/" + escapedProduct,
                      kInstallBase + "/" + company_};
    struct Case {
        std::string product;
        std::string company;
        std::string refused;
    };
    const std::vector<Case> cases{
        {"../" + escapedProduct, company_,
         "Product must be a plain folder name, not '../" + escapedProduct + "'"},
        {product_, "..", "CompanyId must be a plain folder name, not '..'"},
        {"/" + product_, company_, "Product must be a plain folder name, not '/" + product_ + "'"},
    };
    for (const auto& c : cases) {
        InstallerBundle installer("Setup_K_" + key_ + "_.app");
        PackageServer server(work_.file("agent.zip"), work_.file("journal-" + c.company));
        ASSERT_TRUE(installer.setParameters(R"({"UnattendedDownloadUrl": ")" + server.url() +
                                            R"(", "Product": ")" + c.product +
                                            R"(", "CompanyId": ")" + c.company + R"("})"));

        const InstallerRun run = runUntil(installer, InstallerState::Failed);
        EXPECT_EQ(0, run.result.exitCode) << run.result.errors;
        EXPECT_EQ(joinLines({texts_.windowLines(InstallerState::Starting, "en"),
                             texts_.windowLines(InstallerState::Downloading, "en"),
                             {kShown},
                             texts_.windowLines(InstallerState::Installing, "en"),
                             texts_.windowLines(InstallerState::Failed, "en"),
                             {kClosed}}),
                  run.window)
            << c.product;
        ASSERT_EQ(1u, run.logs.size()) << "no elevated copy for " << c.product;
        EXPECT_TRUE(contains(run.logs[0], "[error] [UnattendedInstaller] " + c.refused))
            << run.logs[0];
        EXPECT_FALSE(contains(run.logs[0], "executing installer with priviliges"));
    }
    EXPECT_FALSE(fs::exists("/Library/Application Support/" + escapedProduct));
    EXPECT_FALSE(fs::exists(kInstallBase + "/" + company_));
    EXPECT_FALSE(fs::exists(kInstallBase + "/" + product_));
}

TEST_F(EndToEndTest, TheButtonDuringASlowDownloadEndsTheRunWithNothingInstalled) {
    InstallerBundle installer("Setup_K_" + key_ + "_.app");
    PackageServer server(work_.file("agent.zip"), work_.file("journal"), "200", true);
    ASSERT_TRUE(installer.setParameters(parameters(server.url())));

    auto process =
        installer.start({"-WorkFolder", work_.file("run"), "-Lang", "en"}, {"LANG=en_US.UTF-8"});
    ASSERT_TRUE(process->waitForErrorLine(kShown)) << process->errors();
    // The package is on its way: the server has the request.
    for (int i = 0; i < 200 && server.requests().empty(); ++i) {
        process->staysRunning(std::chrono::milliseconds(50));
    }
    ASSERT_EQ(1u, server.requests().size());
    EXPECT_TRUE(process->staysRunning(std::chrono::milliseconds(300)));
    process->writeInput("\n");
    const auto result = process->finish(std::chrono::seconds(20));
    ASSERT_TRUE(result.exited) << result.errors;
    EXPECT_FALSE(result.timedOut);
    EXPECT_EQ(0, result.exitCode);
    EXPECT_EQ(joinLines({texts_.windowLines(InstallerState::Starting, "en"),
                         texts_.windowLines(InstallerState::Downloading, "en"),
                         {kShown, kClosed}}),
              windowLines(result.errors));
    const auto logs = installer.newLogs();
    ASSERT_EQ(1u, logs.size());
    EXPECT_TRUE(contains(logs[0], "over and out"));
    EXPECT_FALSE(contains(logs[0], "download succeeded"));
    EXPECT_FALSE(fs::exists(destination()));
    EXPECT_FALSE(fs::exists(work_.file("run") + "/download"));
    EXPECT_EQ(1u, server.requests().size()) << "nothing retried after the button";
}

}  // namespace
