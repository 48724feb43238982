#include <gtest/gtest.h>

#include <sys/stat.h>

#include <thread>

#include <rapidjson/document.h>

#include "common/credentialstorage/CredentialStorage.h"
#include "platform/security/Keychain.h"
#include "support/ChildProcess.h"
#include "support/TempDir.h"

using common::credentialstorage::CredentialStorage;
using platform::security::Keychain;

namespace {

class CredentialStorageTest : public ::testing::Test {
protected:
    void SetUp() override { Keychain::overridePath(keychainFile()); }
    void TearDown() override {
        Keychain::failWriteNumber(0);
        Keychain::resetPath();
    }

    std::string keychainFile() const { return folder_.path() + "/keychains/login.json"; }

    // "<account>|<secret>" stored under `label`, or "<none>".
    std::wstring loaded(const std::wstring& label) {
        std::wstring account, secret;
        return storage_.load(label, account, secret) ? account + L"|" + secret : L"<none>";
    }

    testsupport::TempDir folder_;
    CredentialStorage storage_;
};

TEST_F(CredentialStorageTest, StoresOneItemPerLabelAndLeavesOutputsAloneWhenMissing) {
    std::wstring account = L"kept", secret = L"kept too";
    EXPECT_FALSE(storage_.load(L"label", account, secret));
    ASSERT_TRUE(storage_.store(L"label", L"first", L"one"));
    ASSERT_TRUE(storage_.store(L"label", L"second", L"p\u00e4ss \u20ac"));
    ASSERT_TRUE(storage_.store(L"other", L"", L""));
    EXPECT_FALSE(storage_.load(L"nothing here", account, secret));
    EXPECT_EQ(L"kept", account);
    EXPECT_EQ(L"kept too", secret);
    EXPECT_EQ(L"second|p\u00e4ss \u20ac", loaded(L"label"));
    EXPECT_EQ(L"|", loaded(L"other"));

    platform::security::ItemQuery all;
    all.label = "label";
    EXPECT_EQ(platform::security::errSecSuccess, Keychain::remove(all));
    EXPECT_EQ(L"<none>", loaded(L"label")) << "a second item was left";
}

TEST_F(CredentialStorageTest, FailedStoreKeepsTheStoredCredential) {
    ASSERT_TRUE(storage_.store(L"label", L"old", L"old secret"));
    // The next write of the keychain fails: nothing changes.
    Keychain::failWriteNumber(1);
    EXPECT_FALSE(storage_.store(L"label", L"new", L"new secret"));
    EXPECT_EQ(L"old|old secret", loaded(L"label"));
    // Replacing is one write: a failure of any later write cannot lose it.
    Keychain::failWriteNumber(2);
    EXPECT_TRUE(storage_.store(L"label", L"new", L"new secret"));
    EXPECT_EQ(L"new|new secret", loaded(L"label"));
}

TEST_F(CredentialStorageTest, TextsThatAreNotUnicodeAreHandledSafely) {
    // Code points that have no UTF-8 form are dropped on the way in.
    const std::wstring invalid = {L'a', static_cast<wchar_t>(0xD800), L'b',
                                  static_cast<wchar_t>(0x110000), L'c'};
    ASSERT_TRUE(storage_.store(L"label", invalid, invalid));
    EXPECT_EQ(L"abc|abc", loaded(L"label"));

    // Secret data that is not UTF-8 loads as an empty secret.
    platform::security::ItemQuery item;
    item.label = "raw";
    item.account = "acc";
    item.valueData = std::string("\xff\xfe\x00\x80", 4);
    ASSERT_EQ(platform::security::errSecSuccess, Keychain::add(item));
    std::wstring account, secret = L"unchanged";
    ASSERT_TRUE(storage_.load(L"raw", account, secret));
    EXPECT_EQ(L"acc|", account + L"|" + secret);
}

TEST_F(CredentialStorageTest, KeychainFileIsPrivateValidJsonWithoutPlainSecrets) {
    ASSERT_TRUE(storage_.store(L"label", L"user", L"topsecret"));
    struct stat info {};
    ASSERT_EQ(0, ::stat(keychainFile().c_str(), &info));
    EXPECT_EQ(0600u, info.st_mode & 07777);
    ASSERT_EQ(0, ::stat((folder_.path() + "/keychains").c_str(), &info));
    EXPECT_EQ(0700u, info.st_mode & 07777);
    const std::string text = testsupport::readFile(keychainFile());
    rapidjson::Document document;
    document.Parse(text.c_str());
    EXPECT_FALSE(document.HasParseError()) << text;
    EXPECT_EQ(std::string::npos, text.find("topsecret"));
    struct stat none {};
    EXPECT_NE(0, ::stat((keychainFile() + ".tmp").c_str(), &none));
}

TEST_F(CredentialStorageTest, TwoThreadsStoreAtOnce) {
    constexpr int kRounds = 40;
    auto worker = [this](const std::wstring& label) {
        CredentialStorage storage;
        for (int i = 0; i < kRounds; ++i) {
            const std::wstring n = std::to_wstring(i);
            if (!storage.store(label, L"account " + n, L"secret " + n)) {
                ADD_FAILURE() << "store failed";
            }
            std::wstring account, secret;
            if (!storage.load(label, account, secret) || account != L"account " + n ||
                secret != L"secret " + n) {
                ADD_FAILURE() << "lost what was stored";
            }
        }
    };
    std::thread a(worker, L"first");
    std::thread b(worker, L"second");
    a.join();
    b.join();
    const std::wstring last = std::to_wstring(kRounds - 1);
    for (const wchar_t* label : {L"first", L"second"}) {
        EXPECT_EQ(L"account " + last + L"|secret " + last, loaded(label));
    }
}

}  // namespace
