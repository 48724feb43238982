#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <boost/filesystem/path.hpp>

namespace quorvane::unattended {

// The folder under which every agent is installed.
inline constexpr const char* kInstallRoot = "/Library/Application Support/";
inline constexpr const char* kInstallFolderName = "WexoQuandelUnattended";

// Whether `name` may stand as one folder name of the install folder: not
// empty, at most NAME_MAX bytes of UTF-8, no "/" and no control character
// (C0, DEL or C1), and neither "." nor "..".
bool isPlainFolderName(const std::string& name);

// kInstallRoot joined with kInstallFolderName, `product` and `companyId`.
boost::filesystem::path installFolder(const std::string& product, const std::string& companyId);

// Whether `folder` is kInstallRoot, kInstallFolderName, a plain folder name
// and an install folder name (isInstallFolderName), written exactly so.
bool isInstallFolder(const std::string& folder);

// Whether `name` (a CompanyId) may name an install folder: a plain folder
// name whose installFolderNameProblem is empty.
bool isInstallFolderName(const std::string& name);

// Why the plain folder name `name` cannot name an install folder, empty
// when it can: it is too long for the hidden names beside it to fit
// (InstallSlot::kLongestName), or it can be read as one of the hidden names
// beside another install folder (InstallSlot), or it holds ".unpacking-",
// which would make its own hidden names begin as another's.
std::string installFolderNameProblem(const std::string& name);

// Whether `key` may be handed to the agent daemon: 64 printable ASCII
// characters, the first not a dash.
bool isUsableKey(const std::string& key);

// What the user-started copy asks of the elevated copy.
struct ElevatedRequest {
    std::string source;
    std::string destination;
    std::string publicKey;
    std::string installerArguments;
    // The user who started the run, who may own the package.
    std::string user;
    // How long the daemon's registration may take.
    std::chrono::seconds registrationTimeout{300};
    // How much the package may unpack to: bytes of its files and entries.
    std::uint64_t maxUnpackedBytes = std::uint64_t{2} << 30;
    std::uint64_t maxUnpackedEntries = 100000;
};

// The unpacking bound a run's parameter `text` names: its decimal value when
// that is below `ceiling`, else `ceiling` (also for an empty or unreadable
// text). A run's parameters, from the attribute or its command line, may
// lower the bounds; only the elevated copy's own command line may raise them.
std::uint64_t lowerBound(const std::string& text, std::uint64_t ceiling);

// The elevated copy's command line after its executable: the flag
// "-PrivilegedInstall" first, then "-SourcePath", "-DestinationPath",
// "-publickey", "-UnattendedInstallerArgs", "-InstallerUser",
// "-MaxUnpackedBytes" and "-MaxUnpackedEntries", each followed by its value
// exactly as it is (a value may begin with a dash).
std::vector<std::string> elevatedArguments(const ElevatedRequest& request);

// Whether `arguments` (argv[0] first) start the elevated copy: the flag
// "-PrivilegedInstall" right after the executable.
bool isElevatedCommandLine(const std::vector<std::string>& arguments);
// The same for main's own arguments, before anything is allocated.
bool isElevatedCommandLine(int argc, char** argv);

// Reads an elevated command line back: each option of elevatedArguments
// (and "-RegistrationTimeout" with a number of seconds) at most once, the
// numbers in decimal digits,
// followed by its value. Anything else gives no request.
std::optional<ElevatedRequest> parseElevatedArguments(const std::vector<std::string>& arguments);

}  // namespace quorvane::unattended
