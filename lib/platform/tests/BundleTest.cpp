#include <gtest/gtest.h>

#include "platform/foundation/Bundle.h"

using platform::foundation::Bundle;

namespace {

// The bundle and resource folders of each executable: an app bundle's own,
// else the executable's folder.
TEST(BundleTest, FoldersOfAnExecutable) {
    const std::pair<const char*, const char*> cases[] = {
        {"/Applications/Tool.app/Contents/MacOS/Tool", "/Applications/Tool.app"},
        {"/usr/local/bin/tool", nullptr},
        {"/opt/MacOS/tool", nullptr},
        {"/opt/Contents/MacOS/tool", nullptr},
        {"/opt/.app/Contents/MacOS/tool", nullptr},
        {"/x.app/Contents/Other/tool", nullptr}};
    for (const auto& [exe, bundle] : cases) {
        const auto paths = Bundle::forExecutable(exe);
        const std::string folder = std::string(exe).substr(0, std::string(exe).rfind('/'));
        EXPECT_EQ(exe, paths.executablePath);
        EXPECT_EQ(bundle ? bundle : folder, paths.bundlePath) << exe;
        EXPECT_EQ(bundle ? std::string(bundle) + "/Contents/Resources" : folder, paths.resourcePath)
            << exe;
    }
}

TEST(BundleTest, MainIsTheRunningProgramUnlessOverridden) {
    const auto running = Bundle::main();
    EXPECT_NE(std::string::npos, running.executablePath.find("platform-tests"));
    Bundle::overrideMain({"/a/B.app/Contents/MacOS/B", "/a/B.app", "/a/B.app/Contents/Resources"});
    EXPECT_EQ("/a/B.app", Bundle::main().bundlePath);
    Bundle::resetMain();
    EXPECT_EQ(running.executablePath, Bundle::main().executablePath);
}

}  // namespace
