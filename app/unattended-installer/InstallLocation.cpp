#include "InstallLocation.h"

namespace quorvane::unattended {

bool isPlainFolderName(const std::string& name) {
    return name.find('/') == std::string::npos && name.find('\0') == std::string::npos &&
           name != "." && name != "..";
}

boost::filesystem::path installFolder(const std::string& product, const std::string& companyId) {
    return boost::filesystem::path(kInstallRoot) / kInstallFolderName / product / companyId;
}

std::vector<std::string> elevatedArguments(const std::string& source,
                                           const std::string& destination,
                                           const std::string& publicKey,
                                           const std::string& installerArguments) {
    return {"-PrivilegedInstall",
            "-SourcePath",
            source,
            "-DestinationPath",
            destination,
            "-publickey",
            publicKey,
            "-UnattendedInstallerArgs",
            installerArguments.empty() ? std::string() : "\"" + installerArguments + "\""};
}

}  // namespace quorvane::unattended
