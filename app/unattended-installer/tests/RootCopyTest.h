// The fixture of the elevated copy's runs on its own as root, against the
// real install location (RootCopyTest.cpp, RootCopyBoundsTest.cpp,
// RootCopyParameterFileTest.cpp): an earlier install to install over, and
// the elevated copy started as the user-started copy starts it.
#pragma once

#include <algorithm>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <boost/filesystem.hpp>

#include "EndToEndTest.h"
#include "support/ChildProcess.h"

namespace installertest {

// The entries below `folder`, each with its content (a folder's is empty),
// in order.
inline std::vector<std::pair<std::string, std::string>> treeOf(const std::string& folder) {
    std::vector<std::pair<std::string, std::string>> tree;
    for (boost::filesystem::recursive_directory_iterator it(folder), end; it != end; ++it) {
        tree.emplace_back(boost::filesystem::relative(it->path(), folder).string(),
                          boost::filesystem::is_regular_file(it->symlink_status())
                              ? testsupport::readFile(it->path().string())
                              : "");
    }
    std::sort(tree.begin(), tree.end());
    return tree;
}

class RootCopyTest : public EndToEndTest {
protected:
    std::string product() const { return kInstallBase + "/" + product_; }

    // An earlier install holding `marker`.
    void makeEarlierInstall(const std::string& marker = "earlier") const {
        boost::filesystem::create_directories(destination());
        writeFile(destination() + "/marker", marker);
    }

    std::string marker() const { return testsupport::readFile(destination() + "/marker"); }

    // Starts the elevated copy of `bundle` with `arguments` after the
    // request.
    std::unique_ptr<installertest::RunningInstaller> startElevated(
        const InstallerBundle& bundle, const std::vector<std::string>& extra = {},
        const std::string& package = "", const std::string& args = "") {
        std::vector<std::string> arguments = request(args);
        if (!package.empty()) {
            arguments[2] = package;
        }
        arguments.insert(arguments.end(), extra.begin(), extra.end());
        return bundle.start(arguments);
    }

    // Waits until the daemon of this test's install has started.
    bool waitForRegistration(std::chrono::seconds timeout = std::chrono::seconds(30)) const {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (!boost::filesystem::exists(destination() + "/daemon-pid.txt")) {
            if (std::chrono::steady_clock::now() > deadline) {
                return false;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return true;
    }
};

}  // namespace installertest
