// The user-started installer as a person sees it: the real bundle runs as a
// child process, its window drawn as lines on standard error.
#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <boost/filesystem.hpp>

#include "InstallerBundle.h"
#include "MessageTexts.h"
#include "support/ChildProcess.h"
#include "support/TempDir.h"

namespace fs = boost::filesystem;
using installertest::InstallerBundle;
using installertest::joinLines;
using installertest::keyOf;
using installertest::MessageTexts;
using quorvane::unattended::InstallerState;

namespace {

const std::string kShown = "window: shown";
const std::string kClosed = "window: closed";

// The system language of a run: LANG alone decides.
std::vector<std::string> systemLanguage(const std::string& lang) {
    return {"LANG=" + lang, "LANGUAGE", "LC_ALL", "LC_MESSAGES"};
}

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

class WindowTest : public ::testing::Test {
protected:
    std::string keyedBundleName() const { return "Setup_K_" + keyOf("0123456789abcdef") + "_.app"; }

    // Arguments that keep the run's files in the test's work folder.
    std::vector<std::string> inWorkFolder(std::vector<std::string> arguments = {}) const {
        arguments.insert(arguments.begin(), {"-WorkFolder", work_.path()});
        return arguments;
    }

    std::string downloadFolder() const { return work_.file("download"); }

    MessageTexts texts_;
    testsupport::TempDir work_{"installer-window"};
};

TEST_F(WindowTest, WithoutKeyTheAlertFollowsTheSystemLanguageAndTheRunEndsWithOne) {
    InstallerBundle installer("Setup.app");
    const auto result = installer.run(inWorkFolder({"-Lang", "fr"}), systemLanguage("de_DE.UTF-8"));
    ASSERT_TRUE(result.exited) << result.errors;
    EXPECT_EQ(1, result.exitCode);
    EXPECT_EQ("", result.output) << "no result line";
    // The window speaks "Lang"; the alert speaks the system's language.
    EXPECT_EQ(joinLines({texts_.windowLines(InstallerState::Starting, "fr"),
                         {texts_.alertLine("de"), kClosed}}),
              result.errors);
    EXPECT_TRUE(contains(texts_.alertLine("de"), "Wexo Quandel Unattended kann nicht"));
    const std::string log = installer.lastLog();
    EXPECT_TRUE(contains(log, "[critical] [UnattendedInstaller] Public key is empty")) << log;
    EXPECT_FALSE(contains(log, "download folder:"));
    EXPECT_FALSE(fs::exists(downloadFolder()));
}

TEST_F(WindowTest, WithoutKeyAndWithoutLanguageSettingsEverythingIsInEnglish) {
    InstallerBundle installer("Setup.app");
    const auto result =
        installer.run(inWorkFolder(), {"LANG", "LANGUAGE", "LC_ALL", "LC_MESSAGES"});
    EXPECT_EQ(1, result.exitCode);
    EXPECT_EQ(joinLines({texts_.windowLines(InstallerState::Starting, "en"),
                         {texts_.alertLine("en"), kClosed}}),
              result.errors);
}

TEST_F(WindowTest, OfflineRunsWithoutKeyAndAnEmptyUrlFails) {
    InstallerBundle installer("Setup.app");
    ASSERT_TRUE(installer.setParameters(R"({"Offline": "1", "Lang": "it"})"));
    auto process = installer.start(inWorkFolder(), systemLanguage("de_DE.UTF-8"));
    ASSERT_TRUE(process->waitForErrorLine(kShown)) << process->errors();
    EXPECT_TRUE(fs::is_directory(downloadFolder()));
    process->writeInput("\n");
    const auto result = process->finish();
    ASSERT_TRUE(result.exited) << result.errors;
    EXPECT_EQ(0, result.exitCode);
    EXPECT_EQ("", result.output);
    EXPECT_EQ(joinLines({texts_.windowLines(InstallerState::Starting, "it"),
                         texts_.windowLines(InstallerState::Downloading, "it"),
                         texts_.windowLines(InstallerState::Failed, "it"),
                         {kShown, kClosed}}),
              result.errors);
    const std::string log = installer.lastLog();
    EXPECT_TRUE(contains(log, "[error] [UnattendedInstaller] download url is empty")) << log;
    EXPECT_FALSE(contains(log, "Public key is empty"));
    EXPECT_FALSE(fs::exists(downloadFolder()));
}

TEST_F(WindowTest, TheButtonEndsTheRunAndRemovesTheDownloadFolder) {
    InstallerBundle installer(keyedBundleName());
    ASSERT_TRUE(installer.setParameters(
        R"({"UnattendedDownloadUrl": "http://127.0.0.1:9/WexoQuandelUnattended.zip"})"));
    auto process = installer.start(inWorkFolder(), systemLanguage("en_US.UTF-8"));
    ASSERT_TRUE(process->waitForErrorLine(kShown)) << process->errors();
    EXPECT_TRUE(fs::is_directory(downloadFolder()));
    process->writeInput("\n");
    const auto result = process->finish();
    ASSERT_TRUE(result.exited) << result.errors;
    EXPECT_EQ(0, result.exitCode);
    EXPECT_EQ("", result.output) << "the user-started copy prints no result line";
    EXPECT_EQ(joinLines({texts_.windowLines(InstallerState::Starting, "en"),
                         texts_.windowLines(InstallerState::Downloading, "en"),
                         {kShown, kClosed}}),
              result.errors);
    EXPECT_FALSE(fs::exists(downloadFolder()));
    const std::string log = installer.lastLog();
    EXPECT_TRUE(contains(log, "downloading from: 'http://127.0.0.1:9/WexoQuandelUnattended.zip'"))
        << log;
    EXPECT_TRUE(contains(log, "download folder: '" + downloadFolder() + "'"));
    EXPECT_TRUE(contains(log, "quiting..."));
    EXPECT_TRUE(contains(log, "over and out"));
}

TEST_F(WindowTest, ClosingSignalsEndTheRunAsAPersonClosingTheWindowWould) {
    InstallerBundle installer(keyedBundleName());
    ASSERT_TRUE(
        installer.setParameters(R"({"UnattendedDownloadUrl": "http://127.0.0.1:9/a.zip"})"));
    for (const int number : {SIGTERM, SIGINT, SIGHUP}) {
        auto process = installer.start(inWorkFolder(), systemLanguage("en_US.UTF-8"));
        ASSERT_TRUE(process->waitForErrorLine(kShown)) << process->errors();
        process->signal(number);
        const auto result = process->finish();
        ASSERT_TRUE(result.exited) << "signal " << number << ": " << result.errors;
        EXPECT_EQ(0, result.exitCode) << number;
        EXPECT_EQ("", result.output) << number;
        EXPECT_TRUE(contains(result.errors, kShown + "\n" + kClosed + "\n")) << result.errors;
        EXPECT_FALSE(fs::exists(downloadFolder())) << number;
        EXPECT_TRUE(contains(installer.lastLog(), "over and out")) << number;
    }
}

TEST_F(WindowTest, AnEarlierDownloadFolderKeepsTheUserFiles) {
    fs::create_directories(downloadFolder() + "/mine");
    {
        std::FILE* file = std::fopen((downloadFolder() + "/notes.txt").c_str(), "w");
        ASSERT_NE(nullptr, file);
        std::fputs("keep me", file);
        std::fclose(file);
    }
    InstallerBundle installer(keyedBundleName());
    ASSERT_TRUE(
        installer.setParameters(R"({"UnattendedDownloadUrl": "http://127.0.0.1:9/a.zip"})"));
    auto process = installer.start(inWorkFolder(), systemLanguage("en_US.UTF-8"));
    ASSERT_TRUE(process->waitForErrorLine(kShown)) << process->errors();
    process->writeInput("\n");
    const auto result = process->finish();
    EXPECT_EQ(0, result.exitCode) << result.errors;
    EXPECT_EQ("keep me", testsupport::readFile(downloadFolder() + "/notes.txt"));
    EXPECT_TRUE(fs::is_directory(downloadFolder() + "/mine"));
}

TEST_F(WindowTest, TheEndOfInputPressesNothing) {
    InstallerBundle installer(keyedBundleName());
    auto process = installer.start(inWorkFolder(), systemLanguage("en_US.UTF-8"));
    ASSERT_TRUE(process->waitForErrorLine(kShown)) << process->errors();
    process->closeInput();
    EXPECT_TRUE(process->staysRunning(std::chrono::milliseconds(500)));
    EXPECT_TRUE(fs::is_directory(downloadFolder()));
    process->signal(SIGTERM);
    const auto result = process->finish();
    EXPECT_EQ(0, result.exitCode) << result.errors;
    EXPECT_FALSE(fs::exists(downloadFolder()));
}

TEST_F(WindowTest, CharactersBeyondTheBasicPlaneReachTheWindowWhole) {
    InstallerBundle installer("Setup.app");
    auto& table = texts_.table();
    const std::string rocket = "\xF0\x9F\x9A\x80";  // U+1F680
    const std::string clef = "\xF0\x9D\x84\x9E";    // U+1D11E
    table.defaults[30] = rocket + " Installer " + clef;
    for (auto& texts : table.texts) {
        texts[30].clear();
    }
    installer.setMessages(
        quorvane::messagesbin::packTable(quorvane::messagesbin::serializeTable(table)));
    const auto result = installer.run(inWorkFolder({"-Lang", "de"}), systemLanguage("en_US.UTF-8"));
    EXPECT_EQ(1, result.exitCode) << "no key";
    const auto lines = testsupport::splitLines(result.errors);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ("window: title \"" + rocket + " Installer " + clef + "\"", lines.front());
}

TEST_F(WindowTest, ADownloadFolderThatCannotBeMadeEndsTheRunWithOne) {
    {
        std::FILE* file = std::fopen(work_.file("plain").c_str(), "w");
        ASSERT_NE(nullptr, file);
        std::fclose(file);
    }
    fs::create_symlink(work_.file("plain/below"), downloadFolder());
    InstallerBundle installer(keyedBundleName());
    const auto result = installer.run(inWorkFolder(), systemLanguage("en_US.UTF-8"));
    ASSERT_TRUE(result.exited) << result.errors;
    EXPECT_EQ(1, result.exitCode);
    EXPECT_EQ("", result.output);
    EXPECT_EQ(joinLines({texts_.windowLines(InstallerState::Starting, "en"), {kClosed}}),
              result.errors);
    EXPECT_TRUE(fs::is_symlink(downloadFolder())) << "left as it was";
}

}  // namespace
