#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "RunningInstaller.h"
#include "support/AttributeFolder.h"
#include "support/ChildProcess.h"
#include "support/TempDir.h"

namespace installertest {

// A copy of the built installer laid out as a bundle, with the built
// "messages.bin" in its resources, in a folder of its own (on a file system
// that keeps user extended attributes when one is at hand), with a home
// folder for its logs.
class InstallerBundle {
public:
    // `bundleName` is the bundle folder's name, such as "Setup_K_<key>_.app".
    explicit InstallerBundle(const std::string& bundleName);

    const std::string& executable() const { return executable_; }
    const std::string& bundle() const { return bundle_; }
    const std::string& home() const { return home_; }
    const std::string& folder() const { return root_; }

    // Sets the bundle's parameter attribute "com.wexo.quandel" to `json`;
    // false when the file system keeps no user attributes.
    bool setParameters(const std::string& json) const;

    // Replaces the bundle's "messages.bin" with `image`.
    void setMessages(const std::vector<unsigned char>& image) const;

    // Opens the folders to every user, for runs as another user.
    void openToEveryone() const;

    // Runs the installer with `arguments` (argv[0] added) and HOME set.
    testsupport::ChildResult run(const std::vector<std::string>& arguments,
                                 std::vector<std::string> environment = {}) const;

    // Runs any command (for instance the installer through setpriv) and
    // notes the log folder it made.
    testsupport::ChildResult runCommand(const std::vector<std::string>& argv,
                                        const testsupport::CommandOptions& options) const;

    // Starts the installer with `arguments` and HOME set, for a test that
    // talks to it while it runs; through `executable` when given (a link to
    // it, for instance).
    std::unique_ptr<RunningInstaller> start(const std::vector<std::string>& arguments,
                                            std::vector<std::string> environment = {},
                                            const std::string& executable = "") const;

    // The log folders the runs made, and the installer's log of the last run
    // (or start).
    std::vector<std::string> logFolders() const;
    std::string lastLog() const;
    // The installer's logs of every folder made since the last run (or
    // start): one for the user-started copy, and one for each elevated copy
    // that it started with the same home folder.
    std::vector<std::string> newLogs() const;

private:
    testsupport::AttributeFolder attributeRoot_;
    std::optional<testsupport::TempDir> plainRoot_;
    std::string root_;
    std::string bundle_;
    std::string executable_;
    std::string home_;
    mutable std::vector<std::string> foldersBefore_;
};

// A key of 64 characters made of `unit` repeated.
std::string keyOf(const std::string& unit);

// How the sample agent's daemon behaves; see fixtures/make-agent-package.
struct Agent {
    int exitCode = 0;
    std::string deviceToken;
    int sleep = 0;
    int hold = 0;
};

// Makes a sample agent package at `path`.
void makeAgentPackage(const std::string& path, const Agent& agent = {});

// The processes whose command line mentions `text`.
std::vector<int> processesMentioning(const std::string& text);

}  // namespace installertest
