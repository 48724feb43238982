#include <gtest/gtest.h>

#include <sys/stat.h>

#include <boost/filesystem.hpp>

#include "common/utils/Paths.h"
#include "common/utils/RandomString.h"
#include "platform/foundation/Bundle.h"
#include "support/TempDir.h"

namespace fs = boost::filesystem;
using platform::foundation::Bundle;

namespace {

class PathsTest : public ::testing::Test {
protected:
    void TearDown() override { Bundle::resetMain(); }

    // Lays out <root>/<name> as the running executable's bundle.
    void fakeBundle(const std::string& executable, const std::string& bundle) {
        fs::create_directories(fs::path(executable).parent_path());
        std::FILE* file = std::fopen(executable.c_str(), "w");
        std::fclose(file);
        Bundle::overrideMain({executable, bundle, bundle + "/Contents/Resources"});
    }

    testsupport::TempDir root_;
};

TEST_F(PathsTest, AppBundleLiesInItsParentFolderAndAppDataIsPrivate) {
    const std::string bundle = root_.file("Tool.app");
    fakeBundle(bundle + "/Contents/MacOS/Tool", bundle);
    EXPECT_EQ(bundle + "/Contents/MacOS/Tool", common::getExecutablePath());
    EXPECT_EQ(bundle + "/Contents/MacOS", common::getExecutableFolder());
    EXPECT_EQ(root_.path(), common::getBundlePath());
    const mode_t previous = ::umask(0);
    const std::string appdata = common::getAppDataFolder();
    ::umask(previous);
    EXPECT_EQ(root_.file("appdata"), appdata);
    struct stat info {};
    ASSERT_EQ(0, ::stat(appdata.c_str(), &info));
    EXPECT_TRUE(S_ISDIR(info.st_mode));
    EXPECT_EQ(0700u, info.st_mode & 07777u);
    EXPECT_EQ(appdata, common::getAppDataFolder());  // found the second time
}

TEST_F(PathsTest, PathsAreCanonicalThroughLinksAndDots) {
    const std::string bundle = root_.file("real/Tool.app");
    fakeBundle(bundle + "/Contents/MacOS/Tool", bundle);
    fs::create_directory_symlink(root_.file("real"), root_.file("link"));
    const std::string viaLink = root_.file("link/./Tool.app/Contents/MacOS/../MacOS/Tool");
    Bundle::overrideMain({viaLink, root_.file("link/Tool.app/"), ""});
    EXPECT_EQ(bundle + "/Contents/MacOS/Tool", common::getExecutablePath());
    EXPECT_EQ(root_.file("real"), common::getBundlePath());
    // A missing executable keeps its path, only tidied.
    Bundle::overrideMain({root_.file("gone/./x/../Tool"), root_.file("gone"), ""});
    EXPECT_EQ(root_.file("gone/Tool"), common::getExecutablePath());
    EXPECT_EQ(root_.file("gone"), common::getBundlePath());
}

// A bare executable uses its own folder; a file in the way of the folder,
// or a path that cannot be made, is an error and no folder.
TEST_F(PathsTest, AppDataOfABareExecutableAndWhatIsInItsWay) {
    const std::string exe = root_.file("bin/tool");
    fakeBundle(exe, root_.file("bin"));
    EXPECT_EQ(root_.file("bin"), common::getBundlePath());
    EXPECT_EQ(root_.file("bin/appdata"), common::getAppDataFolder());
    fs::remove(root_.file("bin/appdata"));
    std::fclose(std::fopen(root_.file("bin/appdata").c_str(), "w"));
    EXPECT_EQ("", common::getAppDataFolder());
    EXPECT_TRUE(fs::is_regular_file(root_.file("bin/appdata")));
    EXPECT_FALSE(common::createAndSetFullAccessRightsToDirectory(exe + "/below/a/file"));
    fs::create_symlink(root_.file("bin"), root_.file("linked"));
    EXPECT_TRUE(common::createAndSetFullAccessRightsToDirectory(root_.file("linked")));
}

TEST_F(PathsTest, CurrentDirectoryChangesOnlyToExistingFolders) {
    const std::string before = common::getCurrentDirectory();
    EXPECT_FALSE(common::setCurrentDirectory(root_.file("missing")));
    EXPECT_EQ(before, common::getCurrentDirectory());
    EXPECT_TRUE(common::setCurrentDirectory(root_.path()));
    const std::string changed = common::getCurrentDirectory();
    EXPECT_TRUE(common::setCurrentDirectory(before));
    EXPECT_EQ(fs::canonical(root_.path()).string(), changed);
}

TEST(RandomStringTest, DrawsFromTheAlphabetOnly) {
    EXPECT_EQ("", common::randomString(0, common::kAlphanumericAlphabet));
    EXPECT_EQ("", common::randomString(10, ""));
    EXPECT_EQ("", common::randomString(10, nullptr));
    const auto two = common::randomString(200, "ab");
    EXPECT_EQ(200u, two.size());
    EXPECT_EQ(std::string::npos, two.find_first_not_of("ab"));
    EXPECT_NE(std::string::npos, two.find('a'));
    EXPECT_NE(std::string::npos, two.find('b'));
    const auto name = common::randomString(10, common::kAlphanumericAlphabet);
    EXPECT_EQ(10u, name.size());
    EXPECT_NE(name, common::randomString(10, common::kAlphanumericAlphabet));
}

}  // namespace
