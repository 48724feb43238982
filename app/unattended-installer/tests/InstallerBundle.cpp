#include "InstallerBundle.h"

#include <sys/stat.h>
#include <sys/xattr.h>

#include <algorithm>
#include <fstream>
#include <stdexcept>

#include <boost/filesystem.hpp>

namespace fs = boost::filesystem;

namespace installertest {

InstallerBundle::InstallerBundle(const std::string& bundleName, const std::string& base) {
    if (base.empty() && attributeRoot_.usable()) {
        root_ = attributeRoot_.path();
    } else {
        plainRoot_.emplace("installer-test", base);
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
        ::chmod(executable_.c_str(), 0755);
    }
    home_ = root_ + "/home";
    fs::create_directories(home_);
}

bool InstallerBundle::setParameters(const std::string& json) const {
    return ::setxattr(bundle_.c_str(), "user.com.wexo.quandel", json.data(), json.size(), 0) == 0;
}

void InstallerBundle::setMessages(const std::vector<unsigned char>& image) const {
    writeFile(bundle_ + "/Contents/Resources/messages.bin",
              std::string(image.begin(), image.end()));
}

void InstallerBundle::openToEveryone() const {
    ::chmod(root_.c_str(), 01777);
    for (fs::recursive_directory_iterator it(root_), end; it != end; ++it) {
        if (fs::is_directory(it->path())) {
            ::chmod(it->path().c_str(), 01777);
        }
    }
}

std::unique_ptr<RunningInstaller> InstallerBundle::launch(
    const std::vector<std::string>& command, std::vector<std::string> environment) const {
    environment.push_back("HOME=" + home_);
    foldersBefore_ = logFolders();
    return std::make_unique<RunningInstaller>(command, environment);
}

std::unique_ptr<RunningInstaller> InstallerBundle::start(const std::vector<std::string>& arguments,
                                                         std::vector<std::string> environment,
                                                         const std::string& executable) const {
    std::vector<std::string> argv{executable.empty() ? executable_ : executable};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    return launch(argv, std::move(environment));
}

testsupport::ChildResult InstallerBundle::run(const std::vector<std::string>& arguments,
                                              std::vector<std::string> environment) const {
    auto process = start(arguments, std::move(environment));
    process->writeInput("\n");
    return process->finish(std::chrono::seconds(60));
}

std::vector<std::string> InstallerBundle::logFolders() const {
    const fs::path base = fs::path(home_) / ".kestrin" / "quorvane" / "unattended_installer";
    boost::system::error_code error;
    std::vector<std::string> folders;
    for (fs::directory_iterator it(base, error), end; !error && it != end; ++it) {
        folders.push_back(it->path().string());
    }
    return folders;
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

std::string InstallerBundle::lastLog() const {
    const auto logs = newLogs();
    return logs.empty() ? std::string() : logs.front();
}

std::string InstallerBundle::newLogsText() const {
    std::string text;
    for (const auto& log : newLogs()) {
        text += log;
    }
    return text;
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
                                  std::to_string(agent.hold),
                                  "--device-token",
                                  agent.deviceToken,
                                  "--json-link",
                                  agent.jsonLink,
                                  "--json-size",
                                  std::to_string(agent.jsonSize),
                                  "--filler",
                                  std::to_string(agent.fillerCount),
                                  std::to_string(agent.fillerSize)};
    if (agent.modes) {
        argv.push_back("--modes");
    }
    if (!agent.leaveRunning.empty()) {
        argv.insert(argv.end(), {"--leave-running", agent.leaveRunning, "--leftover-pause",
                                 agent.leftoverPause});
    }
    if (!agent.lateWriters.empty()) {
        argv.insert(argv.end(), {"--late-writers", agent.lateWriters});
    }
    // A text of any length, past what one argument may hold.
    const std::string textFile = path + ".json-text";
    if (agent.jsonText) {
        writeFile(textFile, *agent.jsonText);
        argv.insert(argv.end(), {"--json-text-file", textFile});
    }
    if (agent.understate) {
        argv.push_back("--understate");
    }
    const auto result = testsupport::runCommand(argv);
    boost::system::error_code ignored;
    fs::remove(textFile, ignored);
    if (result.exitCode != 0) {
        throw std::runtime_error("cannot make the agent package: " + result.errors);
    }
}

std::vector<int> processesMentioning(const std::string& text) {
    std::vector<int> found;
    for (fs::directory_iterator it("/proc"), end; it != end; ++it) {
        const std::string name = it->path().filename().string();
        if (name.find_first_not_of("0123456789") == std::string::npos &&
            contains(testsupport::readFile(it->path().string() + "/cmdline"), text)) {
            found.push_back(std::stoi(name));
        }
    }
    return found;
}

void writeFile(const std::string& path, const std::string& content) {
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file << content;
    if (!file.flush()) {
        throw std::runtime_error("cannot write " + path);
    }
}

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

std::vector<std::string> entries(const std::string& folder) {
    std::vector<std::string> names;
    for (fs::directory_iterator it(folder), end; it != end; ++it) {
        names.push_back(it->path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

}  // namespace installertest
