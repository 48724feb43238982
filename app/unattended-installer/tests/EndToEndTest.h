// The fixture of the installer's runs as root against the real install
// location: a product and company of the test's own under
// "/Library/Application Support/WexoQuandelUnattended", a sample agent
// package and a work folder, removed again with the folders above that the
// test made.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include <boost/filesystem/path.hpp>

#include "InstallerBundle.h"
#include "InstallerState.h"
#include "MessageTexts.h"
#include "RunningInstaller.h"
#include "support/ChildProcess.h"
#include "support/TempDir.h"

namespace installertest {

inline const std::string kInstallBase = "/Library/Application Support/WexoQuandelUnattended";
inline const std::string kShown = "window: shown";
inline const std::string kClosed = "window: closed";

// The window's and the alert's lines among `errors`.
std::string windowLines(const std::string& errors);

// The installer as root against the real install location; skipped without
// root rights.
class EndToEndTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    std::string destination(const std::string& company = "") const {
        return kInstallBase + "/" + product_ + "/" + (company.empty() ? company_ : company);
    }

    // The elevated copy's command line for this test's package and folder.
    std::vector<std::string> request(const std::string& arguments = "") const {
        return {"-PrivilegedInstall",
                "-SourcePath",
                package_,
                "-DestinationPath",
                destination(),
                "-publickey",
                key_,
                "-UnattendedInstallerArgs",
                arguments};
    }

    std::vector<std::string> daemonCall(const std::string& company = "") const {
        return testsupport::splitLines(
            testsupport::readFile(destination(company) + "/daemon-call.txt"));
    }

    std::string window(quorvane::unattended::InstallerState outcome) const {
        using quorvane::unattended::InstallerState;
        return joinLines({texts_.windowLines(InstallerState::Starting, "en"),
                          texts_.windowLines(InstallerState::Downloading, "en"),
                          {kShown},
                          texts_.windowLines(InstallerState::Installing, "en"),
                          texts_.windowLines(outcome, "en"),
                          {kClosed}});
    }

    std::unique_ptr<RunningInstaller> start(const InstallerBundle& installer,
                                            std::vector<std::string> arguments = {},
                                            const std::string& executable = "") {
        arguments.insert(arguments.end(), {"-WorkFolder", work_.file("run"), "-Lang", "en"});
        return installer.start(arguments, {"LANG=en_US.UTF-8"}, executable);
    }

    MessageTexts texts_;
    testsupport::TempDir work_{"installer-e2e"};
    const std::string package_ = work_.file("agent.zip");
    const std::string key_ = keyOf("e2e0123456789abc");
    std::string product_;
    std::string company_;
    std::vector<boost::filesystem::path> madeFolders_;
};

}  // namespace installertest
