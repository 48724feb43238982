// The elevated copy as root, against the real install location, at the
// edges of what it is given: the package's bounds, the resource limits of
// whoever starts it, the longest CompanyId. The cases share
// "/Library/Application Support", so CTest runs them one at a time.
#include <gtest/gtest.h>

#include <sstream>

#include <boost/filesystem.hpp>

#include "InheritedLimits.h"
#include "InstallSlot.h"
#include "PackageServer.h"
#include "RootCopyTest.h"
#include "support/ChildProcess.h"

namespace fs = boost::filesystem;
using installertest::Agent;
using installertest::contains;
using installertest::entries;
using installertest::InstallerBundle;
using installertest::PackageServer;
using installertest::RootCopyTest;
using installertest::windowLines;
using quorvane::unattended::InstallerState;
using testsupport::readFile;
using Lines = std::vector<std::string>;

namespace {

// The soft value of the row `name` ("Max file size") of /proc/<pid>/limits.
std::string softLimit(const std::string& limits, const std::string& name) {
    for (const auto& line : testsupport::splitLines(limits)) {
        if (line.rfind(name + " ", 0) == 0) {
            std::istringstream values(line.substr(name.size()));
            std::string soft;
            values >> soft;
            return soft;
        }
    }
    return "(no row " + name + ")";
}

// What a package unpacks to is bounded: by what it declares, before
// anything is unpacked, and by what unzip writes, whatever it declared.
TEST_F(RootCopyTest, APackageThatUnpacksPastItsBoundsFailsAndKeepsTheEarlierInstall) {
    makeEarlierInstall();
    const std::string large = work_.file("large.zip");
    installertest::makeAgentPackage(large, Agent{.fillerCount = 1, .fillerSize = 1LL << 30});
    ASSERT_GT(2u << 20, fs::file_size(large));
    const std::string many = work_.file("many.zip");
    installertest::makeAgentPackage(many, Agent{.fillerCount = 200, .fillerSize = 1});
    const std::string understated = work_.file("understated.zip");
    installertest::makeAgentPackage(
        understated, Agent{.fillerCount = 256, .fillerSize = 4 << 20, .understate = true});
    const std::string oneLie = work_.file("one-lie.zip");
    installertest::makeAgentPackage(
        oneLie, Agent{.fillerCount = 1, .fillerSize = 64 << 20, .understate = true});
    InstallerBundle installer("Setup_K_" + key_ + "_.app");
    struct Case {
        std::string package;
        Lines bounds;
        std::string logged;
    };
    const std::vector<Case> cases{
        {large, {"-MaxUnpackedBytes", "100000000"}, "it unpacks to more than 100000000 bytes"},
        {many, {"-MaxUnpackedEntries", "100"}, "it holds more than 100 entries"},
        {understated, {"-MaxUnpackedBytes", "33554432"}, "unzip was stopped: it wrote more than"},
        {oneLie, {"-MaxUnpackedBytes", "33554432"}, "unable to unpack archive"},
    };
    for (const auto& c : cases) {
        auto process = startElevated(installer, c.bounds, c.package);
        const auto result = process->finish(std::chrono::seconds(60));
        EXPECT_EQ("<exitcode>4</exitcode>\n", result.output) << c.package;
        EXPECT_TRUE(contains(installer.lastLog(), c.logged)) << installer.lastLog();
        EXPECT_EQ("earlier", marker()) << c.package;
        EXPECT_EQ(Lines{company_}, entries(product())) << c.package;
    }
    // Within the default bounds the package of many entries installs, and
    // so it does within the largest bounds the root copy's own command line
    // may name.
    for (const Lines& bounds :
         {Lines{}, Lines{"-MaxUnpackedBytes", "9999999999999999999", "-MaxUnpackedEntries",
                         "9999999999999999999"}}) {
        EXPECT_EQ("<exitcode>0</exitcode>\n",
                  startElevated(installer, bounds, many)->finish().output)
            << bounds.size() << installer.lastLog();
        EXPECT_TRUE(fs::exists(destination() + "/filler/199"));
    }
}

// The bounds are the run's parameters, handed to the root copy.
TEST_F(RootCopyTest, TheRunsOwnBoundsReachTheRootCopy) {
    PackageServer server(package_, work_.file("journal"));
    InstallerBundle installer("Setup_K_" + key_ + "_.app");
    ASSERT_TRUE(installer.setParameters(R"({"Product": ")" + product_ + "\"}"));
    auto process = start(installer, {"-CompanyId", company_, "-UnattendedDownloadUrl",
                                     server.url(), "-MaxUnpackedEntries", "3"});
    EXPECT_TRUE(process->waitForErrorLine(texts_.windowLines(InstallerState::Failed, "en").front()))
        << process->errors();
    process->writeInput("\n");
    const auto result = process->finish();
    EXPECT_EQ(window(InstallerState::Failed), windowLines(result.errors));
    const std::string logs = installer.newLogsText();
    EXPECT_TRUE(contains(logs, "it holds more than 3 entries")) << logs;
    EXPECT_FALSE(fs::exists(destination()));
}

// Bounds in the bundle's attribute (whoever serves the bundle writes it)
// and on the run's command line can only lower the defaults: the root copy
// is started with the defaults when they name higher ones, with a lower one
// as it is.
TEST_F(RootCopyTest, ARunCannotRaiseTheBoundsOfTheRootCopy) {
    installertest::makeAgentPackage(package_, Agent{.sleep = 2});
    PackageServer server(package_, work_.file("journal"));
    InstallerBundle installer("Setup_K_" + key_ + "_.app");
    const std::string raising = "9999999999999999999";
    ASSERT_TRUE(installer.setParameters(R"({"Product": ")" + product_ +
                                        R"(", "MaxUnpackedBytes": ")" + raising + "\"}"));
    auto process = start(installer, {"-CompanyId", company_, "-UnattendedDownloadUrl",
                                     server.url(), "-MaxUnpackedEntries", "99999999"});
    ASSERT_TRUE(waitForRegistration()) << process->errors();
    std::string elevated;
    for (const int pid : installertest::processesMentioning("-PrivilegedInstall")) {
        const std::string line = readFile("/proc/" + std::to_string(pid) + "/cmdline");
        if (contains(line, destination())) {
            elevated = line;
        }
    }
    std::replace(elevated.begin(), elevated.end(), '\0', ' ');
    EXPECT_TRUE(contains(elevated, " -MaxUnpackedBytes 2147483648 -MaxUnpackedEntries 100000 "))
        << elevated;
    EXPECT_TRUE(process->waitForErrorLine(
        texts_.windowLines(InstallerState::Succeeded, "en").front()))
        << process->errors();
    process->writeInput("\n");
    EXPECT_EQ(0, process->finish().exitCode);
}

// The limits of whoever starts the root copy neither end it nor bind what
// it runs: it lifts them, so its log is whole though it is written past a
// file-size limit of 1 KiB, and the daemon runs without them. A hard limit
// only root with the right to raise it can lift; without that right the
// run still ends with its result line, its writes past the limit failed.
TEST_F(RootCopyTest, TheRootCopyLiftsTheLimitsItInherits) {
    InstallerBundle installer("Setup_K_" + key_ + "_.app");
    const bool mayRaise =
        testsupport::runCommand({"/usr/bin/prlimit", "--cpu=600", "/usr/bin/prlimit",
                                 "--cpu=unlimited", "/bin/true"})
            .exitCode == 0;
    struct Case {
        std::string option;
        std::string row;
        std::string soft;
        std::string logged;
        bool whole;  // the log holds every line
    };
    const std::vector<Case> cases{
        {"--fsize=1024:unlimited", "Max file size", "unlimited",
         "lifted: file size 1024 -> unlimited", true},
        {"--cpu=600:unlimited", "Max cpu time", "unlimited", "lifted: processor time 600 -> unlimited",
         true},
        {"--nofile=64:4096", "Max open files", "1024", "lifted: open files 64 -> 1024", true},
        {"--stack=4194304:unlimited", "Max stack size", "8388608",
         "lifted: stack size 4194304 -> 8388608", true},
        // Less than a copy needs: lifted before it checks what it needs.
        {"--stack=32768:unlimited", "Max stack size", "8388608",
         "lifted: stack size 32768 -> 8388608", true},
        mayRaise ? Case{"--fsize=1024", "Max file size", "unlimited",
                        "lifted: file size 1024 -> unlimited", true}
                 : Case{"--fsize=1024", "Max file size", "1024",
                        "kept: file size 1024 (its hard limit cannot be raised", false},
    };
    for (const auto& c : cases) {
        fs::remove_all(destination());
        Lines argv{"/usr/bin/prlimit", c.option, installer.executable()};
        const Lines arguments = request();
        argv.insert(argv.end(), arguments.begin(), arguments.end());
        const auto result = installer.launch(argv)->finish(std::chrono::seconds(60));
        EXPECT_EQ("<exitcode>0</exitcode>\n", result.output)
            << c.option << ", status " << result.exitCode << "\n"
            << result.errors;
        const std::string log = installer.lastLog();
        EXPECT_TRUE(contains(log, "inherited limit " + c.logged)) << c.option << "\n" << log;
        EXPECT_EQ(c.whole, contains(log, "over and out")) << c.option << "\n" << log;
        EXPECT_EQ(c.soft, softLimit(readFile(destination() + "/daemon-limits.txt"), c.row))
            << c.option;
    }
}

// The hidden names beside an install folder take its name and up to 40
// bytes more. The longest CompanyId whose names all fit (bytes, not
// characters, counted) installs, and updates with the earlier install's
// token carried over through the longest of those names; one byte more is
// refused before anything is written or downloaded, by the run (the window
// tells the failure) and by the elevated copy (status 3).
TEST_F(RootCopyTest, TheLongestCompanyIdThatFitsInstallsAndUpdatesOneByteMoreIsRefused) {
    std::string longest = "co-";
    longest.append((quorvane::unattended::InstallSlot::kLongestName - longest.size()) % 2, 'x');
    while (longest.size() < quorvane::unattended::InstallSlot::kLongestName) {
        longest += "\xC3\xA9";
    }
    const std::string tooLong = longest + "x";
    const std::string first = work_.file("first.zip");
    installertest::makeAgentPackage(first, Agent{.deviceToken = "first"});
    installertest::makeAgentPackage(package_, Agent{.deviceToken = "second"});
    PackageServer firstServer(first, work_.file("journal-first"));
    PackageServer secondServer(package_, work_.file("journal-second"));
    InstallerBundle installer("Setup_K_" + key_ + "_.app");
    ASSERT_TRUE(installer.setParameters(R"({"Product": ")" + product_ + "\"}"));
    const auto runWith = [&](const std::string& company, const PackageServer& server) {
        auto process =
            start(installer, {"-CompanyId", company, "-UnattendedDownloadUrl", server.url()});
        process->closeInput();
        return process->finish(std::chrono::seconds(60));
    };

    for (const auto* server : {&firstServer, &secondServer}) {
        const auto result = runWith(longest, *server);
        EXPECT_EQ(0, result.exitCode) << server->url() << installer.newLogsText();
        EXPECT_EQ(window(InstallerState::Succeeded), windowLines(result.errors));
        EXPECT_EQ((Lines{"-regsvc", "-publickey", key_}), daemonCall(longest));
        // The first install's token, carried over into the update.
        EXPECT_TRUE(contains(readFile(destination(longest) + "/unattended.json"),
                             R"("DeviceToken": "first")"))
            << readFile(destination(longest) + "/unattended.json");
    }

    const auto refused = runWith(tooLong, secondServer);
    EXPECT_EQ(2, refused.exitCode);
    EXPECT_EQ(installertest::joinLines({texts_.windowLines(InstallerState::Starting, "en"),
                                        texts_.windowLines(InstallerState::Downloading, "en"),
                                        texts_.windowLines(InstallerState::Failed, "en"),
                                        {installertest::kShown, installertest::kClosed}}),
              windowLines(refused.errors));
    EXPECT_TRUE(contains(installer.newLogsText(), "CompanyId '" + tooLong + "' is longer than"));
    EXPECT_EQ(1u, secondServer.requests().size()) << "no download";
    const Lines arguments = {"-PrivilegedInstall",       "-SourcePath", package_,
                             "-DestinationPath",         destination(tooLong),
                             "-publickey",               key_,
                             "-UnattendedInstallerArgs", ""};
    EXPECT_EQ("<exitcode>3</exitcode>\n", installer.start(arguments)->finish().output);
    EXPECT_EQ(Lines{longest}, entries(product()));
}

// With hard limits root may not raise (the right to is taken from it), too
// few descriptors or too small a stack end the elevated copy at its start,
// with its result line and status 4 and nothing made, not even its log
// folder. The least it needs is enough for a whole run: the elevated copy's
// alone, and the user-started copy's with the elevated one it starts.
TEST_F(RootCopyTest, LimitsRootCannotLiftEndTheElevatedCopyWithItsResultLine) {
    InstallerBundle installer("Setup_K_" + key_ + "_.app");
    ASSERT_TRUE(installer.setParameters(R"({"Product": ")" + product_ + "\"}"));
    PackageServer server(package_, work_.file("journal"));
    const std::string least =
        "--nofile=" + std::to_string(quorvane::unattended::InheritedLimits::kLeastOpenFiles);
    const std::string leastStack =
        "--stack=" + std::to_string(quorvane::unattended::InheritedLimits::kLeastStack);
    struct Case {
        Lines limits;
        std::string refusal;  // empty: it installs
    };
    const std::vector<Case> cases{
        {{"--nofile=5"}, "open files limited to 5 (hard limit 5): it needs at least 64"},
        {{"--nofile=16"}, "open files limited to 16 (hard limit 16): it needs at least 64"},
        {{"--stack=32768"},
         "stack size limited to 32768 bytes (hard limit 32768): it needs at least 262144 bytes"},
        {{least, leastStack}, ""},
    };
    for (const auto& c : cases) {
        fs::remove_all(product());
        Lines argv{"/usr/bin/setpriv", "--bounding-set=-sys_resource", "/usr/bin/prlimit"};
        argv.insert(argv.end(), c.limits.begin(), c.limits.end());
        argv.push_back(installer.executable());
        const Lines arguments = request();
        argv.insert(argv.end(), arguments.begin(), arguments.end());
        const auto result = installer.launch(argv)->finish(std::chrono::seconds(60));
        const std::string what = c.limits.front();
        if (c.refusal.empty()) {
            EXPECT_EQ("<exitcode>0</exitcode>\n", result.output) << what << result.errors;
            EXPECT_EQ((Lines{"-regsvc", "-publickey", key_}), daemonCall()) << what;
            continue;
        }
        EXPECT_EQ("<exitcode>4</exitcode>\n", result.output) << what << result.errors;
        EXPECT_EQ(4, result.exitCode) << what;
        EXPECT_EQ("unattended installer: cannot run with its " + c.refusal + "\n", result.errors)
            << what;
        EXPECT_EQ(Lines{}, installer.newLogs()) << what;
        EXPECT_FALSE(fs::exists(product())) << what;
    }

    // The user-started copy with the elevated one, at the least they need.
    fs::remove_all(product());
    auto process = installer.launch({"/usr/bin/setpriv", "--bounding-set=-sys_resource",
                                     "/usr/bin/prlimit", least, leastStack, installer.executable(),
                                     "-CompanyId", company_, "-UnattendedDownloadUrl", server.url(),
                                     "-WorkFolder", work_.file("run"), "-Lang", "en"},
                                    {"LANG=en_US.UTF-8"});
    EXPECT_TRUE(process->waitForErrorLine(
        texts_.windowLines(InstallerState::Succeeded, "en").front()))
        << process->errors();
    process->writeInput("\n");
    const auto result = process->finish();
    EXPECT_EQ(0, result.exitCode) << result.errors;
    EXPECT_EQ(window(InstallerState::Succeeded), windowLines(result.errors));
    EXPECT_EQ((Lines{"-regsvc", "-publickey", key_}), daemonCall());
    EXPECT_EQ(Lines{}, entries(work_.file("run")));
}

}  // namespace
