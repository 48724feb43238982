#include <gtest/gtest.h>

#include <dlfcn.h>
#include <sys/xattr.h>

#include <cerrno>
#include <functional>

#include "common/params/ExtendedAttributesParamsReader.h"
#include "platform/foundation/Bundle.h"
#include "support/AttributeFolder.h"
#include "support/LogCapture.h"

using common::ExtendedAttributesParamsReader;
using platform::foundation::Bundle;
using testsupport::runLogged;

// getxattr of this program: a test may fail it with an error, or change the
// attribute right after its length has been asked for, as another process
// could.
namespace {
int g_failWith = 0;
std::function<void()> g_afterLengthQuery;
}  // namespace

extern "C" ssize_t getxattr(const char* path, const char* name, void* value, size_t size) noexcept {
    static const auto real = reinterpret_cast<ssize_t (*)(const char*, const char*, void*, size_t)>(
        ::dlsym(RTLD_NEXT, "getxattr"));
    if (g_failWith != 0) {
        errno = g_failWith;
        return -1;
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
    }

    void setAttribute(const std::string& text) { ASSERT_TRUE(bundle_.set(kAttribute, text)); }

    testsupport::AttributeFolder bundle_;
};

TEST_F(ExtendedAttributesParamsReaderTest, MembersOfTheObjectAreTheParameters) {
    setAttribute(R"({"Lang": "de", "Offline": true, "Debug": 1, "Quiet": false, "Port": 8080,
                     "Ratio": 0.1, "Token": null,
                     "Proxy": {"Host": "proxy", "Port": 3128}, "Servers": ["a", "b"]})");
    ExtendedAttributesParamsReader reader(kAttribute);
    EXPECT_EQ("de", reader.getValue("Lang", "en"));
    EXPECT_EQ("true", reader.getValue("Offline", ""));
    EXPECT_EQ("false", reader.getValue("Quiet", ""));
    EXPECT_EQ("1", reader.getValue("Debug", ""));
    EXPECT_EQ("8080", reader.getValue("Port", ""));
    EXPECT_EQ("0.1", reader.getValue("Ratio", ""));
    EXPECT_EQ("", reader.getValue("Token", "x"));
    EXPECT_TRUE(reader.hasValue("Token"));
    EXPECT_EQ("{\n    \"Host\": \"proxy\",\n    \"Port\": 3128\n}", reader.getValue("Proxy", ""));
    EXPECT_EQ("[\n    \"a\",\n    \"b\"\n]", reader.getValue("Servers", ""));
    // A JSON true is a true bool, as is the number 1.
    EXPECT_TRUE(reader.get<bool>("Offline", false));
    EXPECT_TRUE(reader.get<bool>("Debug", false));
    EXPECT_FALSE(reader.get<bool>("Quiet", true));
    // Keys are case-sensitive here.
    EXPECT_EQ("en", reader.getValue("lang", "en"));
    EXPECT_FALSE(reader.hasValue("LANG"));
    EXPECT_EQ((std::set<std::string>{"Debug", "Lang", "Offline", "Port", "Proxy", "Quiet", "Ratio",
                                     "Servers", "Token"}),
              reader.keys());
}

TEST_F(ExtendedAttributesParamsReaderTest, ReadOnlyLayer) {
    setAttribute(R"({"b": "2", "a": 1})");
    ExtendedAttributesParamsReader reader(kAttribute);
    EXPECT_EQ(common::IParams::ReadOnly, reader.accessLevel());
    EXPECT_FALSE(reader.setValue("a", "5", false));
    EXPECT_FALSE(reader.setValue("c", "5", false));
    EXPECT_FALSE(reader.removeValue("a"));
    EXPECT_EQ("a: 1\nb: 2\n", reader.dump());
}

TEST_F(ExtendedAttributesParamsReaderTest, MissingAttributeGivesAnEmptyLayer) {
    const auto run = runLogged([] {
        ExtendedAttributesParamsReader reader(kAttribute);
        return reader.keys().empty() && reader.getValue("Lang", "en") == "en" ? 0 : 1;
    });
    EXPECT_EQ(0, run.result.exitCode);
    EXPECT_EQ(1, run.count("info", kChannel, "Extended Attribute not found")) << run.text();
    EXPECT_EQ(1, run.countOnChannel(kChannel));
}

TEST_F(ExtendedAttributesParamsReaderTest, UnreadableAttributeIsAWarning) {
    setAttribute(R"({"Lang": "de"})");
    const auto run = runLogged([] {
        g_failWith = ENOTSUP;
        ExtendedAttributesParamsReader reader(kAttribute);
        return reader.keys().empty() ? 0 : 1;
    });
    EXPECT_EQ(0, run.result.exitCode);
    EXPECT_TRUE(
        run.has("warning", kChannel,
                "Get extended attributes for length failed, error: " + std::to_string(ENOTSUP)))
        << run.text();
}

TEST_F(ExtendedAttributesParamsReaderTest, StrayBytesAfterAFlatObjectAreDropped) {
    const std::string text = R"({"Lang": "de", "Offline": 1}garbage)";
    setAttribute(text);
    const auto run = runLogged([] {
        ExtendedAttributesParamsReader reader(kAttribute);
        return reader.getValue("Lang", "") == "de" && reader.get<bool>("Offline", false) ? 0 : 1;
    });
    EXPECT_EQ(0, run.result.exitCode) << run.text();
    EXPECT_TRUE(run.has("info", kChannel, "Extend attributes: " + text)) << run.text();
    EXPECT_TRUE(run.has("warning", kChannel,
                        "Parse error occured from extended attributes. Error message: The "
                        "document root must not be followed by other values. Attributes string: " +
                            text + ", "))
        << run.text();
    EXPECT_FALSE(run.hasPart("warning", kChannel, "Parse error occured again"));
}

TEST_F(ExtendedAttributesParamsReaderTest, StrayBytesAfterANestedObjectLeaveNoValues) {
    const std::string text = R"({"Lang": "de", "Proxy": {"Port": 1}} x)";
    setAttribute(text);
    const auto run = runLogged([] {
        ExtendedAttributesParamsReader reader(kAttribute);
        return reader.keys().empty() ? 0 : 1;
    });
    EXPECT_EQ(0, run.result.exitCode) << run.text();
    EXPECT_TRUE(run.hasPart("warning", kChannel,
                            "Parse error occured from extended attributes. Error message: "))
        << run.text();
    EXPECT_TRUE(run.has("warning", kChannel,
                        "Parse error occured again from extended attributes. Error message: "
                        "Missing a comma or '}' after an object member. Attributes string: "
                        R"({"Lang": "de", "Proxy": {"Port": 1})"))
        << run.text();
}

TEST_F(ExtendedAttributesParamsReaderTest, OtherValuesThanAnObjectLeaveNoValues) {
    for (const std::string text : {R"(["Lang", "de"])", "42", "\"text\"", "true", "null"}) {
        setAttribute(text);
        const auto run = runLogged([] {
            ExtendedAttributesParamsReader reader(kAttribute);
            return reader.keys().empty() ? 0 : 1;
        });
        EXPECT_EQ(0, run.result.exitCode) << text;
        EXPECT_FALSE(run.hasPart("warning", kChannel, "")) << text << "\n" << run.text();
    }
    setAttribute("");
    EXPECT_TRUE(ExtendedAttributesParamsReader(kAttribute).keys().empty());
}

TEST_F(ExtendedAttributesParamsReaderTest, TextEndsAtTheFirstNulByte) {
    setAttribute(std::string("{\"Lang\": \"de\"}\0{\"Lang\": \"fr\"}", 29));
    ExtendedAttributesParamsReader reader(kAttribute);
    EXPECT_EQ("de", reader.getValue("Lang", ""));
}

TEST_F(ExtendedAttributesParamsReaderTest, AttributeThatShrinksBeforeItIsReadIsReadWhole) {
    setAttribute(R"({"Lang": "de", "Padding": ")" + std::string(3000, 'x') + "\"}");
    const std::string shorter = R"({"Lang": "fr", "Proxy": {"Host": "h"}})";
    g_afterLengthQuery = [&] { ASSERT_TRUE(bundle_.set(kAttribute, shorter)); };
    ExtendedAttributesParamsReader reader(kAttribute);
    EXPECT_EQ("fr", reader.getValue("Lang", ""));
    EXPECT_EQ("{\n    \"Host\": \"h\"\n}", reader.getValue("Proxy", ""));
    EXPECT_FALSE(reader.hasValue("Padding"));
}

TEST_F(ExtendedAttributesParamsReaderTest, AttributeThatGrowsBeforeItIsReadIsAskedForAgain) {
    setAttribute(R"({"Lang": "de"})");
    const std::string longer =
        R"({"Lang": "fr", "Proxy": {"Host": "h"}, "Padding": ")" + std::string(3000, 'x') + "\"}";
    g_afterLengthQuery = [&] { ASSERT_TRUE(bundle_.set(kAttribute, longer)); };
    ExtendedAttributesParamsReader reader(kAttribute);
    EXPECT_EQ("fr", reader.getValue("Lang", ""));
    EXPECT_EQ(3000u, reader.getValue("Padding", "").size());
}

}  // namespace
