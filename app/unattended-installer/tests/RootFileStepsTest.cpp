// The file steps of the elevated copy on their own, in temporary folders:
// which package and parameter files it opens, which folders above an
// install it accepts, what a package declares, and the hidden folders of an
// install. Every case that needs no root rights runs without them too.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <tuple>

#include <boost/filesystem.hpp>

#include "InstallerBundle.h"
#include "InstallFolders.h"
#include "InstallSlot.h"
#include "PackageContents.h"
#include "common/logging/ILogger.h"
#include "support/ChildProcess.h"
#include "support/NobodyChild.h"
#include "support/RootOnlyFolder.h"
#include "support/TempDir.h"

namespace fs = boost::filesystem;
using namespace quorvane::unattended;
using installertest::writeFile;
using Names = std::vector<std::string>;

namespace {

TEST(RootFileStepsTest, APackageIsOpenedOnlyAsAPlainFileOfOneNameThatOthersCannotWrite) {
    testsupport::TempDir folder("package-open");
    const std::string plain = folder.file("plain.zip");
    writeFile(plain, "zip");
    ::chmod(plain.c_str(), 0644);
    const std::string open = folder.file("open.zip");
    writeFile(open, "zip");
    ::chmod(open.c_str(), 0664);
    const std::string twice = folder.file("twice.zip");
    writeFile(twice, "zip");
    fs::create_hard_link(twice, folder.file("other-name.zip"));
    fs::create_symlink(plain, folder.file("link.zip"));
    ASSERT_EQ(0, ::mkfifo(folder.file("fifo.zip").c_str(), 0600));
    // Owned by neither root nor the user who started the run.
    const std::string foreign = folder.file("foreign.zip");
    writeFile(foreign, "zip");
    uid_t user = ::getuid();
    if (user == 0) {
        ASSERT_EQ(0, ::chown(foreign.c_str(), 65534, 65534));
        user = 12345;
    }
    const std::vector<std::pair<std::string, std::string>> cases{
        {plain, ""},
        {folder.file("link.zip"), "it is a link"},
        {twice, "it has other names"},
        {folder.file("fifo.zip"), "not a regular file"},
        {folder.path(), "not a regular file"},
        {open, "writable by others"},
        {foreign, "owned by user "},
    };
    for (const auto& [path, refusal] : cases) {
        std::string reason;
        const int fd = openPackage(path, path == foreign ? user + 1 : user, reason);
        EXPECT_EQ(refusal.empty(), fd >= 0) << path << ": " << reason;
        EXPECT_EQ(0u, reason.find(refusal)) << path << ": " << reason;
        if (fd >= 0) {
            EXPECT_EQ(FD_CLOEXEC, ::fcntl(fd, F_GETFD) & FD_CLOEXEC);
            ::close(fd);
        }
    }
}

TEST(RootFileStepsTest, ParameterFilesAreReadOnlyAsPlainFilesWithinTheirBound) {
    testsupport::TempDir folder("plain-read");
    const std::string real = folder.file("real");
    fs::create_directories(real);
    writeFile(real + "/unattended.json", R"({"DeviceToken": "t"})");
    writeFile(real + "/large.json", std::string(101, 'x'));
    fs::create_symlink(real + "/unattended.json", real + "/link.json");
    ASSERT_EQ(0, ::mkfifo((real + "/fifo.json").c_str(), 0600));
    fs::create_directories(real + "/folder.json");
    fs::create_directory_symlink(real, folder.file("linked"));
    const std::vector<std::tuple<std::string, const char*, bool>> cases{
        {real, "unattended.json", true},  {real, "link.json", false},
        {real, "fifo.json", false},       {real, "folder.json", false},
        {real, "large.json", false},      {real, "missing.json", false},
        {folder.file("linked"), "unattended.json", false},
    };
    for (const auto& [where, name, readable] : cases) {
        const auto content = readPlainFile(where, name, 100);
        EXPECT_EQ(readable, content.has_value()) << where << "/" << name;
        if (readable && content) {
            EXPECT_EQ(R"({"DeviceToken": "t"})", *content);
        }
    }
    EXPECT_TRUE(readPlainFile(real, "large.json", 101).has_value());
    // Only a plain file over the bound is too large.
    for (const auto& [name, large] : std::vector<std::pair<const char*, bool>>{
             {"large.json", true}, {"unattended.json", false}, {"link.json", false},
             {"fifo.json", false}, {"missing.json", false}}) {
        bool tooLarge = !large;
        readPlainFile(real, name, 100, &tooLarge);
        EXPECT_EQ(large, tooLarge) << name;
    }
}

// Outside a root-only chain (a folder others may write, a relative path)
// nothing is accepted; inside one, folders are made root's and 0755, and
// one that another user could change is refused by name. The chain of
// root's own is made in a system folder, wherever the clone and the
// temporary folder lie.
TEST(RootFileStepsTest, FoldersAboveAnInstallMustBeRootsAlone) {
    testsupport::TempDir shared("chain");
    ::chmod(shared.path().c_str(), 0777);
    std::string problem;
    EXPECT_FALSE(makeFolderChain(shared.file("a/b"), problem));
    const std::string open = testsupport::firstFolderNotRootsAlone(shared.path());
    ASSERT_FALSE(open.empty());
    EXPECT_EQ(0u, problem.find("'" + open + "' ")) << problem;
    EXPECT_FALSE(fs::exists(shared.file("a")));
    EXPECT_FALSE(makeFolderChain("relative/a", problem));
    if (::geteuid() != 0) {
        return;
    }
    testsupport::RootOnlyFolder own;
    if (!own.usable()) {
        GTEST_SKIP() << own.why();
    }
    ASSERT_TRUE(makeFolderChain(own.file("a/b"), problem)) << problem;
    struct stat info {};
    ASSERT_EQ(0, ::lstat(own.file("a/b").c_str(), &info));
    EXPECT_EQ(0755u, info.st_mode & 07777);
    fs::create_directory_symlink(own.file("a/b"), own.file("link"));
    const std::vector<std::tuple<std::function<void()>, std::string, std::string>> cases{
        {[&] { ::chmod(own.file("a").c_str(), 0777); }, own.file("a"), "is writable by others"},
        {[&] { ::chown(own.file("a").c_str(), 65534, 65534); }, own.file("a"),
         "belongs to user 65534"},
        {[] {}, own.file("link"), "is not a folder"},
    };
    for (const auto& [change, refused, reason] : cases) {
        ::chmod(own.file("a").c_str(), 0755);
        ::chown(own.file("a").c_str(), 0, 0);
        change();
        EXPECT_FALSE(makeFolderChain(refused + "/c", problem)) << reason;
        EXPECT_EQ("'" + refused + "' " + reason, problem);
    }
}

TEST(RootFileStepsTest, APackageIsJudgedByWhatItDeclaresBeforeItIsUnpacked) {
    // Run as another user, the clone may lie where only root may read.
    if (::access(AGENT_PACKAGE_MAKER, R_OK) != 0) {
        GTEST_SKIP() << "this user cannot read " << AGENT_PACKAGE_MAKER;
    }
    testsupport::TempDir folder("declared");
    const std::string small = folder.file("small.zip");
    installertest::makeAgentPackage(small);
    const std::string many = folder.file("many.zip");
    installertest::makeAgentPackage(many, installertest::Agent{.fillerCount = 50, .fillerSize = 1});
    const std::string large = folder.file("large.zip");
    installertest::makeAgentPackage(large,
                                    installertest::Agent{.fillerCount = 1, .fillerSize = 1 << 24});
    const std::string junk = folder.file("junk.zip");
    writeFile(junk, "not a zip");
    const std::vector<std::tuple<std::string, std::uint64_t, std::uint64_t, std::string>> cases{
        {small, 1 << 20, 10, ""},
        {many, 1 << 20, 10, "it holds more than 10 entries"},
        {many, 1 << 20, 60, ""},
        {large, 1 << 24, 10, "it unpacks to more than 16777216 bytes"},
        {large, 2 << 24, 10, ""},
        {junk, 1 << 20, 10, "not a"},
    };
    for (const auto& [path, bytes, entries, problem] : cases) {
        const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        ASSERT_LE(0, fd);
        ::lseek(fd, 3, SEEK_SET);
        const std::string found = packageContentProblem(fd, bytes, entries);
        EXPECT_EQ(0u, found.find(problem)) << path << " " << bytes << " " << entries << ": "
                                           << found;
        EXPECT_EQ(problem.empty(), found.empty()) << path << ": " << found;
        EXPECT_EQ(3, ::lseek(fd, 0, SEEK_CUR)) << "the offset stays";
        ::close(fd);
    }
}

// What unzip leaves is made root's alone by taking off group and other
// write rights and set-id bits (unzip clears set-id bits itself: a tree is
// made here), without following a link out of the tree.
TEST(RootFileStepsTest, RestrictingModesTakesOffWritesOfOthersAndSetIdBits) {
    testsupport::TempDir folder("modes");
    const std::string tree = folder.file("tree");
    const std::string outside = folder.file("outside");
    fs::create_directories(tree + "/setgid");
    writeFile(tree + "/setuid", "x");
    writeFile(tree + "/setgid/open", "x");
    writeFile(outside, "x");
    fs::create_symlink(outside, tree + "/link");
    const std::vector<std::pair<std::string, mode_t>> modes{
        {tree, 0777}, {tree + "/setuid", 04755}, {tree + "/setgid", 02775},
        {tree + "/setgid/open", 0666}, {outside, 04757}};
    for (const auto& [path, mode] : modes) {
        ASSERT_EQ(0, ::chmod(path.c_str(), mode)) << path;
    }
    ASSERT_TRUE(restrictModes(tree));
    const std::vector<std::pair<std::string, mode_t>> restricted{
        {tree, 0755}, {tree + "/setuid", 0755}, {tree + "/setgid", 0755},
        {tree + "/setgid/open", 0644}, {outside, 04757}};
    for (const auto& [path, mode] : restricted) {
        struct stat info {};
        ASSERT_EQ(0, ::lstat(path.c_str(), &info)) << path;
        EXPECT_EQ(mode, info.st_mode & 07777) << path;
    }
}

class InstallSlotTest : public ::testing::Test {
protected:
    void SetUp() override { fs::create_directories(product_); }

    std::string hidden(const std::string& state) const { return product_ + "/.C." + state; }

    void makeFolder(const std::string& path, const std::string& marker) const {
        fs::create_directories(path);
        writeFile(path + "/marker", marker);
    }

    std::string marker() const { return testsupport::readFile(destination_ + "/marker"); }

    testsupport::TempDir root_{"install-slot"};
    const std::string product_ = root_.file("P");
    const std::string destination_ = product_ + "/C";
    std::unique_ptr<common::ILogger> logger_ = common::createLogger("InstallSlotTest");
};

// What a stopped run left, by the names it left: the earlier install comes
// back, the rest goes; other folders stay, the hidden ones of another
// install included, also of one whose name begins as this one's hidden
// names do ("C.unpacking-q" before its names were refused).
TEST_F(InstallSlotTest, WhatAStoppedRunLeftIsPutRightByItsNames) {
    struct Case {
        std::string what;
        Names left;  // "dest" for the install folder itself
        std::string marker;
    };
    const std::string staging = "unpacking-Ab3dE5gH9k";
    const std::vector<Case> cases{
        {"killed while registering", {"dest", "earlier"}, "earlier"},
        {"killed between the renames", {"earlier", "new"}, "earlier"},
        {"killed while rolling back", {"earlier", "old"}, "earlier"},
        {"killed while unpacking", {"dest", staging, staging + "-params-0123456789"}, "dest"},
        {"killed before the swap", {"dest", "new"}, "dest"},
        {"killed while completing", {"dest", "old"}, "dest"},
    };
    const Names others{".C.other",
                       ".C.unpacking-",
                       ".C.unpacking-Ab3dE5gH9",
                       ".C.unpacking-Ab3dE5gH9k.lock",
                       ".C.unpacking-Ab3dE5gH9k-params-",
                       ".C.unpacking-Ab3dE5gH9k-params-0123456789x",
                       ".C.unpacking-Ab3dE5gH9k_",
                       ".C.unpacking-q.earlier",
                       ".C.unpacking-q.lock",
                       ".C.unpacking-q.unpacking-Ab3dE5gH9k",
                       ".D.earlier"};
    for (const auto& c : cases) {
        fs::remove_all(product_);
        for (const auto& other : others) {
            makeFolder(product_ + "/" + other, "another's");
        }
        for (const auto& state : c.left) {
            makeFolder(state == "dest" ? destination_ : hidden(state), state);
        }
        InstallSlot(destination_, *logger_).recover();
        EXPECT_EQ(c.marker, marker()) << c.what;
        Names expected = others;
        expected.push_back("C");
        std::sort(expected.begin(), expected.end());
        EXPECT_EQ(expected, installertest::entries(product_)) << c.what;
        for (const auto& other : others) {
            EXPECT_EQ("another's", testsupport::readFile(product_ + "/" + other + "/marker"))
                << c.what << ": " << other;
        }
    }
}

TEST_F(InstallSlotTest, ANewInstallTakesItsPlaceAndGivesItBack) {
    makeFolder(destination_, "earlier");
    const std::vector<std::pair<bool, std::string>> cases{{false, "earlier"}, {true, "new"}};
    for (const auto& [completes, kept] : cases) {
        InstallSlot slot(destination_, *logger_);
        const fs::path staging = slot.makeStaging();
        ASSERT_FALSE(staging.empty());
        writeFile(staging.string() + "/marker", "new");
        ASSERT_TRUE(slot.putInPlace(staging));
        EXPECT_TRUE(slot.hadEarlier());
        EXPECT_EQ("new", marker());
        EXPECT_EQ("earlier", testsupport::readFile(hidden("earlier") + "/marker"));
        completes ? slot.complete() : (void)slot.rollBack();
        EXPECT_EQ(kept, marker());
        EXPECT_EQ(Names{"C"}, installertest::entries(product_));
    }
}

TEST_F(InstallSlotTest, OneRunAtATimeHoldsTheLock) {
    if (::geteuid() != 0) {
        // The lock must be root's: anyone else's is refused.
        EXPECT_FALSE(InstallSlot(destination_, *logger_).lock(std::chrono::milliseconds(0)));
        return;
    }
    auto first = std::make_unique<InstallSlot>(destination_, *logger_);
    ASSERT_TRUE(first->lock(std::chrono::milliseconds(0)));
    InstallSlot second(destination_, *logger_);
    const auto begun = std::chrono::steady_clock::now();
    EXPECT_FALSE(second.lock(std::chrono::milliseconds(300)));
    EXPECT_LE(std::chrono::milliseconds(300), std::chrono::steady_clock::now() - begun);
    first.reset();
    EXPECT_EQ(Names{}, installertest::entries(product_)) << "the lock file goes with its holder";
    EXPECT_TRUE(second.lock(std::chrono::milliseconds(0)));
    fs::remove(hidden("lock"));
    fs::create_symlink("/etc/passwd", hidden("lock"));
    EXPECT_FALSE(InstallSlot(destination_, *logger_).lock(std::chrono::milliseconds(0)));
}

// A run killed while it held the lock leaves the lock file: it is root's
// alone, so that no other user can open and hold it to stall every later
// install; root's next run takes it.
TEST_F(InstallSlotTest, ALockLeftByAKilledRunCannotBeHeldByAnotherUser) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "the lock is root's, and the other user is played by root";
    }
    // Folders every user may enter, as those above an install are.
    testsupport::RootOnlyFolder open;
    if (!open.usable()) {
        GTEST_SKIP() << open.why();
    }
    const std::string destination = open.file("P/C");
    fs::create_directories(open.file("P"));
    std::fflush(nullptr);
    const pid_t killed = ::fork();
    ASSERT_LE(0, killed);
    if (killed == 0) {
        // Ends without letting the lock go, as SIGKILL would.
        InstallSlot* slot = new InstallSlot(destination, *logger_);
        ::_exit(slot->lock(std::chrono::milliseconds(0)) ? 0 : 1);
    }
    const auto ended = testsupport::waitForChild(killed, std::chrono::seconds(10));
    ASSERT_EQ(0, ended.exitCode);
    const std::string lock = open.file("P/.C.lock");
    ASSERT_TRUE(fs::exists(lock));
    writeFile(open.file("P/readable"), "");
    ::chmod(open.file("P/readable").c_str(), 0644);
    const auto holds = [](const std::string& path) {
        testsupport::NobodyChild nobody([path] {
            const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
            return fd >= 0 && ::flock(fd, LOCK_EX | LOCK_NB) == 0;
        });
        return nobody.succeeded();
    };
    ASSERT_TRUE(holds(open.file("P/readable"))) << "another user reaches the folder";
    EXPECT_FALSE(holds(lock)) << "another user holds the lock a killed run left";
    InstallSlot next(destination, *logger_);
    EXPECT_TRUE(next.lock(std::chrono::milliseconds(0)));
}

}  // namespace
