#include <gtest/gtest.h>

#include "platform/foundation/Bundle.h"

using platform::foundation::Bundle;

namespace {

TEST(BundleTest, ExecutableInsideAnAppBundle) {
    const auto paths = Bundle::forExecutable("/Applications/Tool.app/Contents/MacOS/Tool");
    EXPECT_EQ("/Applications/Tool.app/Contents/MacOS/Tool", paths.executablePath);
    EXPECT_EQ("/Applications/Tool.app", paths.bundlePath);
    EXPECT_EQ("/Applications/Tool.app/Contents/Resources", paths.resourcePath);
}

TEST(BundleTest, BareExecutableIsItsOwnFoldersBundle) {
    for (const char* exe : {"/usr/local/bin/tool", "/opt/MacOS/tool", "/opt/Contents/MacOS/tool",
                            "/opt/.app/Contents/MacOS/tool", "/x.app/Contents/Other/tool"}) {
        const auto paths = Bundle::forExecutable(exe);
        const std::string folder = std::string(exe).substr(0, std::string(exe).rfind('/'));
        EXPECT_EQ(folder, paths.bundlePath) << exe;
        EXPECT_EQ(folder, paths.resourcePath) << exe;
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
