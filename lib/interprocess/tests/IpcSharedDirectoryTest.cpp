#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <string>

#include <boost/filesystem.hpp>

#include "common/utils/Paths.h"
#include "interprocess/IpcSharedDirectory.h"

namespace {

// Sets LC_ALL for the test's length; puts it and the path library's locale back.
class LocaleEnvironment {
public:
    explicit LocaleEnvironment(const char* value) { ::setenv("LC_ALL", value, 1); }
    ~LocaleEnvironment() {
        old_ ? ::setenv("LC_ALL", old_->c_str(), 1) : ::unsetenv("LC_ALL");
        boost::filesystem::path::imbue(pathLocale_);
    }

private:
    static std::optional<std::string> current() {
        const char* value = std::getenv("LC_ALL");
        return value ? std::optional<std::string>(value) : std::nullopt;
    }
    const std::optional<std::string> old_ = current();
    std::locale pathLocale_ = boost::filesystem::path::imbue(std::locale::classic());
};

}  // namespace

TEST(IpcSharedDirectoryTest, ALocaleThatIsNotInstalledFallsBackToTheClassicOne) {
    const boost::filesystem::path appData = boost::filesystem::path(common::getBundlePath()) / "appdata";
    const bool existed = boost::filesystem::exists(appData);
    LocaleEnvironment environment("xx_XX.NOT-INSTALLED");
    std::string folder;
    ASSERT_NO_THROW(folder = interprocess::ipcSharedDirectory());
    EXPECT_EQ(folder, (appData / "ipc").string());
    EXPECT_TRUE(boost::filesystem::is_directory(folder));
    if (!existed) {
        boost::filesystem::remove_all(appData);
    }
}
