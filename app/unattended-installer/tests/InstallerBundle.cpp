#include "InstallerBundle.h"

#include <sys/stat.h>
#include <sys/xattr.h>

#include <algorithm>
#include <cstdio>
#include <stdexcept>

#include <boost/filesystem.hpp>

namespace fs = boost::filesystem;

namespace installertest {

InstallerBundle::InstallerBundle(const std::string& bundleName) {
    if (attributeRoot_.usable()) {
        root_ = attributeRoot_.path();
    } else {
        plainRoot_.emplace("installer-test");
        root_ = plainRoot_->path();
    }
    bundle_ = root_ + "/" + bundleName;
    const fs::path macos = fs::path(bundle_) / "Contents" / "MacOS";
    fs::create_directories(macos);
    fs::create_directories(fs::path(bundle_) / "Contents" / "Resources");
    fs::copy_file(QUORVANE_MESSAGES_BIN,
                  fs::path(bundle_) / "Contents" / "Resources" / "messages.bin");
    executable_ = (macos / fs::path(INSTALLER_EXECUTABLE).filename()).string();
    boost::system::error_code error;
    fs::create_hard_link(INSTALLER_EXECUTABLE, executable_, error);
    if (error) {
        fs::copy_file(INSTALLER_EXECUTABLE, executable_);
        fs::permissions(executable_, fs::perms::owner_all | fs::perms::group_read |
                                         fs::perms::group_exe | fs::perms::others_read |
                                         fs::perms::others_exe);
    }
    home_ = root_ + "/home";
    fs::create_directories(home_);
}

bool InstallerBundle::setParameters(const std::string& json) const {
    return ::setxattr(bundle_.c_str(), "user.com.wexo.quandel", json.data(), json.size(), 0) == 0;
}

void InstallerBundle::setMessages(const std::vector<unsigned char>& image) const {
    const std::string path = bundle_ + "/Contents/Resources/messages.bin";
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) {
        throw std::runtime_error("cannot write " + path);
    }
    const bool written = std::fwrite(image.data(), 1, image.size(), file) == image.size();
    if (std::fclose(file) != 0 || !written) {
        throw std::runtime_error("cannot write " + path);
    }
}

void InstallerBundle::openToEveryone() const {
    for (fs::recursive_directory_iterator it(root_), end; it != end; ++it) {
        if (fs::is_directory(it->path())) {
            ::chmod(it->path().c_str(), 0777);
        }
    }
    ::chmod(root_.c_str(), 0777);
}

testsupport::ChildResult InstallerBundle::run(const std::vector<std::string>& arguments,
                                              std::vector<std::string> environment) const {
    std::vector<std::string> argv{executable_};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    environment.push_back("HOME=" + home_);
    testsupport::CommandOptions options;
    options.environment = environment;
    // A Return for the window's button, once the run has shown its outcome.
    options.input = "\n";
    options.timeout = std::chrono::seconds(60);
    return runCommand(argv, options);
}

testsupport::ChildResult InstallerBundle::runCommand(
    const std::vector<std::string>& argv, const testsupport::CommandOptions& options) const {
    foldersBefore_ = logFolders();
    return testsupport::runCommand(argv, options);
}

std::unique_ptr<RunningInstaller> InstallerBundle::start(const std::vector<std::string>& arguments,
                                                        std::vector<std::string> environment,
                                                        const std::string& executable) const {
    std::vector<std::string> argv{executable.empty() ? executable_ : executable};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    environment.push_back("HOME=" + home_);
    foldersBefore_ = logFolders();
    return std::make_unique<RunningInstaller>(argv, environment);
}

std::vector<std::string> InstallerBundle::logFolders() const {
    std::vector<std::string> folders;
    const fs::path base = fs::path(home_) / ".kestrin" / "quorvane" / "unattended_installer";
    boost::system::error_code error;
    if (!fs::is_directory(base, error)) {
        return folders;
    }
    for (fs::directory_iterator it(base), end; it != end; ++it) {
        folders.push_back(it->path().string());
    }
    return folders;
}

std::string InstallerBundle::lastLog() const {
    const auto logs = newLogs();
    return logs.empty() ? std::string() : logs.front();
}

std::vector<std::string> InstallerBundle::newLogs() const {
    std::vector<std::string> logs;
    for (const auto& folder : logFolders()) {
        if (std::find(foldersBefore_.begin(), foldersBefore_.end(), folder) ==
            foldersBefore_.end()) {
            logs.push_back(testsupport::readFile(
                folder + "/" + fs::path(executable_).filename().string() + ".log"));
        }
    }
    return logs;
}

std::string keyOf(const std::string& unit) {
    std::string key;
    while (key.size() < 64) {
        key += unit;
    }
    return key.substr(0, 64);
}

void makeAgentPackage(const std::string& path, const Agent& agent) {
    std::vector<std::string> argv{"/usr/bin/python3",
                                  AGENT_PACKAGE_MAKER,
                                  path,
                                  "--exit-code",
                                  std::to_string(agent.exitCode),
                                  "--sleep",
                                  std::to_string(agent.sleep),
                                  "--hold",
                                  std::to_string(agent.hold)};
    if (!agent.deviceToken.empty()) {
        argv.insert(argv.end(), {"--device-token", agent.deviceToken});
    }
    const auto result = testsupport::runCommand(argv);
    if (result.exitCode != 0) {
        throw std::runtime_error("cannot make the agent package: " + result.errors);
    }
}

std::vector<int> processesMentioning(const std::string& text) {
    std::vector<int> found;
    for (fs::directory_iterator it("/proc"), end; it != end; ++it) {
        const std::string name = it->path().filename().string();
        if (name.find_first_not_of("0123456789") == std::string::npos &&
            testsupport::readFile(it->path().string() + "/cmdline").find(text) !=
                std::string::npos) {
            found.push_back(std::stoi(name));
        }
    }
    return found;
}

}  // namespace installertest
