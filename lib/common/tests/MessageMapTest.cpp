#include <gtest/gtest.h>

#include <lzf.h>

#include <sys/stat.h>

#include <algorithm>
#include <fstream>
#include <functional>

#include <boost/filesystem/operations.hpp>

#include "MessageTableWriter.h"
#include "common/messagemap/MessageMap.h"
#include "common/messagemap/SupportedLanguages.h"
#include "platform/foundation/Bundle.h"
#include "support/LogCapture.h"
#include "support/TempDir.h"

namespace {

using common::MessageMap;
using quorvane::messagesbin::MessageTable;
using quorvane::messagesbin::packTable;
using quorvane::messagesbin::serializeTable;
using Bytes = std::vector<unsigned char>;

enum Id : std::size_t { kHello, kOrder, kTwice, kPlain, kFrenchEmpty, kChained, kCount };

MessageTable sampleTable() {
    MessageTable table;
    table.languages = {"en", "fr", "pt-BR", "zh", "zh-Hans"};
    table.defaults = {"Hello", "${1} of ${0}", "${0} and ${0}",
                      "Plain", "Only default", "${0} ${1}"};
    table.texts = {
        table.defaults,
        {"Bonjour", "${1} sur ${0}", "${0} et ${0}", "Simple", "", "${0} ${1}"},
        {"Olá", "", "", "", "", ""},
        {"zh", "", "", "", "", ""},
        {"zh-Hans", "", "", "", "", ""},
    };
    return table;
}

Bytes sampleFile() {
    return packTable(serializeTable(sampleTable()));
}

// The bytes with `value` written little-endian at `offset` (at the end: appended).
Bytes withUint32(Bytes bytes, std::size_t offset, std::uint32_t value) {
    bytes.resize(std::max(bytes.size(), offset + 4));
    for (std::size_t i = 0; i < 4; ++i) {
        bytes[offset + i] = static_cast<unsigned char>(value >> (8 * i));
    }
    return bytes;
}

class MessageMapTest : public ::testing::Test {
protected:
    void SetUp() override {
        const Bytes file = sampleFile();
        ASSERT_TRUE(map_.loadFromBuffer(file.data(), file.size()));
    }

    std::wstring raw(std::size_t id) { return map_.getRawMessage(id); }

    MessageMap map_;
};

TEST(MessageMapEmptyTest, ServesEmptyTextsUntilLoaded) {
    const auto map = common::IMessageMap::create();
    EXPECT_STREQ(L"", map->getRawMessage(0));
    EXPECT_EQ(L"", map->getMessage(0, 1, L"x"));
    EXPECT_FALSE(map->setLanguage(L"en"));
    EXPECT_STREQ(L"", map->getRawMessage(0));
}

// Each code, chosen after French: whether a language matched (without
// regard to case, else by the part before the first '-') and what it serves.
TEST_F(MessageMapTest, SelectsLanguagesWithoutRegardToCaseElseTheDefaultTexts) {
    EXPECT_EQ(L"Hello", raw(kHello)) << "no language selected serves the default texts";
    const struct {
        const wchar_t* code;
        bool matched;
        const wchar_t* hello;
    } codes[] = {
        {L"PT-br", true, L"Ol\u00e1"}, {L"fr-CA", true, L"Bonjour"},   {L"FR", true, L"Bonjour"},
        {L"zh-Hans-CN", true, L"zh"},  {L"ZH-hans", true, L"zh-Hans"}, {L"ja", false, L"Hello"},
        {L"ja-JP", false, L"Hello"},   {nullptr, false, L"Hello"},     {L"-fr", false, L"Hello"},
    };
    for (const auto& [code, matched, hello] : codes) {
        ASSERT_TRUE(map_.setLanguage(L"fr"));
        EXPECT_EQ(matched, map_.setLanguage(code)) << (code ? code : L"(null)");
        EXPECT_EQ(hello, raw(kHello)) << (code ? code : L"(null)");
    }
    ASSERT_TRUE(map_.setLanguage(L"fr"));
    EXPECT_EQ(L"Only default", raw(kFrenchEmpty)) << "an empty text stands for the default";
}

TEST_F(MessageMapTest, PlaceholdersAreReplacedInIndexOrderFirstOccurrenceOnly) {
    EXPECT_EQ(L"b of a", map_.getMessage(kOrder, 2, L"a", L"b"));
    EXPECT_EQ(L"x and ${0}", map_.getMessage(kTwice, 1, L"x"));
    EXPECT_EQ(L"Plain", map_.getMessage(kPlain, 2, L"a", L"b"));
    EXPECT_EQ(L"${1} of ${0}", map_.getMessage(kOrder, 0));
    // An argument holding a later placeholder is itself replaced later on.
    EXPECT_EQ(L"y ${1}", map_.getMessage(kChained, 2, L"${1}", L"y"));
    // Only as many arguments as counted are taken.
    EXPECT_EQ(L"${1} of a", map_.getMessage(kOrder, 1, L"a"));
    // A missing argument reads as an empty text.
    EXPECT_EQ(L" of a", map_.getMessage(kOrder, 2, L"a", static_cast<const wchar_t*>(nullptr)));
    // A message number past the end gives the empty text.
    EXPECT_EQ(L"", raw(kCount));
    EXPECT_EQ(L"", raw(static_cast<std::size_t>(-1)));
    EXPECT_EQ(L"", map_.getMessage(kCount, 1, L"x"));
    ASSERT_TRUE(map_.setLanguage(L"fr"));
    EXPECT_EQ(L"deux sur un", map_.getMessage(kOrder, 2, L"un", L"deux"));
    EXPECT_EQ(L"", raw(kCount));
}

TEST(MessageMapTextTest, TextsHoldCodePointsAndInvalidUtf8IsReplaced) {
    MessageTable table;
    table.languages = {"en"};
    table.defaults = {"\xEF\xBB\xBF\xF0\x9D\x84\x9E", "bad \xC3 byte", ""};
    table.texts = {{"", "", ""}};
    const Bytes file = packTable(serializeTable(table));
    MessageMap map;
    ASSERT_TRUE(map.loadFromBuffer(file.data(), file.size()));
    ASSERT_TRUE(map.setLanguage(L"en"));
    EXPECT_EQ((std::wstring{static_cast<wchar_t>(0xFEFF), static_cast<wchar_t>(0x1D11E)}),
              std::wstring(map.getRawMessage(0)));
    EXPECT_EQ(L"bad \xFFFD byte", std::wstring(map.getRawMessage(1)));
    EXPECT_EQ(L"", std::wstring(map.getRawMessage(2)));
}

// Every image below is refused and leaves the table that was loaded before.
TEST_F(MessageMapTest, DamagedFilesKeepTheTableInUse) {
    ASSERT_TRUE(map_.setLanguage(L"fr"));
    const Bytes good = sampleFile();
    const Bytes table = serializeTable(sampleTable());
    const auto pack = [](const Bytes& raw) { return packTable(raw); };
    const auto cut = [](Bytes bytes, std::size_t size) {
        bytes.resize(size);
        return bytes;
    };
    const auto replaceCount = [&](std::size_t offset, std::uint32_t value) {
        return pack(withUint32(table, offset, value));
    };
    const auto withSize = [](std::uint32_t size, const Bytes& file) {
        return withUint32(file, 0, size);
    };
    // Offset of M in the unpacked table: N, the codes, the reserved field.
    std::size_t messageCountOffset = 4;
    for (const auto& code : sampleTable().languages) {
        messageCountOffset += code.size() + 1;
    }
    messageCountOffset += 4;

    Bytes tableWithoutLastNul = table;
    tableWithoutLastNul.back() = 'x';
    Bytes onlyLanguageCount = withUint32({}, 0, 1);
    for (const unsigned char byte : {'e', 'n', '\0'}) {
        onlyLanguageCount.push_back(byte);
    }

    const std::vector<std::pair<std::string, Bytes>> damaged = {
        {"empty", {}},
        {"shorter than its size field", {1, 2, 3}},
        {"size field only", cut(good, 4)},
        {"size too small for a table", withSize(3, pack({1, 2, 3}))},
        {"size larger than the data", withSize(static_cast<std::uint32_t>(table.size() + 1), good)},
        {"size smaller than the data",
         withSize(static_cast<std::uint32_t>(table.size() - 1), good)},
        {"size above the cap", withSize(MessageMap::kMaxTableSize + 1, good)},
        {"size of four gigabytes", withSize(0xFFFFFFFFu, good)},
        {"compressed data cut short", cut(good, good.size() - 3)},
        {"table cut in its last language", pack(cut(table, table.size() - 2))},
        {"table cut inside the codes", pack(cut(table, 7))},
        {"last text without its NUL", pack(tableWithoutLastNul)},
        {"no message count", pack(onlyLanguageCount)},
        {"language count past the end", replaceCount(0, 0xFFFFFFFFu)},
        {"language count one too high", replaceCount(0, 6)},
        {"message count past the end", replaceCount(messageCountOffset, 0x7FFFFFFFu)},
        {"message count one too high", replaceCount(messageCountOffset, kCount + 1)},
    };
    for (const auto& [name, bytes] : damaged) {
        EXPECT_FALSE(map_.loadFromBuffer(bytes.data(), bytes.size())) << name;
        EXPECT_EQ(L"Bonjour", raw(kHello)) << name;
        EXPECT_EQ(L"Only default", raw(kFrenchEmpty)) << name;
        EXPECT_TRUE(map_.setLanguage(L"pt-BR")) << name;
        EXPECT_TRUE(map_.setLanguage(L"fr")) << name;
    }
    EXPECT_FALSE(map_.loadFromBuffer(nullptr, 10));

    // A table with no languages and no messages is complete, if empty, and
    // replaces the whole table.
    const Bytes empty = pack(Bytes(12, 0));
    EXPECT_TRUE(map_.loadFromBuffer(empty.data(), empty.size()));
    EXPECT_EQ(L"", raw(kHello));
    EXPECT_FALSE(map_.setLanguage(L"fr"));
}

class MessageMapLoadTest : public ::testing::Test {
protected:
    void SetUp() override {
        platform::foundation::Bundle::overrideMain({folder_.file("Tool.app/Contents/MacOS/Tool"),
                                                    folder_.file("Tool.app"), folder_.path()});
    }
    void TearDown() override { platform::foundation::Bundle::resetMain(); }

    void writeFile(const Bytes& bytes) {
        std::ofstream out(folder_.file("messages.bin"), std::ios::binary);
        out.write(reinterpret_cast<const char*>(bytes.data()),
                  static_cast<std::streamsize>(bytes.size()));
    }

    testsupport::TempDir folder_;
};

// Each file at the table's path, loaded in a child with logging: what the
// map then serves, and what is logged. A FIFO is not opened for reading.
TEST_F(MessageMapLoadTest, LoadsOnlyACompleteRegularFileAndLogsWhatItCannotLoad) {
    const std::string path = folder_.file("messages.bin");
    MessageTable noEnglish;
    noEnglish.languages = {"fr"};
    noEnglish.defaults = {"Default"};
    noEnglish.texts = {
        {"D\xC3\xA9"
         "faut"}};
    Bytes damaged = sampleFile();
    damaged.resize(damaged.size() / 2);
    const struct {
        std::function<void()> lay;
        const wchar_t* served;
        const char* logged;
    } cases[] = {
        {[] {}, L"", "Cannot open the message table"},
        {[&] { writeFile({}); }, L"", "has an unusable size: 0"},
        {[&] { writeFile(damaged); }, L"", "is damaged"},
        {[&] { ::mkfifo(path.c_str(), 0600); }, L"", "is not a regular file"},
        {[&] { ::mkdir(path.c_str(), 0700); }, L"", "is not a regular file"},
        {[&] { writeFile(packTable(serializeTable(noEnglish))); }, L"Default", nullptr},
        {[&] { writeFile(sampleFile()); }, L"Hello", nullptr},
    };
    for (const auto& [lay, served, logged] : cases) {
        boost::filesystem::remove_all(path);
        lay();
        const auto run = testsupport::runLogged([&] {
            const auto map = common::IMessageMap::create();
            map->load();
            return std::wstring(map->getRawMessage(kHello)) == served ? 0 : 1;
        });
        EXPECT_FALSE(run.result.timedOut);
        EXPECT_EQ(0, run.result.exitCode) << logged;
        EXPECT_EQ(logged != nullptr, run.hasPart("error", "MessageMap", logged ? logged : ""))
            << run.text();
    }
}

TEST(SupportedLanguagesTest, ComparisonIsExact) {
    EXPECT_TRUE(common::isSupportedLanguage("pt-BR"));
    EXPECT_TRUE(common::isSupportedLanguage("de"));
    EXPECT_FALSE(common::isSupportedLanguage("pt-br"));
    EXPECT_FALSE(common::isSupportedLanguage("pt"));
    EXPECT_FALSE(common::isSupportedLanguage("DE"));
    EXPECT_FALSE(common::isSupportedLanguage(""));
}

}  // namespace
