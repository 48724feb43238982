#include <gtest/gtest.h>

#include <dlfcn.h>
#include <sys/xattr.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <functional>

#include "common/params/ExtendedAttributesParamsReader.h"
#include "platform/foundation/Bundle.h"
#include "support/AttributeFolder.h"
#include "support/LogCapture.h"

using common::ExtendedAttributesParamsReader;
using platform::foundation::Bundle;
using testsupport::runLogged;

// getxattr of this program: a test may fail it with an error, change the
// attribute right after its length has been asked for, as another process
// could, or give a value larger than the file system here keeps.
namespace {
int g_failWith = 0;
std::function<void()> g_afterLengthQuery;
std::string g_value;
}  // namespace

extern "C" ssize_t getxattr(const char* path, const char* name, void* value, size_t size) noexcept {
    static const auto real = reinterpret_cast<ssize_t (*)(const char*, const char*, void*, size_t)>(
        ::dlsym(RTLD_NEXT, "getxattr"));
    if (g_failWith != 0) {
        errno = g_failWith;
        return -1;
    }
    if (!g_value.empty()) {
        if (size != 0) {
            std::memcpy(value, g_value.data(), std::min(size, g_value.size()));
        }
        return static_cast<ssize_t>(g_value.size());
    }
    const ssize_t result = real(path, name, value, size);
    if (size == 0 && g_afterLengthQuery) {
        const int saved = errno;
        auto change = std::move(g_afterLengthQuery);
        g_afterLengthQuery = nullptr;
        change();
        errno = saved;
    }
    return result;
}

namespace {

constexpr const char* kAttribute = "com.wexo.quandel";
constexpr const char* kChannel = "ExtendedAttributesParamsReader";

class ExtendedAttributesParamsReaderTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!bundle_.usable()) {
            GTEST_SKIP() << "no file system here keeps user extended attributes";
        }
        Bundle::overrideMain({bundle_.path() + "/Contents/MacOS/Installer", bundle_.path(),
                              bundle_.path() + "/Contents/Resources"});
    }
    void TearDown() override {
        Bundle::resetMain();
        g_failWith = 0;
        g_afterLengthQuery = nullptr;
        g_value.clear();
    }

    void setAttribute(const std::string& text) { ASSERT_TRUE(bundle_.set(kAttribute, text)); }

    testsupport::AttributeFolder bundle_;
};

TEST_F(ExtendedAttributesParamsReaderTest, MembersOfTheObjectAreTheParameters) {
    setAttribute(R"({"Lang": "de", "Offline": true, "Debug": 1, "Quiet": false, "Ratio": 0.1,
                     "Token": null, "Proxy": {"Host": "proxy", "Port": 3128}, "Servers": ["a"]})");
    ExtendedAttributesParamsReader reader(kAttribute);
    EXPECT_EQ("de", reader.getValue("Lang", "en"));
    EXPECT_EQ("0.1", reader.getValue("Ratio", ""));
    EXPECT_EQ("", reader.getValue("Token", "x"));
    EXPECT_TRUE(reader.hasValue("Token"));
    EXPECT_EQ(R"({"Host":"proxy","Port":3128})", reader.getValue("Proxy", ""));
    EXPECT_EQ(R"(["a"])", reader.getValue("Servers", ""));
    EXPECT_TRUE(reader.get<bool>("Offline", false));
    EXPECT_TRUE(reader.get<bool>("Debug", false));
    EXPECT_FALSE(reader.get<bool>("Quiet", true));
    EXPECT_FALSE(reader.hasValue("LANG"));  // keys are case-sensitive
    EXPECT_EQ(common::IParams::ReadOnly, reader.accessLevel());
    EXPECT_FALSE(reader.setValue("Lang", "5", false));
    EXPECT_FALSE(reader.removeValue("Lang"));
    EXPECT_EQ(8u, reader.keys().size());
}

// What each attribute text gives, and whether its reading is warned about.
TEST_F(ExtendedAttributesParamsReaderTest, DamagedOrOtherTextsGiveWhatCanBeRead) {
    const std::string deep = std::string(1500, '[') + std::string(1500, ']');
    const struct {
        std::string text;
        std::string dump;
        bool warned;
    } cases[] = {
        {R"({"Lang": "de", "Offline": 1}garbage)", "Lang: de\nOffline: 1\n", true},
        {R"({"Lang": "de", "Proxy": {"Port": 1}} x)", "", true},
        {R"(["Lang", "de"])", "", false},
        {"42", "", false},
        {"null", "", false},
        {"", "", false},
        {std::string("{\"Lang\": \"de\"}\0{\"Lang\": \"fr\"}", 29), "Lang: de\n", false},
        {"{\"a\": " + deep + "}", "", true},
        {"{\"a\": \"\\\"" + std::string(100, '[') + "\", \"b\": [[1]]}",
         "a: \"" + std::string(100, '[') + "\nb: [[1]]\n", false},
    };
    for (const auto& [text, dump, warned] : cases) {
        setAttribute(text);
        const auto run = runLogged(
            [&] { return ExtendedAttributesParamsReader(kAttribute).dump() == dump ? 0 : 1; });
        EXPECT_EQ(0, run.result.exitCode) << text.substr(0, 60) << "\n"
                                          << run.text().substr(0, 2000);
        EXPECT_EQ(warned, run.hasPart("warning", kChannel, "")) << text.substr(0, 60);
    }
}

// Ten thousand levels are refused before the parser sees them.
TEST_F(ExtendedAttributesParamsReaderTest, DeeplyNestedAttributeIsRefused) {
    g_value =
        "{\"Lang\": \"de\", \"a\": " + std::string(10000, '[') + std::string(10000, ']') + "}";
    const auto run =
        runLogged([] { return ExtendedAttributesParamsReader(kAttribute).keys().empty() ? 0 : 1; });
    EXPECT_EQ(0, run.result.exitCode) << run.text().substr(0, 2000);
    EXPECT_TRUE(run.has("warning", kChannel,
                        "Extended attributes refused: JSON nested deeper than 64 levels"));
}

TEST_F(ExtendedAttributesParamsReaderTest, MissingOrUnreadableAttributeGivesAnEmptyLayer) {
    const auto missing =
        runLogged([] { return ExtendedAttributesParamsReader(kAttribute).keys().empty() ? 0 : 1; });
    EXPECT_EQ(0, missing.result.exitCode);
    EXPECT_EQ(1, missing.count("info", kChannel, "Extended Attribute not found")) << missing.text();
    setAttribute(R"({"Lang": "de"})");
    const auto unreadable = runLogged([] {
        g_failWith = ENOTSUP;
        return ExtendedAttributesParamsReader(kAttribute).keys().empty() ? 0 : 1;
    });
    EXPECT_EQ(0, unreadable.result.exitCode);
    EXPECT_TRUE(unreadable.has(
        "warning", kChannel,
        "Get extended attributes for length failed, error: " + std::to_string(ENOTSUP)));
}

// An attribute that shrinks, or grows, between the query of its length and
// its reading is read whole.
TEST_F(ExtendedAttributesParamsReaderTest, AttributeChangedWhileReadIsReadWhole) {
    const std::string padding = R"(, "Padding": ")" + std::string(3000, 'x') + "\"";
    const std::pair<std::string, std::string> changes[] = {
        {R"({"Lang": "de")" + padding + "}", R"({"Lang": "fr", "Proxy": {"Host": "h"}})"},
        {R"({"Lang": "de"})", R"({"Lang": "fr", "Proxy": {"Host": "h"})" + padding + "}"}};
    for (const auto& [before, after] : changes) {
        setAttribute(before);
        g_afterLengthQuery = [&] { ASSERT_TRUE(bundle_.set(kAttribute, after)); };
        ExtendedAttributesParamsReader reader(kAttribute);
        EXPECT_EQ("fr", reader.getValue("Lang", "")) << after.size();
        EXPECT_EQ(R"({"Host":"h"})", reader.getValue("Proxy", "")) << after.size();
        EXPECT_EQ(after.size() > before.size() ? 3000u : 0u, reader.getValue("Padding", "").size());
    }
}

}  // namespace
