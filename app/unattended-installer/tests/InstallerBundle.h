#pragma once

#include <string>
#include <vector>

#include "support/ChildProcess.h"
#include "support/TempDir.h"

namespace installertest {

// A copy of the built installer laid out as a bundle in a folder of its own,
// with a home folder for its logs.
class InstallerBundle {
public:
    // `bundleName` is the bundle folder's name, such as "Setup_K_<key>_.app".
    explicit InstallerBundle(const std::string& bundleName);

    const std::string& executable() const { return executable_; }
    const std::string& bundle() const { return bundle_; }
    const std::string& home() const { return home_; }
    std::string folder() const { return root_.path(); }

    // Opens the folders to every user, for runs as another user.
    void openToEveryone() const;

    // Runs the installer with `arguments` (argv[0] added) and HOME set.
    testsupport::ChildResult run(const std::vector<std::string>& arguments,
                                 std::vector<std::string> environment = {}) const;

    // Runs any command (for instance the installer through setpriv) and
    // notes the log folder it made.
    testsupport::ChildResult runCommand(const std::vector<std::string>& argv,
                                        const testsupport::CommandOptions& options) const;

    // The log folders the runs made, and the installer's log of the last run.
    std::vector<std::string> logFolders() const;
    std::string lastLog() const;

private:
    testsupport::TempDir root_;
    std::string bundle_;
    std::string executable_;
    std::string home_;
    mutable std::string lastFolder_;
};

// A key of 64 characters made of `unit` repeated.
std::string keyOf(const std::string& unit);

// Makes a sample agent package at `path`; see fixtures/make-agent-package.
void makeAgentPackage(const std::string& path, int daemonExitCode = 0,
                      const std::string& deviceToken = "");

}  // namespace installertest
