#include "common/utils/Paths.h"

#include <system_error>

#include <boost/filesystem.hpp>

#include "common/logging/ILogger.h"
#include "platform/foundation/Bundle.h"

namespace common {

namespace fs = boost::filesystem;

std::string getExecutablePath() {
    const fs::path path = platform::foundation::Bundle::main().executablePath;
    try {
        return fs::canonical(path, fs::current_path()).lexically_normal().string();
    } catch (const std::exception&) {
        return path.lexically_normal().string();
    }
}

std::string getExecutableFolder() {
    return fs::path(getExecutablePath()).parent_path().string();
}

std::string getBundlePath() {
    fs::path bundle = platform::foundation::Bundle::main().bundlePath;
    boost::system::error_code error;
    const fs::path canonical = fs::canonical(bundle, fs::current_path(error), error);
    if (!error) {
        bundle = canonical;
    }
    bundle = bundle.lexically_normal();
    if (bundle.compare(fs::path(getExecutableFolder())) != 0) {
        return bundle.parent_path().string();
    }
    return bundle.string();
}

std::string getAppDataFolder() {
    const fs::path folder = fs::path(getBundlePath()) / "appdata";
    if (createAndSetFullAccessRightsToDirectory(folder.string())) {
        return folder.string();
    }
    return {};
}

bool createAndSetFullAccessRightsToDirectory(const std::string& path) {
    auto logger = createLogger("createAndSetFullAccessRightsToDirectory");
    boost::system::error_code error;
    fs::file_status status = fs::status(path, error);
    if (!fs::exists(status)) {
        error.clear();
        if (fs::create_directories(path, error) && !error) {
            fs::permissions(path, fs::perms::owner_all, error);
            if (error) {
                logger->error("Cannot make folder private. Error: %s", error.message().c_str());
                return false;
            }
            return true;
        }
        // Another process may have made it in the meantime.
        status = fs::status(path, error);
    }
    if (fs::is_directory(status)) {
        return true;
    }
    if (fs::exists(status)) {
        logger->error("Cannot create folder. Error: %s",
                      "a file that is not a folder is in the way");
    } else {
        logger->error("Cannot create folder. Error: %s", error.message().c_str());
    }
    return false;
}

std::string getCurrentDirectory() {
    boost::system::error_code error;
    const fs::path current = fs::current_path(error);
    return error ? std::string() : current.string();
}

bool setCurrentDirectory(const std::string& path) {
    boost::system::error_code error;
    if (!fs::exists(path, error)) {
        return false;
    }
    fs::current_path(path, error);
    return !error;
}

}  // namespace common
