#include <gtest/gtest.h>

#include <fstream>

#include "common/messagemap/MessageMap.h"
#include "common/messagemap/SupportedLanguages.h"
#include "common/utils/StringConversions.h"
#include "support/ChildProcess.h"
#include "support/TempDir.h"

namespace {

using Bytes = std::vector<unsigned char>;

// Loads a messages.bin file into a table; fails the test when it is refused.
void loadFile(const std::string& path, common::MessageMap& map) {
    const std::string content = testsupport::readFile(path);
    ASSERT_FALSE(content.empty()) << path;
    ASSERT_TRUE(
        map.loadFromBuffer(reinterpret_cast<const unsigned char*>(content.data()), content.size()))
        << path;
}

class MessagesBinToolTest : public ::testing::Test {
protected:
    testsupport::ChildResult run(const std::string& json) {
        std::ofstream(folder_.file("source.json"), std::ios::binary) << json;
        return testsupport::runCommand(
            {MESSAGESBIN_TOOL, folder_.file("source.json"), folder_.file("messages.bin")});
    }

    bool outputExists() const {
        return std::ifstream(folder_.file("messages.bin")).good() ||
               std::ifstream(folder_.file("messages.bin.tmp")).good();
    }

    testsupport::TempDir folder_;
};

TEST_F(MessagesBinToolTest, WritesATableTheReaderLoads) {
    const auto result = run(R"({
        "languages": ["en", "fr"],
        "default": "en",
        "messages": {
            "3": {"note": "greeting", "en": "Hello ${0}", "fr": "Bonjour ${0}"},
            "1": {"en": "Close", "fr": ""},
            "0": {"en": "caf\u00e9 \ud834\udd1e", "fr": "caf\u00e9"}
        }
    })");
    ASSERT_TRUE(result.exited && result.exitCode == 0) << result.errors;
    common::MessageMap map;
    loadFile(folder_.file("messages.bin"), map);
    EXPECT_EQ(L"Hello Ann", map.getMessage(3, 1, L"Ann"));
    EXPECT_STREQ(L"", map.getRawMessage(2)) << "a number between messages has no text";
    EXPECT_EQ((std::wstring{L'c', L'a', L'f', static_cast<wchar_t>(0xE9), L' ',
                            static_cast<wchar_t>(0x1D11E)}),
              std::wstring(map.getRawMessage(0)));
    ASSERT_TRUE(map.setLanguage(L"fr"));
    EXPECT_EQ(L"Bonjour Ann", map.getMessage(3, 1, L"Ann"));
    EXPECT_STREQ(L"Close", map.getRawMessage(1)) << "an empty text stands for the default";
    EXPECT_FALSE(std::ifstream(folder_.file("messages.bin.tmp")).good());
}

TEST_F(MessagesBinToolTest, RefusesFlawedSources) {
    const auto en = [](const std::string& messages) {
        return R"({"languages": ["en"], "default": "en", "messages": {)" + messages + "}}";
    };
    const std::pair<std::string, std::string> sources[] = {
        {"not JSON", "{"},
        {"not an object", "[]"},
        {"no messages", R"({"languages": ["en"], "default": "en"})"},
        {"default not listed", R"({"languages": ["en"], "default": "fr", "messages": {}})"},
        {"language twice", R"({"languages": ["en", "en"], "default": "en", "messages": {}})"},
        {"empty language", R"({"languages": [""], "default": "", "messages": {}})"},
        {"text missing in a language",
         R"({"languages": ["en", "fr"], "default": "en", "messages": {"1": {"en": "a"}}})"},
        {"unlisted language", en(R"("1": {"en": "a", "de": "b"})")},
        {"number not decimal", en(R"("x1": {"en": "a"})")},
        {"number too large", en(R"("70000": {"en": "a"})")},
        {"number given twice", en(R"("1": {"en": "a"}, "01": {"en": "b"})")},
        {"text not a string", en(R"("1": {"en": 5})")},
        {"NUL in a text", en(R"("1": {"en": "a\u0000b"})")},
        {"invalid UTF-8", en("\"1\": {\"en\": \"\xC3\"}")},
    };
    for (const auto& [name, json] : sources) {
        const auto result = run(json);
        EXPECT_EQ(1, result.exitCode) << name;
        EXPECT_NE(std::string::npos, result.errors.find("messagesbin: ")) << name;
        EXPECT_FALSE(outputExists()) << name;
    }
    EXPECT_EQ(64, testsupport::runCommand({MESSAGESBIN_TOOL}).exitCode);
}

// The table that the installer ships holds every text the installer shows,
// in every supported language.
TEST(ShippedMessagesTest, EveryInstallerTextInEverySupportedLanguage) {
    const std::size_t ids[] = {30, 77, 86, 94, 100, 110, 115, 119, 126, 155, 160};
    common::MessageMap map;
    loadFile(QUORVANE_MESSAGES_BIN, map);
    for (const auto& language : common::supportedLanguages) {
        SCOPED_TRACE(language);
        ASSERT_TRUE(map.setLanguage(common::utf8ToWString(language).c_str()));
        for (const std::size_t id : ids) {
            const std::wstring text = map.getRawMessage(id);
            EXPECT_FALSE(text.empty()) << id;
            EXPECT_EQ(std::wstring::npos, text.find(L'\xFFFD')) << id;
        }
        const std::wstring filled = map.getMessage(86, 1, L"Wexo Quandel Unattended");
        EXPECT_NE(std::wstring::npos, filled.find(L"Wexo Quandel Unattended"));
        EXPECT_EQ(std::wstring::npos, filled.find(L"${"));
    }
}

}  // namespace
