#include <gtest/gtest.h>

#include <pwd.h>
#include <unistd.h>

#include <set>

#include <rapidjson/document.h>
#include <boost/filesystem.hpp>

#include "InstallerBundle.h"
#include "support/ChildProcess.h"
#include "support/TempDir.h"

namespace fs = boost::filesystem;
using installertest::InstallerBundle;
using installertest::keyOf;
using installertest::makeAgentPackage;

namespace {

const std::string kExitZero = "<exitcode>0</exitcode>\n";

class PrivilegedInstallTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (::geteuid() != 0) {
            GTEST_SKIP() << "the elevated role needs root";
        }
    }

    static std::vector<std::string> daemonCall(const std::string& destination) {
        return testsupport::splitLines(testsupport::readFile(destination + "/daemon-call.txt"));
    }

    static bool contains(const std::string& text, const std::string& part) {
        return text.find(part) != std::string::npos;
    }

    testsupport::TempDir work_{"installer-work"};
};

TEST_F(PrivilegedInstallTest, InstallsAndRegistersWithTheKeyFromTheBundlePath) {
    const std::string key = keyOf("0123456789abcdef");
    InstallerBundle installer("Setup_K_" + key + "_.app");
    const std::string package = work_.file("agent.zip");
    makeAgentPackage(package);
    const std::string destination = work_.file("dest/Product/Company");

    const auto result =
        installer.run({"-PrivilegedInstall", "-SourcePath", package, "-DestinationPath",
                       destination, "-UnattendedInstallerArgs", "\"-a 1 -name 'two words'\""});
    ASSERT_TRUE(result.exited) << result.errors;
    EXPECT_EQ(kExitZero, result.output);
    EXPECT_EQ(0, result.exitCode);
    EXPECT_TRUE(fs::is_regular_file(destination + "/WexoQuandelUnattended.app/Contents/MacOS/"
                                                  "WexoQuandelUnattendedDaemon"));
    // The value arrives quoted as the user-started copy quotes it: one word,
    // as a shell would have made of it.
    EXPECT_EQ((std::vector<std::string>{"-regsvc", "-a 1 -name 'two words'", "-publickey", key}),
              daemonCall(destination));
    const std::string log = installer.lastLog();
    EXPECT_TRUE(contains(log, "[info] [getPublicKeyFromPath] processed key: " + key)) << log;
    EXPECT_TRUE(contains(log, "unattended installer starting (1.9.4.2041)"));
    EXPECT_TRUE(contains(log, "Run command: \"" + destination +
                                  "/WexoQuandelUnattended.app/Contents/MacOS/"
                                  "WexoQuandelUnattendedDaemon\" -regsvc \"-a 1 -name 'two "
                                  "words'\" -publickey " +
                                  key));
    EXPECT_TRUE(contains(log, "over and out"));
}

TEST_F(PrivilegedInstallTest, UnquotedArgumentsAreSplitIntoWordsAndEmptyKeyIsLeftOut) {
    InstallerBundle installer("Setup.app");
    const std::string package = work_.file("agent.zip");
    makeAgentPackage(package);
    const std::string destination = work_.file("dest");
    const auto result =
        installer.run({"-PrivilegedInstall", "-SourcePath", package, "-DestinationPath",
                       destination, "-UnattendedInstallerArgs", "x 'y z' \"w\\\"v\""});
    EXPECT_EQ(kExitZero, result.output) << result.errors;
    EXPECT_EQ((std::vector<std::string>{"-regsvc", "x", "y z", "w\"v", "-publickey"}),
              daemonCall(destination));
}

TEST_F(PrivilegedInstallTest, MissingDestinationEndsWithThree) {
    InstallerBundle installer("Setup.app");
    const std::string package = work_.file("agent.zip");
    makeAgentPackage(package);
    for (const std::string destination : {"", "relative/dir", "/tmp/../etc/x", "/a/./../b"}) {
        std::vector<std::string> arguments{"-PrivilegedInstall", "-SourcePath", package};
        if (!destination.empty()) {
            arguments.push_back("-DestinationPath");
            arguments.push_back(destination);
        }
        const auto result = installer.run(arguments);
        EXPECT_EQ("<exitcode>3</exitcode>\n", result.output) << destination;
        EXPECT_EQ(3, result.exitCode);
        const std::string log = installer.lastLog();
        EXPECT_TRUE(contains(log,
                             "[error] [UnattendedInstaller] unable to create destination "
                             "folder: '" +
                                 destination + "'"))
            << log;
        EXPECT_TRUE(
            contains(log, "unable to install '" + package + "' to '" + destination + "': 3"));
    }
    EXPECT_FALSE(fs::exists("relative"));
}

TEST_F(PrivilegedInstallTest, BadOrMissingSourceEndsWithFourWithoutRegistration) {
    InstallerBundle installer("Setup.app");
    const std::string junk = work_.file("junk.zip");
    {
        std::FILE* file = std::fopen(junk.c_str(), "w");
        std::fputs("not an archive", file);
        std::fclose(file);
    }
    for (const std::string& source : {std::string(), junk, work_.file("missing.zip")}) {
        const std::string destination = work_.file("dest4");
        std::vector<std::string> arguments{"-PrivilegedInstall", "-DestinationPath", destination};
        if (!source.empty()) {
            arguments.push_back("-SourcePath");
            arguments.push_back(source);
        }
        const auto result = installer.run(arguments);
        EXPECT_EQ("<exitcode>4</exitcode>\n", result.output) << source;
        EXPECT_TRUE(contains(installer.lastLog(),
                             "[error] [UnattendedInstaller] unable to unpack "
                             "archive: '" +
                                 source + "' to '" + destination + "'"));
        EXPECT_FALSE(contains(installer.lastLog(), "Run command:"));
        EXPECT_FALSE(fs::exists(destination + "/daemon-call.txt"));
    }
}

TEST_F(PrivilegedInstallTest, FailingRegistrationEndsWithFive) {
    InstallerBundle installer("Setup.app");
    const std::string package = work_.file("agent.zip");
    makeAgentPackage(package, 7);
    const std::string destination = work_.file("dest5");
    auto result = installer.run({"-PrivilegedInstall", "-SourcePath", package, "-DestinationPath",
                                 destination, "-UnattendedInstallerArgs", "a"});
    EXPECT_EQ("<exitcode>5</exitcode>\n", result.output);
    EXPECT_TRUE(contains(installer.lastLog(),
                         "[error] [UnattendedInstaller] unable to run daemon registration"));
    EXPECT_EQ((std::vector<std::string>{"-regsvc", "a", "-publickey"}), daemonCall(destination));

    // Arguments that cannot be split into words are not run at all.
    makeAgentPackage(package, 0);
    fs::remove(destination + "/daemon-call.txt");
    result = installer.run({"-PrivilegedInstall", "-SourcePath", package, "-DestinationPath",
                            destination, "-UnattendedInstallerArgs", "'unterminated"});
    EXPECT_EQ("<exitcode>5</exitcode>\n", result.output);
    EXPECT_FALSE(fs::exists(destination + "/daemon-call.txt"));
}

TEST_F(PrivilegedInstallTest, UnprivilegedCopyEndsWithTwo) {
    InstallerBundle installer("Setup.app");
    installer.openToEveryone();
    const std::string package = work_.file("agent.zip");
    makeAgentPackage(package);
    ::chmod(work_.path().c_str(), 0755);
    ::chmod(package.c_str(), 0644);
    const auto result =
        installer.runCommand({"/usr/bin/setpriv", "--reuid=65534", "--regid=65534",
                              "--clear-groups", installer.executable(), "-PrivilegedInstall",
                              "-SourcePath", package, "-DestinationPath", work_.file("dest2")},
                             {{"HOME=" + installer.home()}, "", "", std::chrono::seconds(60)});
    EXPECT_EQ("<exitcode>2</exitcode>\n", result.output) << result.errors;
    EXPECT_EQ(2, result.exitCode);
    EXPECT_TRUE(
        contains(installer.lastLog(), "[error] [UnattendedInstaller] unable to set uid to 0"));
    EXPECT_FALSE(fs::exists(work_.file("dest2")));
}

TEST_F(PrivilegedInstallTest, DeviceTokenIsCarriedOverUnchanged) {
    InstallerBundle installer("Setup.app");
    const std::string package = work_.file("agent.zip");
    makeAgentPackage(package, 0, "token-from-package");
    const std::string destination = work_.file("dest-token");
    fs::create_directories(destination);
    {
        std::FILE* file = std::fopen((destination + "/unattended.json").c_str(), "w");
        std::fputs("{\"DeviceToken\": \"0123\", \"Old\": true}\n", file);
        std::fclose(file);
    }
    const auto result = installer.run(
        {"-PrivilegedInstall", "-SourcePath", package, "-DestinationPath", destination});
    EXPECT_EQ(kExitZero, result.output);
    rapidjson::Document document;
    document.Parse(testsupport::readFile(destination + "/unattended.json").c_str());
    ASSERT_TRUE(document.IsObject());
    ASSERT_TRUE(document["DeviceToken"].IsString());
    EXPECT_STREQ("0123", document["DeviceToken"].GetString());
    EXPECT_STREQ("sample", document["Product"].GetString());
    EXPECT_FALSE(document.HasMember("Old"));
    EXPECT_FALSE(fs::exists(destination + "/unattended.json.tmp"));
}

TEST_F(PrivilegedInstallTest, PackageTokenStaysWhenThereWasNoEarlierOne) {
    InstallerBundle installer("Setup.app");
    const std::string package = work_.file("agent.zip");
    makeAgentPackage(package, 0, "from-package");
    const std::string destination = work_.file("dest-new");
    const auto result = installer.run(
        {"-PrivilegedInstall", "-SourcePath", package, "-DestinationPath", destination});
    EXPECT_EQ(kExitZero, result.output);
    EXPECT_TRUE(contains(testsupport::readFile(destination + "/unattended.json"),
                         "\"DeviceToken\": \"from-package\""));
}

TEST_F(PrivilegedInstallTest, InjectionProbesStayLiteral) {
    // Every parameter carries shell syntax that would create the file
    // "pwned" in the working folder if it ever reached a shell.
    const std::string probe = work_.file("pwned");
    const std::string key = keyOf("$(touch${IFS}pwned)`touch pwned`;'\"");
    InstallerBundle installer("Setup_K_" + key + "_.app");
    const std::string packageDir = work_.file("a'b; touch pwned #");
    fs::create_directories(packageDir);
    const std::string package = packageDir + "/$(touch pwned).zip";
    makeAgentPackage(package);
    const std::string destination = work_.file("d'; touch pwned; '$(touch pwned)");
    const std::string args = "$(touch pwned) `touch pwned` ; touch pwned";
    const auto result =
        installer.run({"-PrivilegedInstall", "-SourcePath", package, "-DestinationPath",
                       destination, "-UnattendedInstallerArgs", args, "-WorkFolder", work_.path()});
    EXPECT_EQ(kExitZero, result.output) << result.errors;
    EXPECT_FALSE(fs::exists(probe)) << "a parameter was run as a command";
    const std::vector<std::string> expected{"-regsvc", "$(touch", "pwned)", "`touch",     "pwned`",
                                            ";",       "touch",   "pwned",  "-publickey", key};
    EXPECT_EQ(expected, daemonCall(destination));
}

TEST_F(PrivilegedInstallTest, ChildrenCannotFakeTheResultLine) {
    InstallerBundle installer("Setup.app");
    const std::string package = work_.file("agent.zip");
    makeAgentPackage(package, 5);
    const std::string destination = work_.file("fake");
    // The daemon prints a result line of its own; only ours may reach the
    // output the user-started copy reads.
    fs::create_directories(destination);
    const auto result =
        installer.run({"-PrivilegedInstall", "-SourcePath", package, "-DestinationPath",
                       destination, "-UnattendedInstallerArgs", "'<exitcode>0</exitcode>'"});
    EXPECT_EQ("<exitcode>5</exitcode>\n", result.output);
}

TEST_F(PrivilegedInstallTest, EveryRunLogsIntoAFolderOfItsOwn) {
    InstallerBundle installer("Setup.app");
    installer.run({"-PrivilegedInstall"});
    installer.run({"-PrivilegedInstall"});
    const auto folders = installer.logFolders();
    ASSERT_EQ(2u, folders.size());
    EXPECT_NE(folders[0], folders[1]);
    for (const auto& folder : folders) {
        EXPECT_EQ(10u, fs::path(folder).filename().string().size());
        EXPECT_EQ(fs::perms::owner_all, fs::status(folder).permissions());
        EXPECT_TRUE(fs::exists(folder + "/WexoQuandelUnattendedInstaller.log"));
    }
}

TEST_F(PrivilegedInstallTest, WithoutAHomeFolderTheUserDatabaseIsUsed) {
    const passwd* user = ::getpwuid(::getuid());
    ASSERT_NE(nullptr, user);
    const fs::path kestrin = fs::path(user->pw_dir) / ".kestrin";
    const fs::path runs = kestrin / "quorvane" / "unattended_installer";
    const bool hadKestrin = fs::exists(kestrin);
    std::set<fs::path> before;
    if (fs::is_directory(runs)) {
        before.insert(fs::directory_iterator(runs), fs::directory_iterator());
    }

    InstallerBundle installer("Setup.app");
    const auto result = installer.runCommand(
        {installer.executable(), "-PrivilegedInstall", "-WorkFolder", installer.folder()},
        {{"HOME"}, "", "", std::chrono::seconds(60)});
    EXPECT_EQ("<exitcode>3</exitcode>\n", result.output) << result.errors;

    // The run logged into the user database's home folder; take that away.
    std::vector<fs::path> made;
    if (fs::is_directory(runs)) {
        for (fs::directory_iterator it(runs), end; it != end; ++it) {
            if (before.count(it->path()) == 0) {
                made.push_back(it->path());
            }
        }
    }
    EXPECT_EQ(1u, made.size());
    for (const auto& folder : made) {
        fs::remove_all(folder);
    }
    if (!hadKestrin) {
        fs::remove_all(kestrin);
    }
}

}  // namespace
