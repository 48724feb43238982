#include "InstallLocation.h"

#include <algorithm>
#include <set>

namespace quorvane::unattended {

namespace {

constexpr const char* kElevatedFlag = "-PrivilegedInstall";

}  // namespace

bool isPlainFolderName(const std::string& name) {
    const bool control = std::any_of(name.begin(), name.end(), [](char c) {
        return static_cast<unsigned char>(c) < 0x20 || c == 0x7f;
    });
    return !name.empty() && !control && name.find('/') == std::string::npos && name != "." &&
           name != "..";
}

boost::filesystem::path installFolder(const std::string& product, const std::string& companyId) {
    return boost::filesystem::path(kInstallRoot) / kInstallFolderName / product / companyId;
}

bool isInstallFolder(const std::string& folder) {
    const std::string base = std::string(kInstallRoot) + kInstallFolderName + "/";
    if (folder.compare(0, base.size(), base) != 0) {
        return false;
    }
    const std::string rest = folder.substr(base.size());
    const auto slash = rest.find('/');
    return slash != std::string::npos && isPlainFolderName(rest.substr(0, slash)) &&
           isPlainFolderName(rest.substr(slash + 1));
}

bool isUsableKey(const std::string& key) {
    return key.size() == 64 && key.front() != '-' &&
           std::all_of(key.begin(), key.end(), [](char c) { return c >= 0x20 && c < 0x7f; });
}

std::vector<std::string> elevatedArguments(const ElevatedRequest& request) {
    return {kElevatedFlag,
            "-SourcePath",
            request.source,
            "-DestinationPath",
            request.destination,
            "-publickey",
            request.publicKey,
            "-UnattendedInstallerArgs",
            request.installerArguments,
            "-InstallerUser",
            request.user};
}

bool isElevatedCommandLine(const std::vector<std::string>& arguments) {
    return arguments.size() > 1 && arguments[1] == kElevatedFlag;
}

std::optional<ElevatedRequest> parseElevatedArguments(const std::vector<std::string>& arguments) {
    if (!isElevatedCommandLine(arguments)) {
        return std::nullopt;
    }
    ElevatedRequest request;
    std::string timeout;
    const std::pair<const char*, std::string*> options[] = {
        {"-SourcePath", &request.source},
        {"-DestinationPath", &request.destination},
        {"-publickey", &request.publicKey},
        {"-UnattendedInstallerArgs", &request.installerArguments},
        {"-InstallerUser", &request.user},
        {"-RegistrationTimeout", &timeout}};
    std::set<std::string> seen;
    for (std::size_t i = 2; i < arguments.size(); i += 2) {
        const auto option = std::find_if(std::begin(options), std::end(options),
                                         [&](const auto& o) { return arguments[i] == o.first; });
        if (option == std::end(options) || i + 1 >= arguments.size() ||
            !seen.insert(arguments[i]).second) {
            return std::nullopt;
        }
        *option->second = arguments[i + 1];
    }
    if (!timeout.empty()) {
        if (timeout.size() > 6 || !std::all_of(timeout.begin(), timeout.end(), ::isdigit)) {
            return std::nullopt;
        }
        request.registrationTimeout = std::chrono::seconds(std::stoi(timeout));
    }
    return request;
}

}  // namespace quorvane::unattended
