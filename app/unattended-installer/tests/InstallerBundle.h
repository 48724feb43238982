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
    // With a `base` (a folder another user can reach, for runs as that
    // user), the bundle's folder is made there instead, with no care for
    // extended attributes.
    explicit InstallerBundle(const std::string& bundleName, const std::string& base = "");

    const std::string& executable() const { return executable_; }
    const std::string& bundle() const { return bundle_; }
    const std::string& home() const { return home_; }
    const std::string& folder() const { return root_; }

    // Sets the bundle's parameter attribute "com.wexo.quandel" to `json`;
    // false when the file system keeps no user attributes.
    bool setParameters(const std::string& json) const;
    // Replaces the bundle's "messages.bin" with `image`.
    void setMessages(const std::vector<unsigned char>& image) const;
    // Opens the folders to every user (sticky, as a shared temporary folder
    // is), for runs as another user.
    void openToEveryone() const;

    // Starts `command` (argv[0] is the path; the installer through setpriv,
    // for instance) with HOME set.
    std::unique_ptr<RunningInstaller> launch(const std::vector<std::string>& command,
                                             std::vector<std::string> environment = {}) const;
    // Starts the installer with `arguments`, through `executable` when given
    // (a link to it, for instance).
    std::unique_ptr<RunningInstaller> start(const std::vector<std::string>& arguments,
                                            std::vector<std::string> environment = {},
                                            const std::string& executable = "") const;
    // Runs the installer with `arguments` and a Return typed for the window's
    // button, once the run has shown its outcome.
    testsupport::ChildResult run(const std::vector<std::string>& arguments,
                                 std::vector<std::string> environment = {}) const;

    // The installer's logs of every log folder made since the last start: one
    // for the user-started copy, one for each elevated copy it started.
    std::vector<std::string> newLogs() const;
    // The first of them.
    std::string lastLog() const;
    // All of them, one after the other.
    std::string newLogsText() const;

private:
    std::vector<std::string> logFolders() const;

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
    std::string deviceToken{};
    int sleep = 0;
    int hold = 0;
    // Where the process the daemon leaves running writes its id, and how
    // long it pauses between its writes ("0": not at all).
    std::string leaveRunning{};
    std::string leftoverPause{"0.05"};
    // The file whose making lets the daemon's late writers write.
    std::string lateWriters{};
    // Packages that test the installer's bounds.
    bool modes = false;
    std::string jsonLink{};
    long long jsonSize = 0;
    std::optional<std::string> jsonText{};
    int fillerCount = 0;
    long long fillerSize = 0;
    bool understate = false;
};

// Makes a sample agent package at `path`.
void makeAgentPackage(const std::string& path, const Agent& agent = {});

// The processes whose command line mentions `text`.
std::vector<int> processesMentioning(const std::string& text);

void writeFile(const std::string& path, const std::string& content);
bool contains(const std::string& text, const std::string& part);
// The names in `folder`, sorted.
std::vector<std::string> entries(const std::string& folder);

}  // namespace installertest
