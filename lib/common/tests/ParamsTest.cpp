#include <gtest/gtest.h>

#include <fstream>
#include <map>

#include "common/params/CommandLineParams.h"
#include "common/params/JsonFileParams.h"
#include "common/params/Params.h"
#include "common/params/ParamsDump.h"
#include "support/LogCapture.h"
#include "support/TempDir.h"

using namespace common;
using testsupport::runLogged;

namespace {

// A layer kept in a map, with a chosen access level; it can refuse writes
// and tells when it is destroyed.
class FakeLayer : public IParams {
public:
    FakeLayer(AccessLevel level, std::map<std::string, std::string> values,
              int* destroyed = nullptr)
        : level_(level), values_(std::move(values)), destroyed_(destroyed) {}
    ~FakeLayer() override {
        if (destroyed_) {
            ++*destroyed_;
        }
    }

    void lock() override {}
    void unlock() override {}
    AccessLevel accessLevel() const override { return level_; }
    std::string getValue(const std::string& key, const std::string& defaultValue) const override {
        const auto found = values_.find(key);
        return found == values_.end() ? defaultValue : found->second;
    }
    bool setValue(const std::string& key, const std::string& value, bool) override {
        if (refuseWrites) {
            return false;
        }
        values_[key] = value;
        return true;
    }
    bool hasValue(const std::string& key) const override { return values_.count(key) != 0; }
    bool removeValue(const std::string& key) override {
        ++removeCalls;
        return values_.erase(key) != 0;
    }
    std::set<std::string> keys() const override {
        std::set<std::string> names;
        for (const auto& [key, value] : values_) {
            names.insert(key);
        }
        return names;
    }
    std::string dump() const override { return dumpParams(*this); }

    bool refuseWrites = false;
    int removeCalls = 0;

private:
    AccessLevel level_;
    std::map<std::string, std::string> values_;
    int* destroyed_;
};

std::unique_ptr<IParams> commandLine(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), "/Applications/Installer.app/Contents/MacOS/Installer");
    return std::make_unique<CommandLineParams>(arguments);
}

std::unique_ptr<IParams> fake(IParams::AccessLevel level,
                              std::map<std::string, std::string> values) {
    return std::make_unique<FakeLayer>(level, std::move(values));
}

// Adds a fake layer and returns it, for the test to look into.
FakeLayer* addFake(Params& params, IParams::AccessLevel level, int priority,
                   std::map<std::string, std::string> values = {}) {
    auto layer = std::make_unique<FakeLayer>(level, std::move(values));
    FakeLayer* added = layer.get();
    params.addLayer(std::move(layer), priority, false);
    return added;
}

// Higher priorities win and empty values fall through; the exact text
// "(null)" hides lower layers and reads as empty; a key with only empty
// values is not found, but listed.
TEST(ParamsTest, LookupAcrossLayers) {
    Params params;
    params.addLayer(commandLine({"-Lang", "fr", "-Port", "80", "-Null", "x", "-b", "2"}), 2, false);
    params.addLayer(fake(IParams::ReadOnly, {{"Lang", "de"},
                                             {"port", ""},
                                             {"null", "(null)"},
                                             {"Other", "(NULL)"},
                                             {"Empty", ""},
                                             {"b", "1"}}),
                    3, false);
    params.addLayer(fake(IParams::Writable, {{"Z", "z"}}), 1, false);
    EXPECT_EQ("de", params.getValue("Lang", "en"));
    EXPECT_EQ("80", params.getValue("port", "443"));
    EXPECT_TRUE(params.hasValue("port"));
    EXPECT_EQ("en", params.getValue("Missing", "en"));
    EXPECT_FALSE(params.hasValue("Missing"));
    EXPECT_EQ("", params.getValue("null", "en"));
    EXPECT_FALSE(params.hasValue("null"));
    EXPECT_EQ("(NULL)", params.getValue("Other", ""));
    EXPECT_FALSE(params.hasValue("Empty"));
    EXPECT_EQ("dflt", params.getValue("Empty", "dflt"));
    EXPECT_EQ("1", params.getValue("b", ""));
    EXPECT_EQ((std::set<std::string>{"Empty", "Lang", "Other", "Z", "b", "lang", "null", "port"}),
              params.keys());
}

TEST(ParamsTest, DumpListsLayersFromTheHighestPriorityDown) {
    testsupport::TempDir folder;
    { std::ofstream(folder.file("p.json")) << R"({"b": "two", "a": 1})"; }
    Params params;
    params.addLayer(commandLine({"-Offline", "-Lang", "fr"}), 2, false);
    params.addLayer(std::make_unique<JsonFileParams>(folder.file("p.json"), 0), 3, false);
    params.addLayer(fake(IParams::Writable, {}), 1, false);
    EXPECT_EQ(
        "Param layer Id: 3\na: 1\nb: two\n"
        "Param layer Id: 2\nlang: fr\noffline: 1\n"
        "Param layer Id: 1\n",
        params.dump());
    EXPECT_EQ("", Params().dump());
}

TEST(ParamsTest, SetValueWritesEveryWritableLayerOnly) {
    Params params;
    FakeLayer* lowLayer = addFake(params, IParams::Writable, 1);
    FakeLayer* highLayer = addFake(params, IParams::Writable, 5);
    FakeLayer* removableLayer = addFake(params, IParams::Removable, 3);

    EXPECT_TRUE(params.setValue("DeviceToken", "abc", true));
    EXPECT_EQ("abc", lowLayer->getValue("DeviceToken", ""));
    EXPECT_EQ("abc", highLayer->getValue("DeviceToken", ""));
    EXPECT_FALSE(removableLayer->hasValue("DeviceToken"));

    // One writable layer that takes the value is enough.
    highLayer->refuseWrites = true;
    EXPECT_TRUE(params.setValue("DeviceToken", "def", false));
    EXPECT_EQ("def", lowLayer->getValue("DeviceToken", ""));
    lowLayer->refuseWrites = true;
    EXPECT_FALSE(params.setValue("DeviceToken", "ghi", false));
}

TEST(ParamsTest, RemoveValueAsksEveryLayerThatIsNotReadOnly) {
    Params params;
    // The top layer has nothing to remove and answers false; the layers
    // below are asked all the same.
    params.addLayer(fake(IParams::Writable, {}), 6, false);
    params.addLayer(fake(IParams::Writable, {{"k", "1"}}), 5, false);
    params.addLayer(commandLine({"-K", "3"}), 2, false);
    FakeLayer* readOnlyLayer = addFake(params, IParams::ReadOnly, 1, {{"k", "2"}});

    EXPECT_FALSE(params.removeValue("k"));
    EXPECT_EQ(0, readOnlyLayer->removeCalls);
    EXPECT_EQ("2", params.getValue("k", ""));  // only the read-only layer still has it

    Params failing;
    failing.addLayer(fake(IParams::Writable, {}), 6, false);
    failing.addLayer(commandLine({"-K", "3"}), 2, false);
    EXPECT_FALSE(failing.removeValue("k"));
    EXPECT_FALSE(failing.hasValue("k"));

    Params plain;
    plain.addLayer(commandLine({"-Lang", "fr"}), 2, false);
    EXPECT_TRUE(plain.removeValue("LANG"));
    EXPECT_FALSE(plain.hasValue("Lang"));
    EXPECT_TRUE(plain.removeValue("Lang"));
}

TEST(ParamsTest, SecondLayerAtOnePriorityIsRefusedUnlessReplacing) {
    const auto run = runLogged([] {
        int destroyed = 0;
        Params params;
        params.addLayer(
            std::make_unique<FakeLayer>(
                IParams::ReadOnly, std::map<std::string, std::string>{{"k", "first"}}, &destroyed),
            2, false);
        std::unique_ptr<IParams> second = std::make_unique<FakeLayer>(
            IParams::ReadOnly, std::map<std::string, std::string>{{"k", "second"}}, &destroyed);
        params.addLayer(std::move(second), 2, false);
        // Refused: the caller still holds it, the first layer stays.
        if (!second || destroyed != 0 || params.getValue("k", "") != "first") {
            return 1;
        }
        params.addLayer(std::move(second), 2, true);
        if (second || destroyed != 1 || params.getValue("k", "") != "second") {
            return 2;
        }
        return 0;
    });
    ASSERT_TRUE(run.result.exited);
    EXPECT_EQ(0, run.result.exitCode);
    EXPECT_EQ(1, run.count("warning", "Params",
                           "New layer not added, as a layer already exists with priority 2"))
        << run.text();
}

// Texts as bools: integers (leading spaces and trailing letters allowed) are
// true unless zero, of words only "true" in any case; an empty or missing
// value gives the default.
TEST(ParamsTest, BoolReadsIntegersAndWords) {
    const std::pair<const char*, bool> rows[] = {
        {"1", true},    {"2", true},     {"-1", true},     {"99999999999999999999999", true},
        {"1abc", true}, {"true", true},  {"TRUE", true},   {" True\n", true},
        {"0", false},   {"  0", false},  {"false", false}, {"False", false},
        {"yes", false}, {"truex", false}};
    for (const auto& [text, value] : rows) {
        Params params;
        params.addLayer(fake(IParams::ReadOnly, {{"k", text}, {"empty", ""}}), 3, false);
        EXPECT_EQ(value, params.get<bool>("k", !value)) << "'" << text << "'";
        EXPECT_EQ(value, params.get<bool>("empty", value));
        EXPECT_EQ(value, params.get<bool>("missing", value));
    }
}

// Integers read from the text's start (leading spaces, a sign); a text that
// starts with no number, or a number out of the type's range, gives the
// default.
TEST(ParamsTest, IntegerAndTextReads) {
    Params params;
    params.addLayer(fake(IParams::ReadOnly, {{"port", " 8080"},
                                             {"plus", "+5"},
                                             {"neg", "-3"},
                                             {"unit", "30s"},
                                             {"word", "abc"},
                                             {"double", "+-1"},
                                             {"big", "4294967296"},
                                             {"text", " spaced "}}),
                    3, false);
    const std::pair<const char*, int> ints[] = {{"port", 8080}, {"plus", 5},   {"unit", 30},
                                                {"word", 7},    {"double", 7}, {"missing", 7}};
    for (const auto& [key, value] : ints) {
        EXPECT_EQ(value, params.get<int>(key, 7)) << key;
    }
    EXPECT_EQ(-3, params.get<long long>("neg", 0));
    EXPECT_EQ(9u, params.get<unsigned>("neg", 9u));
    EXPECT_EQ(9u, params.get<unsigned>("big", 9u));
    EXPECT_EQ(4294967296ull, params.get<unsigned long long>("big", 0));
    EXPECT_EQ(" spaced ", params.get<std::string>("text", ""));
    EXPECT_EQ("d", params.get<std::string>("missing", "d"));
}

}  // namespace
