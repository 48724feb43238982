#pragma once

#include <string>
#include <vector>

#include <boost/filesystem/path.hpp>

namespace quorvane::unattended {

// The folder under which every agent is installed.
inline constexpr const char* kInstallRoot = "/Library/Application Support/";
inline constexpr const char* kInstallFolderName = "WexoQuandelUnattended";

// Whether `name` may stand as one folder name of the install folder: no "/",
// no NUL, and neither "." nor "..". An empty name adds no folder and is
// accepted.
bool isPlainFolderName(const std::string& name);

// kInstallRoot joined with kInstallFolderName, `product` and `companyId`.
boost::filesystem::path installFolder(const std::string& product, const std::string& companyId);

// The options of the elevated copy, after its executable: the flag
// "-PrivilegedInstall", then "-SourcePath", "-DestinationPath", "-publickey"
// and "-UnattendedInstallerArgs" each with its value. The installer arguments
// are wrapped in double quotes, so that a value beginning with a dash is not
// taken for an option; empty arguments stay an empty entry.
std::vector<std::string> elevatedArguments(const std::string& source,
                                           const std::string& destination,
                                           const std::string& publicKey,
                                           const std::string& installerArguments);

}  // namespace quorvane::unattended
