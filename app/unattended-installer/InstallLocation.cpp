#include "InstallLocation.h"

#include <limits.h>

#include <algorithm>
#include <cstring>
#include <set>
#include <tuple>

#include <boost/locale/utf.hpp>

#include "InstallSlot.h"

namespace quorvane::unattended {

namespace {

constexpr const char* kElevatedFlag = "-PrivilegedInstall";

// Whether `name` may be read as one of the hidden names that InstallSlot
// gives the folders of an install beside its own, or would give hidden names
// of its own that begin as another install folder's: ".<other>.unpacking-"
// is taken for an unpacking of "<other>" by name alone.
bool readsAsHiddenInstallName(const std::string& name) {
    const auto endsWith = [&name](const std::string& end) {
        return name.size() >= end.size() && name.compare(name.size() - end.size(), end.size(), end) == 0;
    };
    return name.find(".unpacking-") != std::string::npos ||
           (!name.empty() && name.front() == '.' &&
            (endsWith(".lock") || endsWith(".new") || endsWith(".earlier") || endsWith(".old")));
}

}  // namespace

bool isPlainFolderName(const std::string& name) {
    if (name.empty() || name.size() > NAME_MAX || name.find('/') != std::string::npos ||
        name == "." || name == "..") {
        return false;
    }
    // UTF-8 throughout, and no control character: C0, DEL or C1 (U+009B is
    // a terminal's CSI, and so is a lone byte 0x9B, which is no UTF-8).
    using Utf8 = boost::locale::utf::utf_traits<char>;
    for (auto at = name.begin(); at != name.end();) {
        const boost::locale::utf::code_point c = Utf8::decode(at, name.end());
        if (c == boost::locale::utf::illegal || c == boost::locale::utf::incomplete || c < 0x20 ||
            (c >= 0x7f && c <= 0x9f)) {
            return false;
        }
    }
    return true;
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
           isInstallFolderName(rest.substr(slash + 1));
}

bool isInstallFolderName(const std::string& name) {
    return isPlainFolderName(name) && installFolderNameProblem(name).empty();
}

std::string installFolderNameProblem(const std::string& name) {
    if (name.size() > InstallSlot::kLongestName) {
        return "is longer than " + std::to_string(InstallSlot::kLongestName) +
               " bytes: the hidden names beside its install folder would not fit";
    }
    if (readsAsHiddenInstallName(name)) {
        return "reads as a hidden name beside another install folder";
    }
    return {};
}

bool isUsableKey(const std::string& key) {
    return key.size() == 64 && key.front() != '-' &&
           std::all_of(key.begin(), key.end(), [](char c) { return c >= 0x20 && c < 0x7f; });
}

std::uint64_t lowerBound(const std::string& text, std::uint64_t ceiling) {
    if (text.empty() || text.size() > 19 ||
        !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        return ceiling;
    }
    return std::min<std::uint64_t>(std::stoull(text), ceiling);
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
            request.user,
            "-MaxUnpackedBytes",
            std::to_string(request.maxUnpackedBytes),
            "-MaxUnpackedEntries",
            std::to_string(request.maxUnpackedEntries)};
}

bool isElevatedCommandLine(const std::vector<std::string>& arguments) {
    return arguments.size() > 1 && arguments[1] == kElevatedFlag;
}

bool isElevatedCommandLine(int argc, char** argv) {
    return argc > 1 && argv != nullptr && argv[1] != nullptr &&
           std::strcmp(argv[1], kElevatedFlag) == 0;
}

std::optional<ElevatedRequest> parseElevatedArguments(const std::vector<std::string>& arguments) {
    if (!isElevatedCommandLine(arguments)) {
        return std::nullopt;
    }
    ElevatedRequest request;
    std::string timeout;
    std::string bytes;
    std::string entries;
    const std::pair<const char*, std::string*> options[] = {
        {"-SourcePath", &request.source},
        {"-DestinationPath", &request.destination},
        {"-publickey", &request.publicKey},
        {"-UnattendedInstallerArgs", &request.installerArguments},
        {"-InstallerUser", &request.user},
        {"-RegistrationTimeout", &timeout},
        {"-MaxUnpackedBytes", &bytes},
        {"-MaxUnpackedEntries", &entries}};
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
    const std::tuple<const std::string&, std::size_t, std::uint64_t*> numbers[] = {
        {timeout, 6, nullptr},
        {bytes, 19, &request.maxUnpackedBytes},
        {entries, 19, &request.maxUnpackedEntries}};
    for (const auto& [text, longest, value] : numbers) {
        if (text.empty()) {
            continue;
        }
        if (text.size() > longest || !std::all_of(text.begin(), text.end(), ::isdigit)) {
            return std::nullopt;
        }
        if (value != nullptr) {
            *value = std::stoull(text);
        }
    }
    if (!timeout.empty()) {
        request.registrationTimeout = std::chrono::seconds(std::stoi(timeout));
    }
    return request;
}

}  // namespace quorvane::unattended
