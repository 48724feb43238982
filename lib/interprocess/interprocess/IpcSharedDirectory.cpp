#include "interprocess/IpcSharedDirectory.h"

#include <locale>
#include <stdexcept>

#include <boost/filesystem.hpp>
#include <boost/interprocess/exceptions.hpp>

#include "common/utils/Paths.h"

namespace interprocess {

namespace {

// The user's locale; the classic one when the environment names a locale
// that is not installed.
std::locale userLocale() {
    try {
        return std::locale("");
    } catch (const std::runtime_error&) {
        return std::locale::classic();
    }
}

}  // namespace

std::string ipcSharedDirectory() {
    try {
        boost::filesystem::path::imbue(userLocale());
        const boost::filesystem::path folder =
            boost::filesystem::path(common::getAppDataFolder()) / "ipc";
        if (!boost::filesystem::exists(folder) && boost::filesystem::create_directories(folder)) {
            boost::filesystem::permissions(folder, boost::filesystem::all_all);
        }
        return folder.string();
    } catch (const std::exception& e) {
        throw boost::interprocess::interprocess_exception(e.what());
    }
}

}  // namespace interprocess
