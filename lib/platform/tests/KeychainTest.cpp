#include <gtest/gtest.h>

#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <functional>

#include <boost/filesystem.hpp>

#include "platform/security/Keychain.h"
#include "support/ChildProcess.h"
#include "support/NobodyChild.h"
#include "support/ProcessState.h"
#include "support/RootOnlyFolder.h"
#include "support/TempDir.h"

using namespace platform::security;

namespace {

// The names in `folder`, sorted.
std::vector<std::string> namesIn(const std::string& folder) {
    std::vector<std::string> names;
    for (boost::filesystem::directory_iterator it(folder), end; it != end; ++it) {
        names.push_back(it->path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

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

// A keychain that is not there holds no item: looking into it, changing or
// removing an item makes nothing in the home folder (no folder, no lock),
// nor in a keychain folder that holds no file yet; only an add makes the
// keychain.
TEST_F(KeychainTest, OnlyAnAddMakesTheKeychain) {
    testsupport::ScopedEnvironment environment({"HOME"});
    Keychain::resetPath();
    const std::string home = folder_.path() + "/home";
    ASSERT_TRUE(boost::filesystem::create_directory(home));
    ::setenv("HOME", home.c_str(), 1);
    const struct {
        const char* call;
        std::function<OSStatus()> run;
    } calls[] = {
        {"copyMatching", [] { ItemResult result; return Keychain::copyMatching(labelled("a"), result); }},
        {"update", [] { return Keychain::update(labelled("a"), item("a", "x", "y")); }},
        {"remove", [] { return Keychain::remove(labelled("a")); }},
    };
    for (const auto& c : calls) {
        EXPECT_EQ(errSecItemNotFound, c.run()) << c.call;
        EXPECT_EQ(std::vector<std::string>{}, namesIn(home)) << c.call;
    }
    const std::string keychains = home + "/.local/share/keychains";
    boost::filesystem::create_directories(keychains);
    ASSERT_EQ(0, ::chmod(keychains.c_str(), 0700));
    for (const auto& c : calls) {
        EXPECT_EQ(errSecItemNotFound, c.run()) << c.call << ", in an empty keychain folder";
        EXPECT_EQ(std::vector<std::string>{}, namesIn(keychains)) << c.call;
    }
    ASSERT_EQ(errSecSuccess, Keychain::add(item("a", "acc", "secret")));
    EXPECT_EQ((std::vector<std::string>{"login.json", "login.json.lock"}), namesIn(keychains));
    for (const auto& c : calls) {
        EXPECT_EQ(errSecSuccess, c.run()) << c.call << ", once added";
    }
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

// A home folder in which links lead elsewhere: the keychain's folders and
// files are reached without following any link below the home folder, so
// nothing is made, read or written where one points.
TEST_F(KeychainTest, NoLinkBelowTheHomeFolderIsFollowed) {
    testsupport::ScopedEnvironment environment({"HOME"});
    Keychain::resetPath();
    const std::string home = folder_.path() + "/home";
    const std::string victim = folder_.path() + "/victim";
    ::setenv("HOME", home.c_str(), 1);
    struct Case {
        std::string link;    // below the home folder
        std::string target;  // below the victim's folder
        OSStatus added;
    };
    const std::vector<Case> cases{
        {".local", "", errSecIO},
        {".local/share", "", errSecIO},
        {".local/share/keychains", "", errSecIO},
        {".local/share/keychains/login.json", "items.json", errSecIO},
        // The lock is not taken through the link, and nothing is made where
        // it points.
        {".local/share/keychains/login.json.lock", "planted", errSecSuccess},
    };
    const std::string items = R"({"items": [{"label": "victim's"}]})";
    for (const auto& c : cases) {
        boost::filesystem::remove_all(home);
        boost::filesystem::remove_all(victim);
        boost::filesystem::create_directories(victim);
        std::ofstream(victim + "/items.json") << items;
        const std::string link = home + "/" + c.link;
        boost::filesystem::create_directories(boost::filesystem::path(link).parent_path());
        ::chmod((home + "/.local/share/keychains").c_str(), 0700);
        boost::filesystem::create_symlink(victim + "/" + c.target, link);
        EXPECT_EQ(c.added, Keychain::add(item("mine", "acc", "secret"))) << c.link;
        ItemResult result;
        EXPECT_NE(errSecSuccess, Keychain::copyMatching(labelled("victim's"), result)) << c.link;
        EXPECT_EQ(items, testsupport::readFile(victim + "/items.json")) << c.link;
        EXPECT_FALSE(boost::filesystem::exists(victim + "/planted")) << c.link;
        EXPECT_EQ(std::vector<std::string>{"items.json"}, namesIn(victim)) << c.link;
    }
}

// Started by root with its home folder in a folder every user may write, the
// keychain uses no folder another user made there, and changes the mode of
// none. That folder lies in a chain that the other user can enter, whoever
// may enter the temporary folder.
TEST_F(KeychainTest, AnotherUsersFoldersInTheHomeFolderAreNotUsed) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "another user is played by root";
    }
    testsupport::RootOnlyFolder reachable;
    if (!reachable.usable()) {
        GTEST_SKIP() << "no folder another user can reach: " << reachable.why();
    }
    testsupport::ScopedEnvironment environment({"HOME"});
    Keychain::resetPath();
    const std::string home = reachable.file("shared");
    ASSERT_EQ(0, ::mkdir(home.c_str(), 0777));
    ASSERT_EQ(0, ::chmod(home.c_str(), 01777));
    ::setenv("HOME", home.c_str(), 1);
    testsupport::NobodyChild attacker([home] {
        const std::string keychains = home + "/.local/share/keychains";
        for (const std::string& made : {home + "/.local", home + "/.local/share", keychains}) {
            if (::mkdir(made.c_str(), 0700) != 0 ||
                ::chmod(made.c_str(), made == keychains ? 0755 : 0777) != 0) {
                return false;
            }
        }
        return
               ::symlink("/etc/quorvane-planted", (keychains + "/login.json.lock").c_str()) == 0;
    });
    ASSERT_TRUE(attacker.succeeded());
    EXPECT_EQ(errSecIO, Keychain::add(item("mine", "acc", "secret")));
    ItemResult result;
    EXPECT_EQ(errSecIO, Keychain::copyMatching(labelled("mine"), result));
    EXPECT_FALSE(boost::filesystem::exists("/etc/quorvane-planted"));
    EXPECT_EQ(std::vector<std::string>{"login.json.lock"},
              namesIn(home + "/.local/share/keychains"));
    for (const char* made : {"/.local", "/.local/share"}) {
        struct stat info {};
        ASSERT_EQ(0, ::lstat((home + made).c_str(), &info));
        EXPECT_EQ(0777u, info.st_mode & 07777) << made;
    }
}

}  // namespace
