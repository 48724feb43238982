// The user-started application driven from inside a process of its own, for
// what a person cannot reach through the window alone.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>

#include <boost/filesystem.hpp>

#include "DisplayText.h"
#include "InstallerBundle.h"
#include "MessageTexts.h"
#include "UnattendedInstallerApplication.h"
#include "common/params/CommandLineParams.h"
#include "common/params/Params.h"
#include "common/taskscheduler/TaskSchedulerMac.h"
#include "platform/foundation/Bundle.h"
#include "support/LogCapture.h"
#include "support/TempDir.h"

namespace fs = boost::filesystem;
using installertest::joinLines;
using installertest::MessageTexts;
using quorvane::unattended::InstallerState;
using quorvane::unattended::toDisplayText;
using quorvane::unattended::UnattendedInstallerApplication;

namespace {

// Runs `scenario` with the application of a keyed installer in a child
// process whose window lines go to `windowFile`; the window speaks German.
testsupport::LoggedRun runApplication(
    const std::string& windowFile, const std::string& workFolder,
    const std::function<int(UnattendedInstallerApplication&)>& scenario) {
    return testsupport::runLogged([&] {
        const int window = ::open(windowFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (window < 0 || ::dup2(window, STDERR_FILENO) < 0 || ::chdir(workFolder.c_str()) != 0) {
            return 90;
        }
        const std::string executable = "/Apps/Setup_K_" + installertest::keyOf("k") +
                                       "_.app/Contents/MacOS/WexoQuandelUnattendedInstaller";
        platform::foundation::Bundle::overrideMain(
            {executable, "/Apps/Setup.app",
             fs::path(QUORVANE_MESSAGES_BIN).parent_path().string()});
        const std::vector<std::string> arguments{executable, "-Lang", "de"};
        auto scheduler = common::TaskSchedulerMac::create(std::chrono::milliseconds(10),
                                                          common::createLogger("TaskScheduler"));
        common::Params params;
        params.addLayer(std::make_unique<common::CommandLineParams>(arguments), 2, false);
        UnattendedInstallerApplication application(arguments, *scheduler, params);
        if (!application.init()) {
            return 91;
        }
        return scenario(application);
    });
}

// The state table, states beyond it, and a teardown that runs once however
// often quit, the button or a late state change come.
TEST(InstallerApplicationTest, EachStateShowsItsStepAndOnlyTheFirstQuitTearsDown) {
    const MessageTexts texts;
    testsupport::TempDir folder("installer-app");
    const auto run =
        runApplication(folder.file("window.txt"), folder.path(), [&](auto& application) {
            for (const unsigned state : {2u, 5u, 1000u, 4u, 1u}) {
                application.updateView(state);
            }
            // The window's file and the run's download folder.
            const bool made = std::distance(fs::directory_iterator(folder.path()),
                                            fs::directory_iterator()) == 2;
            application.quit();
            const bool removed = std::distance(fs::directory_iterator(folder.path()),
                                               fs::directory_iterator()) == 1;
            application.quit();
            application.onButtonPushed();
            application.updateView(InstallerState::Failed);
            return made && removed ? 0 : 92;
        });  // the destructor quits once more
    ASSERT_TRUE(run.result.exited);
    EXPECT_EQ(0, run.result.exitCode);
    // Without a download URL the run fails at once; the title is set once.
    EXPECT_EQ(joinLines({texts.windowLines(InstallerState::Starting, "de"),
                         texts.windowLines(InstallerState::Downloading, "de"),
                         texts.windowLines(InstallerState::Failed, "de"),
                         texts.windowLines(InstallerState::Installing, "de"),
                         texts.windowLines(InstallerState::Succeeded, "de"),
                         texts.windowLines(InstallerState::Downloading, "de"),
                         {"window: closed"}}),
              testsupport::readFile(folder.file("window.txt")));
    EXPECT_EQ(1, run.count("info", "UnattendedInstaller", "quiting...")) << run.text();
    EXPECT_EQ(1, run.count("info", "UnattendedInstaller", "over and out"));
}

TEST(InstallerApplicationTest, DisplayTextKeepsCharactersBeyondTheBasicPlane) {
    const std::string rocket = "\xF0\x9F\x9A\x80";  // U+1F680
    // One code point per wide character, or the same as UTF-16 units.
    EXPECT_EQ("a" + rocket + "b", toDisplayText({L'a', static_cast<wchar_t>(0x1F680), L'b'}));
    EXPECT_EQ("a" + rocket + "b", toDisplayText({L'a', static_cast<wchar_t>(0xD83D),
                                                 static_cast<wchar_t>(0xDE80), L'b'}));
    EXPECT_EQ("Sch\xC3\xB6n \xE2\x80\xA6", toDisplayText(L"Sch\u00F6n \u2026"));
    // Halves of a pair on their own, or in the wrong order, are no character.
    const std::string replacement = "\xEF\xBF\xBD";
    EXPECT_EQ(replacement + "x", toDisplayText({static_cast<wchar_t>(0xD83D), L'x'}));
    EXPECT_EQ(replacement + replacement,
              toDisplayText({static_cast<wchar_t>(0xDE80), static_cast<wchar_t>(0xD83D)}));
    EXPECT_EQ(replacement, toDisplayText({static_cast<wchar_t>(0x110000)}));
}

}  // namespace
