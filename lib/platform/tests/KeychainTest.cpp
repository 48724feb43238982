#include <gtest/gtest.h>

#include <pwd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>

#include "platform/security/Keychain.h"
#include "support/ChildProcess.h"
#include "support/ProcessState.h"
#include "support/TempDir.h"

using namespace platform::security;

namespace {

ItemQuery labelled(const std::string& label) {
    ItemQuery query;
    query.label = label;
    return query;
}

ItemQuery item(const std::string& label, const std::string& account, const std::string& data) {
    ItemQuery query = labelled(label);
    query.account = account;
    query.valueData = data;
    return query;
}

class KeychainTest : public ::testing::Test {
protected:
    void SetUp() override { Keychain::overridePath(file()); }
    void TearDown() override { Keychain::resetPath(); }
    std::string file() const { return folder_.path() + "/login.json"; }

    testsupport::TempDir folder_;
};

TEST_F(KeychainTest, FindsItemsByLabelAndReturnsWhatIsAsked) {
    ItemResult result;
    EXPECT_EQ(errSecItemNotFound, Keychain::copyMatching(labelled("a"), result));
    EXPECT_EQ(errSecItemNotFound, Keychain::remove(labelled("a")));
    EXPECT_EQ(errSecItemNotFound, Keychain::update(labelled("a"), item("a", "x", "y")));

    ASSERT_EQ(errSecSuccess, Keychain::add(item("a", "acc", std::string("\0bytes", 6))));
    ItemQuery query = labelled("a");
    query.returnAttributes = true;
    ASSERT_EQ(errSecSuccess, Keychain::copyMatching(query, result));
    EXPECT_EQ("a", result.label);
    EXPECT_EQ("acc", result.account);
    EXPECT_FALSE(result.valueData.has_value());

    query.returnAttributes = false;
    query.returnData = true;
    ASSERT_EQ(errSecSuccess, Keychain::copyMatching(query, result));
    EXPECT_FALSE(result.account.has_value());
    EXPECT_EQ(std::string("\0bytes", 6), result.valueData);

    EXPECT_EQ(errSecSuccess, Keychain::remove(labelled("a")));
    EXPECT_EQ(errSecItemNotFound, Keychain::copyMatching(query, result));
}

TEST_F(KeychainTest, TextAttributesMustBeUtf8) {
    EXPECT_EQ(errSecParam, Keychain::add(item("bad \xC0\xAF", "acc", "x")));
    EXPECT_EQ(errSecParam, Keychain::add(item("ok", "\xED\xA0\x80", "x")));
    // Any bytes are fine as a secret.
    EXPECT_EQ(errSecSuccess, Keychain::add(item("ok", "acc", "\xC0\xAF")));
}

TEST_F(KeychainTest, DamagedFileIsReportedAndLeftAlone) {
    std::ofstream(file()) << "{\"items\": [ {\"label\": 5} ]}";
    ItemResult result;
    EXPECT_EQ(errSecDecode, Keychain::copyMatching(labelled("a"), result));
    EXPECT_EQ(errSecDecode, Keychain::add(item("a", "b", "c")));
    EXPECT_EQ("{\"items\": [ {\"label\": 5} ]}", testsupport::readFile(file()));
}

TEST_F(KeychainTest, FileLiesInTheHomeFolder) {
    testsupport::ScopedEnvironment environment({"HOME"});
    Keychain::resetPath();
    ::setenv("HOME", "/some/home", 1);
    EXPECT_EQ("/some/home/.local/share/keychains/login.json", Keychain::path());
    ::unsetenv("HOME");
    const passwd* user = ::getpwuid(::getuid());
    ASSERT_NE(nullptr, user);
    EXPECT_EQ(std::string(user->pw_dir) + "/.local/share/keychains/login.json", Keychain::path());
}

TEST_F(KeychainTest, TwoProcessesChangeTheFileWithoutLosingItems) {
    constexpr int kItems = 30;
    auto addItems = [](const std::string& prefix) {
        for (int i = 0; i < kItems; ++i) {
            const std::string n = std::to_string(i);
            if (Keychain::add(item(prefix + n, "acc", "secret")) != errSecSuccess) {
                return 1;
            }
        }
        return 0;
    };
    std::fflush(nullptr);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::_exit(addItems("child "));
    }
    const int parentResult = addItems("parent ");
    int status = 0;
    ASSERT_EQ(child, ::waitpid(child, &status, 0));
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(0, WEXITSTATUS(status));
    EXPECT_EQ(0, parentResult);
    for (const char* prefix : {"child ", "parent "}) {
        for (int i = 0; i < kItems; ++i) {
            ItemResult result;
            EXPECT_EQ(errSecSuccess,
                      Keychain::copyMatching(labelled(prefix + std::to_string(i)), result))
                << prefix << i;
        }
    }
}

}  // namespace
