// Whole runs of the real bundle as root, downloading from a local server,
// and the elevated copy started as the user-started copy starts it. The
// cases share "/Library/Application Support", so CTest runs them one at a
// time.
#include "EndToEndTest.h"

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include <boost/filesystem.hpp>

#include "PackageServer.h"
#include "common/utils/RandomString.h"
#include "support/ChildProcess.h"
#include "support/RootOnlyFolder.h"

namespace fs = boost::filesystem;

namespace installertest {

std::string windowLines(const std::string& errors) {
    std::string lines;
    for (const auto& line : testsupport::splitLines(errors)) {
        if (line.rfind("window: ", 0) == 0 || line.rfind("alert: ", 0) == 0) {
            lines += line + "\n";
        }
    }
    return lines;
}

void EndToEndTest::SetUp() {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "installs under /Library as root";
    }
    const std::string tag = common::randomString(8, common::kAlphanumericAlphabet);
    product_ = "QuorvaneE2E-" + tag;
    company_ = "company-" + tag;
    for (fs::path folder = kInstallBase; folder != "/"; folder = folder.parent_path()) {
        if (!fs::exists(folder)) {
            madeFolders_.push_back(folder);
        }
    }
    makeAgentPackage(package_);
    fs::create_directories(work_.file("run"));
}

void EndToEndTest::TearDown() {
    boost::system::error_code error;
    fs::remove_all(fs::path(kInstallBase) / product_, error);
    for (const auto& folder : madeFolders_) {
        if (fs::is_directory(folder, error) && fs::is_empty(folder, error)) {
            fs::remove(folder, error);
        }
    }
}

}  // namespace installertest

using installertest::Agent;
using installertest::contains;
using installertest::EndToEndTest;
using installertest::entries;
using installertest::InstallerBundle;
using installertest::kInstallBase;
using installertest::PackageServer;
using installertest::windowLines;
using installertest::writeFile;
using quorvane::unattended::InstallerState;
using testsupport::readFile;
using Lines = std::vector<std::string>;

namespace {

TEST_F(EndToEndTest, TheElevatedCopyInstallsOverAnEarlierOneWithoutFollowingItsLinks) {
    installertest::makeAgentPackage(package_, Agent{0, "from-package", 0, 4});
    // An earlier install whose folder holds links out of it.
    const std::string outside = work_.file("outside");
    fs::create_directories(outside);
    fs::create_directories(destination());
    writeFile(destination() + "/unattended.json", R"({"DeviceToken": "12345", "Old": true})");
    fs::create_directory_symlink(outside, destination() + "/WexoQuandelUnattended.app");
    fs::create_symlink(outside + "/tmp.json", destination() + "/unattended.json.tmp");
    InstallerBundle installer("Setup_K_" + key_ + "_.app");
    // The attribute cannot speak for the elevated copy.
    const std::string elsewhere = destination("elsewhere");
    ASSERT_TRUE(installer.setParameters(R"({"PrivilegedInstall": 1, "SourcePath": "/dev/null",
        "DestinationPath": ")" + elsewhere +
                                        R"(", "UnattendedInstallerArgs": "-from attr"})"));

    const auto begun = std::chrono::steady_clock::now();
    const auto result = installer.run(request("-a 1 -name 'two words' \"x\\\ny\""));
    // The daemon printed a result line of its own and left a child holding
    // its output for four seconds: neither counts, neither is waited for.
    EXPECT_EQ("<exitcode>0</exitcode>\n", result.output) << result.errors;
    EXPECT_LT(std::chrono::steady_clock::now() - begun, std::chrono::milliseconds(3500));
    EXPECT_EQ((Lines{"-regsvc", "-a", "1", "-name", "two words", "xy", "-publickey", key_}),
              daemonCall());
    EXPECT_FALSE(fs::exists(elsewhere));
    EXPECT_TRUE(fs::is_empty(outside)) << "nothing written through the earlier links";
    EXPECT_EQ(1u, entries(kInstallBase + "/" + product_).size()) << "no staging folder left";
    // The token exactly as it was: a string, though it reads as a number.
    EXPECT_TRUE(contains(readFile(destination() + "/unattended.json"), R"("DeviceToken": "12345")"))
        << readFile(destination() + "/unattended.json");
    EXPECT_FALSE(contains(readFile(destination() + "/unattended.json"), "Old"));
    const std::string fds = readFile(destination() + "/daemon-fds.txt");
    EXPECT_FALSE(contains(fds, ".log")) << fds;
    EXPECT_FALSE(contains(fds, "agent.zip")) << fds;
    const std::string log = installer.lastLog();
    EXPECT_TRUE(contains(log, "[info] [UnattendedInstaller] daemon: <exitcode>0</exitcode>"))
        << log;
}

TEST_F(EndToEndTest, RefusedRequestsRunNothingAndLeaveTheEarlierInstall) {
    installertest::makeAgentPackage(package_);
    fs::create_directories(destination());
    writeFile(destination() + "/marker", "earlier");
    const std::string junk = work_.file("junk.zip");
    writeFile(junk, "not an archive");
    const std::string link = work_.file("link.zip");
    fs::create_symlink(package_, link);
    const std::string foreign = work_.file("foreign.zip");
    fs::copy_file(package_, foreign);
    ASSERT_EQ(0, ::chown(foreign.c_str(), 65534, 65534));
    const std::string slow = work_.file("slow.zip");
    installertest::makeAgentPackage(slow, Agent{0, "", 60, 0});
    const std::string open = work_.file("open.zip");
    fs::copy_file(package_, open);
    ::chmod(open.c_str(), 0666);
    InstallerBundle keyless("Setup.app");
    InstallerBundle keyed("Setup_K_" + key_ + "_.app");
    // Where another user can run it, whoever may enter the temporary folder.
    testsupport::RootOnlyFolder reachable;
    if (!reachable.usable()) {
        GTEST_SKIP() << "no folder another user can reach: " << reachable.why();
    }
    InstallerBundle opened("Setup_K_" + key_ + "_.app", reachable.path());
    opened.openToEveryone();

    struct Case {
        std::string what;
        int option;  // which entry of the request to replace, 0 for none
        std::string value;
        int code;
        Lines extra = {};
        const InstallerBundle* bundle = nullptr;  // the keyed one when null
    };
    const std::vector<Case> cases{
        {"a linked package", 2, link, 4},
        {"a package of another user", 2, foreign, 4},
        {"a package others may write", 2, open, 4},
        {"a package that is not a zip", 2, junk, 4},
        {"a folder outside the install root", 4, work_.file("dest/P/C"), 3},
        {"a folder one level deeper", 4, destination() + "/x", 3},
        {"a folder that climbs", 4, kInstallBase + "/" + product_ + "/..", 3},
        {"no key", 6, "", 5, {}, &keyless},
        {"a copy that is not root", 0, "", 2, {}, &opened},
        {"a key that reads as an option", 6, "-" + key_.substr(1), 5},
        {"unbalanced quotes", 8, "-a 'open", 5},
        {"an option of another kind", 0, "", 6, {"-WorkFolder", work_.path()}},
        // Last: a registration that outlasts its time-out is stopped and undone.
        {"a daemon that does not end", 2, slow, 5, {"-RegistrationTimeout", "1"}},
    };
    for (const auto& c : cases) {
        Lines arguments = request();
        if (c.option > 0) {
            arguments[static_cast<std::size_t>(c.option)] = c.value;
        }
        arguments.insert(arguments.end(), c.extra.begin(), c.extra.end());
        const InstallerBundle& bundle = c.bundle ? *c.bundle : keyed;
        Lines argv{bundle.executable()};
        if (&bundle == &opened) {
            argv = {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups",
                    bundle.executable()};
        }
        argv.insert(argv.end(), arguments.begin(), arguments.end());
        const auto result = bundle.launch(argv)->finish(std::chrono::seconds(60));
        EXPECT_EQ("<exitcode>" + std::to_string(c.code) + "</exitcode>\n", result.output)
            << c.what << "\n"
            << bundle.lastLog();
        EXPECT_EQ(c.code, result.exitCode) << c.what;
        EXPECT_EQ("earlier", readFile(destination() + "/marker")) << c.what;
        EXPECT_FALSE(fs::exists(destination() + "/daemon-call.txt")) << c.what;
    }
    EXPECT_EQ(1u, entries(kInstallBase + "/" + product_).size());
    EXPECT_FALSE(fs::exists(work_.file("dest")));
    EXPECT_TRUE(contains(keyed.lastLog(), "daemon: did not end within 1 s, stopped"));
    EXPECT_TRUE(installertest::processesMentioning(destination()).empty());
}

// A run started through a link to the bundle, with the installer arguments on
// the command line, installs as one with the arguments in the attribute; what
// another user left in the shared work folder is not touched.
TEST_F(EndToEndTest, DownloadsInstallsAndRegistersTheAgent) {
    ::chmod(work_.file("run").c_str(), 01777);
    const std::string victim = work_.file("victim");
    writeFile(victim, "keep");
    fs::create_symlink(victim, work_.file("run/download"));
    ASSERT_EQ(0, ::lchown(work_.file("run/download").c_str(), 65534, 65534));
    InstallerBundle installer("Setup_K_" + key_ + "_.app");
    fs::create_directory_symlink(installer.bundle(), installer.folder() + "/Plain.app");
    const std::string viaLink =
        installer.folder() + "/Plain.app/Contents/MacOS/WexoQuandelUnattendedInstaller";
    const std::string arguments = "-server e2e.example.org -group 'Front desk'";
    const std::string succeeded = texts_.windowLines(InstallerState::Succeeded, "en").front();
    PackageServer server(package_, work_.file("journal"));

    for (const bool onCommandLine : {false, true}) {
        const std::string company = onCommandLine ? "cli" : "attr";
        ASSERT_TRUE(installer.setParameters(
            R"({"Product": ")" + product_ +
            R"(", "PrivilegedInstall": 1, "DestinationPath": "/tmp")" +
            (onCommandLine ? "" : R"(, "UnattendedInstallerArgs": ")" + arguments + "\"") + "}"));
        Lines options{"-UnattendedDownloadUrl", server.url(), "-CompanyId", company};
        if (onCommandLine) {
            options.insert(options.end(), {"-UnattendedInstallerArgs", arguments});
        }
        auto process = start(installer, options, onCommandLine ? viaLink : "");
        EXPECT_TRUE(process->waitForErrorLine(succeeded)) << process->errors();
        process->writeInput("\n");
        const auto result = process->finish();
        EXPECT_EQ(0, result.exitCode) << result.errors;
        EXPECT_EQ("", result.output);
        EXPECT_EQ(window(InstallerState::Succeeded), windowLines(result.errors)) << company;
        EXPECT_EQ((Lines{"-regsvc", "-server", "e2e.example.org", "-group", "Front desk",
                         "-publickey", key_}),
                  daemonCall(company));
    }
    EXPECT_EQ("keep", readFile(victim));
    EXPECT_EQ((Lines{"download"}), entries(work_.file("run")))
        << "only the other user's link stays";
    EXPECT_EQ(2u, server.requests().size());
}

// Without a CompanyId each run installs into a folder of 10 random letters
// and digits of its own.
TEST_F(EndToEndTest, WithoutACompanyIdEachRunInstallsIntoANewRandomFolder) {
    PackageServer server(package_, work_.file("journal"));
    InstallerBundle installer("Setup_K_" + key_ + "_.app");
    ASSERT_TRUE(installer.setParameters(R"({"Product": ")" + product_ + "\"}"));
    for (int run = 0; run < 2; ++run) {
        auto process = start(installer, {"-UnattendedDownloadUrl", server.url()});
        process->closeInput();
        EXPECT_EQ(0, process->finish().exitCode) << process->errors();
    }
    const Lines companies = entries(kInstallBase + "/" + product_);
    ASSERT_EQ(2u, companies.size());
    for (const auto& company : companies) {
        EXPECT_EQ(10u, company.size()) << company;
        EXPECT_TRUE(std::all_of(company.begin(), company.end(),
                                [](unsigned char c) { return std::isalnum(c) != 0; }))
            << company;
        EXPECT_EQ((Lines{"-regsvc", "-publickey", key_}), daemonCall(company));
    }
}

// A run from a script whose standard input ends at once: the end of input
// changes nothing while the run downloads and installs, and ends it once
// the window shows the outcome, with the outcome's status.
TEST_F(EndToEndTest, TheEndOfInputEndsTheRunWithItsOutcome) {
    installertest::makeAgentPackage(package_, Agent{.sleep = 1});
    PackageServer server(package_, work_.file("journal"));
    InstallerBundle installer("Setup_K_" + key_ + "_.app");
    ASSERT_TRUE(installer.setParameters(R"({"Product": ")" + product_ + "\"}"));
    auto process =
        start(installer, {"-CompanyId", company_, "-UnattendedDownloadUrl", server.url()});
    process->closeInput();
    const auto result = process->finish(std::chrono::seconds(60));
    EXPECT_FALSE(result.timedOut);
    EXPECT_EQ(0, result.exitCode) << result.errors;
    EXPECT_EQ(window(InstallerState::Succeeded), windowLines(result.errors));
    EXPECT_EQ((Lines{"-regsvc", "-publickey", key_}), daemonCall());
}

// Three runs share the work folder, where the user has a "download" folder of
// their own. While the elevated copy runs, what the person does waits for the
// outcome: a Return typed meanwhile is dropped, closing the window ends the
// run only after the window has told the real outcome. A package that is not
// a zip fails in the elevated copy, and the window and exit status say so.
TEST_F(EndToEndTest, TheWindowWaitsForTheElevatedCopyAndTellsItsOutcome) {
    installertest::makeAgentPackage(package_, Agent{0, "", 2, 0});
    writeFile(work_.file("junk.zip"), "not a zip");
    fs::create_directories(work_.file("run/download"));
    writeFile(work_.file("run/download/notes.txt"), "mine");
    PackageServer server(package_, work_.file("journal"));
    PackageServer junk(work_.file("junk.zip"), work_.file("journal-junk"));
    InstallerBundle installer("Setup_K_" + key_ + "_.app");
    ASSERT_TRUE(installer.setParameters(R"({"Product": ")" + product_ + "\"}"));
    const std::string installing = texts_.windowLines(InstallerState::Installing, "en").front();
    const std::string succeeded = texts_.windowLines(InstallerState::Succeeded, "en").front();
    auto typed = start(installer, {"-CompanyId", "typed", "-UnattendedDownloadUrl", server.url()});
    auto closed =
        start(installer, {"-CompanyId", "closed", "-UnattendedDownloadUrl", server.url()});
    auto failed = start(installer, {"-CompanyId", "failed", "-UnattendedDownloadUrl", junk.url()});
    ASSERT_TRUE(typed->waitForErrorLine(installing)) << typed->errors();
    ASSERT_TRUE(closed->waitForErrorLine(installing)) << closed->errors();
    closed->signal(SIGTERM);
    typed->writeInput("\n");
    ASSERT_TRUE(typed->waitForErrorLine(succeeded)) << typed->errors();
    EXPECT_TRUE(typed->staysRunning(std::chrono::milliseconds(500)));
    typed->writeInput("\n");
    ASSERT_TRUE(failed->waitForErrorLine(texts_.windowLines(InstallerState::Failed, "en").front()))
        << failed->errors();
    failed->writeInput("\n");
    const std::vector<std::pair<std::string, installertest::RunningInstaller*>> runs{
        {"typed", typed.get()}, {"closed", closed.get()}, {"failed", failed.get()}};
    for (const auto& [company, process] : runs) {
        const bool ok = company != "failed";
        const auto result = process->finish();
        EXPECT_EQ(ok ? 0 : 2, result.exitCode) << result.errors;
        EXPECT_EQ(window(ok ? InstallerState::Succeeded : InstallerState::Failed),
                  windowLines(result.errors))
            << company;
        const Lines call = daemonCall(company);
        EXPECT_EQ(ok, !call.empty() && call[0] == "-regsvc") << company;
        EXPECT_TRUE(installertest::processesMentioning(destination(company)).empty());
    }
    const std::string logs = installer.newLogsText();
    EXPECT_TRUE(contains(logs, "unable to run elevated application: 4"));
    EXPECT_FALSE(fs::exists(destination("failed")));
    EXPECT_EQ((Lines{"download"}), entries(work_.file("run")));
    EXPECT_EQ((Lines{"notes.txt"}), entries(work_.file("run/download")));
}

}  // namespace
