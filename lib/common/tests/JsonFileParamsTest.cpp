#include <gtest/gtest.h>

#include <dlfcn.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>

#include <rapidjson/document.h>
#include <boost/filesystem/operations.hpp>

#include "common/params/JsonFileParams.h"
#include "common/params/JsonValueText.h"
#include "common/utils/JsonNesting.h"
#include "support/LogCapture.h"
#include "support/RootOnlyFolder.h"
#include "support/TempDir.h"

using common::JsonFileParams;
using testsupport::readFile;
using testsupport::runLogged;

// fsync (with the size of a file synced) and rename of this program,
// recorded in order while a test asks for it, then handed to the C library.
namespace {
bool g_recordFileCalls = false;
std::vector<std::string> g_fileCalls;

std::string pathOfDescriptor(int fd) {
    char buffer[4096] = {};
    const std::string link = "/proc/self/fd/" + std::to_string(fd);
    const ssize_t length = ::readlink(link.c_str(), buffer, sizeof buffer - 1);
    return length > 0 ? std::string(buffer, static_cast<std::size_t>(length)) : std::string();
}
}  // namespace

extern "C" int fsync(int fd) {
    struct stat info {};
    if (g_recordFileCalls && ::fstat(fd, &info) == 0) {
        g_fileCalls.push_back("sync " + pathOfDescriptor(fd) +
                              (S_ISREG(info.st_mode) ? " " + std::to_string(info.st_size) : ""));
    }
    static const auto real = reinterpret_cast<int (*)(int)>(::dlsym(RTLD_NEXT, "fsync"));
    return real(fd);
}

extern "C" int rename(const char* from, const char* to) noexcept {
    if (g_recordFileCalls) {
        g_fileCalls.push_back(std::string("rename ") + from + " " + to);
    }
    static const auto real =
        reinterpret_cast<int (*)(const char*, const char*)>(::dlsym(RTLD_NEXT, "rename"));
    return real(from, to);
}

namespace {

void writeFile(const std::string& path, const std::string& content) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
}

rapidjson::Document parseFile(const std::string& path) {
    rapidjson::Document document;
    const std::string content = readFile(path);
    document.Parse<common::kParamsJsonParseFlags>(content.data(), content.size());
    return document;
}

mode_t modeOf(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 ? (info.st_mode & 07777) : 0;
}

class JsonFileParamsTest : public ::testing::Test {
protected:
    std::string path() const { return folder_.file("unattended.json"); }

    testsupport::TempDir folder_;
};

// A text is stored as a number only when the number reads back as the very
// text; every text reads back unchanged, from memory and from the file.
TEST_F(JsonFileParamsTest, StoredTextsAreTypedAndReadBackUnchanged) {
    const std::vector<std::pair<std::string, bool>> texts = {{"8080", true},
                                                             {"-3", true},
                                                             {"2.5", true},
                                                             {"0.1", true},
                                                             {"1e+20", true},
                                                             {"-0", true},
                                                             {"18446744073709551615", true},
                                                             {"-9223372036854775808", true},
                                                             {"5.409760742964738e+124", true},
                                                             {"1e-07", true},
                                                             {"007", false},
                                                             {"+5", false},
                                                             {" 5", false},
                                                             {"1e20", false},
                                                             {"2.50", false},
                                                             {".5", false},
                                                             {"0x10", false},
                                                             {"18446744073709551617", false},
                                                             {"-9223372036854775809", false},
                                                             {"1e400", false},
                                                             {"true", false},
                                                             {"12abc", false},
                                                             {"", false},
                                                             {"-", false},
                                                             {"nan", false},
                                                             {"-inf", false},
                                                             {"Infinity", false}};
    {
        JsonFileParams params(path(), 2);
        for (const auto& [text, number] : texts) {
            EXPECT_TRUE(params.setValue("k" + text, text, false)) << text;
            EXPECT_EQ(text, params.getValue("k" + text, "<none>")) << text;
        }
        EXPECT_TRUE(params.setValue("DeviceName", "8080", false));
        EXPECT_TRUE(params.setValue("Labels", "-3", false));
    }
    const auto document = parseFile(path());
    ASSERT_TRUE(document.IsObject()) << readFile(path());
    JsonFileParams reread(path(), 0);
    for (const auto& [text, number] : texts) {
        EXPECT_EQ(number, document[("k" + text).c_str()].IsNumber()) << "'" << text << "'";
        EXPECT_EQ(text, reread.getValue("k" + text, "<none>")) << "'" << text << "'";
    }
    EXPECT_TRUE(document["DeviceName"].IsString());
    EXPECT_TRUE(document["Labels"].IsString());
}

TEST_F(JsonFileParamsTest, ValuesOfTheFileAsText) {
    const std::pair<const char*, const char*> values[] = {
        {"2.5", "2.5"},
        {"true", "true"},
        {"false", "false"},
        {"null", ""},
        {"\"x\\u00e9\"", "x\xc3\xa9"},
        {"{\"a\": [1, 2]}", "{\"a\":[1,2]}"},
        {"[1, \"x\"]", "[1,\"x\"]"},
        {"{}", "{}"},
        {"18446744073709551615", "18446744073709551615"},
        {"-9223372036854775808", "-9223372036854775808"},
        {"1e20", "1e+20"},
        {"3.0", "3"},
        {"0.30000000000000004", "0.30000000000000004"}};
    std::string content = "\xEF\xBB\xBF{";
    for (std::size_t i = 0; i < std::size(values); ++i) {
        content += (i ? ", \"k" : "\"k") + std::to_string(i) + "\": " + values[i].first;
    }
    writeFile(path(), content + ", \"Case\": 1, \"k1\": \"repeated\"}");
    JsonFileParams params(path(), 0);
    for (std::size_t i = 0; i < std::size(values); ++i) {
        EXPECT_EQ(values[i].second, params.getValue("k" + std::to_string(i), "dflt"))
            << values[i].first;
    }
    EXPECT_TRUE(params.hasValue("k3"));
    EXPECT_FALSE(params.hasValue("case"));
    EXPECT_EQ("dflt", params.getValue("case", "dflt"));
}

TEST_F(JsonFileParamsTest, FileIsPrettyPrintedInMemberOrderAndKeepsItsMode) {
    writeFile(path(), R"({"b": 1, "a": "x", "c": null, "d": {"e": [1]}})");
    ASSERT_EQ(0, ::chmod(path().c_str(), 0640));
    JsonFileParams params(path(), 2);
    ASSERT_TRUE(params.setValue("Port", "8080", false));
    ASSERT_TRUE(params.setValue("a", "y", false));
    ASSERT_TRUE(params.removeValue("b"));
    EXPECT_EQ(
        "{\n    \"a\": \"y\",\n    \"c\": null,\n    \"d\": {\n        \"e\": [\n            1\n"
        "        ]\n    },\n    \"Port\": 8080\n}\n",
        readFile(path()));
    EXPECT_EQ("Port: 8080\na: y\nc: \nd: {\"e\":[1]}\n", params.dump());
    EXPECT_EQ(0640u, modeOf(path()));
    EXPECT_FALSE(boost::filesystem::exists(path() + ".tmp"));

    // A new file is private whatever the umask; a leftover temporary file
    // (even a link elsewhere) is replaced, not written through.
    const std::string fresh = folder_.file("new.json");
    const std::string elsewhere = folder_.file("elsewhere");
    writeFile(elsewhere, "keep");
    ASSERT_EQ(0, ::symlink(elsewhere.c_str(), (fresh + ".tmp").c_str()));
    const mode_t previous = ::umask(0);
    JsonFileParams created(fresh, 2);
    EXPECT_FALSE(created.removeValue("Nothing"));
    EXPECT_FALSE(boost::filesystem::exists(fresh));  // nothing removed, nothing saved
    const bool saved = created.setValue("DeviceToken", "t", false);
    ::umask(previous);
    ASSERT_TRUE(saved);
    EXPECT_EQ("{\n    \"DeviceToken\": \"t\"\n}\n", readFile(fresh));
    EXPECT_EQ(0600u, modeOf(fresh));
    EXPECT_EQ("keep", readFile(elsewhere));
}

TEST_F(JsonFileParamsTest, FilesWithoutAnObjectReadAsEmptyAndAreReplaced) {
    const std::string deep = std::string(10000, '[') + std::string(10000, ']');
    for (const std::string& content :
         {std::string("[1, 2]"), std::string("42"), std::string(""), std::string("{\"a\": 1,}"),
          std::string("{\"a\": 1} x"), std::string("// c\n{}"), std::string("\xEF\xBB\xBF"),
          "{\"a\": " + deep + "}", "{\"a\": \"[[[\", \"b\": " + deep + "}"}) {
        writeFile(path(), content);
        JsonFileParams params(path(), 2);
        EXPECT_TRUE(params.keys().empty()) << content.substr(0, 40);
        ASSERT_TRUE(params.setValue("K", "v", false));
        EXPECT_EQ("{\n    \"K\": \"v\"\n}\n", readFile(path())) << content.substr(0, 40);
    }
    // Nesting up to the limit is read.
    const std::size_t limit = common::kMaxJsonNesting;
    writeFile(path(), "{\"a\": " + std::string(limit - 1, '[') + std::string(limit - 1, ']') + "}");
    EXPECT_TRUE(JsonFileParams(path(), 0).hasValue("a"));
}

TEST_F(JsonFileParamsTest, ModesLimitWhatChanges) {
    const std::string content = "{\n    \"DeviceToken\": \"t\",\n    \"Port\": 1\n}\n";
    writeFile(path(), content);
    const auto run = runLogged([&] {
        JsonFileParams readOnly(path(), 0);
        JsonFileParams removable(path(), 1);
        if (readOnly.setValue("Port", "2", false) || readOnly.removeValue("Port") ||
            removable.setValue("Port", "2", false) || readOnly.getValue("Port", "") != "1" ||
            readFile(path()) != content) {
            return 1;
        }
        if (!removable.removeValue("Port") ||
            readFile(path()) != "{\n    \"DeviceToken\": \"t\"\n}\n") {
            return 2;
        }
        JsonFileParams unnamed("", 2);
        return !unnamed.setValue("a", "b", false) && unnamed.getValue("a", "") == "b" ? 0 : 3;
    });
    ASSERT_TRUE(run.result.exited);
    EXPECT_EQ(0, run.result.exitCode) << run.text();
    EXPECT_TRUE(run.hasPart("error", "assert", "JsonParams value can't be modified")) << run.text();
    EXPECT_TRUE(run.hasPart("error", "assert", "JsonParams value can't be removed"));
}

// Sets or clears the immutable flag of a file (root only).
bool setImmutable(const std::string& file, bool on) {
    const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    int flags = 0;
    bool done = ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
    flags = on ? (flags | FS_IMMUTABLE_FL) : (flags & ~FS_IMMUTABLE_FL);
    done = done && ::ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
    ::close(fd);
    return done;
}

// The rename fails on an immutable file (as root), and in a read-only folder
// holding a temporary file (as any other user; root drops to "nobody").
TEST_F(JsonFileParamsTest, FailedSaveKeepsTheOldFile) {
    const std::string content = "{\n    \"DeviceToken\": \"old\"\n}\n";
    // As root, "nobody" needs a way into the folder, whoever may enter the
    // temporary folder.
    testsupport::RootOnlyFolder reachable;
    for (const bool immutable : {true, false}) {
        const std::string folder =
            !immutable && reachable.usable() ? reachable.path() : folder_.path();
        const std::string file = folder + "/unattended.json";
        writeFile(file, content);
        if (immutable && (::geteuid() != 0 || !setImmutable(file, true))) {
            continue;
        }
        if (!immutable) {
            writeFile(file + ".tmp", "");
            ::chmod(file.c_str(), 0666);
            ::chmod(folder.c_str(), 0555);
        }
        const auto run = runLogged([&] {
            if (!immutable && ::geteuid() == 0 && ::setuid(65534) != 0) {
                return 77;
            }
            JsonFileParams params(file, 2);
            if (params.getValue("DeviceToken", "") != "old") {
                return 2;
            }
            const bool saved = params.setValue("DeviceToken", "new", false);
            return !saved && params.getValue("DeviceToken", "") == "new" ? 0 : 1;
        });
        immutable ? (void)setImmutable(file, false) : (void)::chmod(folder.c_str(), 0700);
        ASSERT_TRUE(run.result.exited) << immutable;
        EXPECT_EQ(0, run.result.exitCode) << immutable;
        EXPECT_EQ(content, readFile(file)) << immutable;
        EXPECT_TRUE(run.has("error", "JsonFileParams", "Cannot save content into file: " + file))
            << run.text();
    }
    EXPECT_FALSE(JsonFileParams::saveContentToFile("", "{}"));
    EXPECT_FALSE(JsonFileParams::saveContentToFile(folder_.file("no/such/p.json"), "{}"));
}

// The whole file, then its folder, reach the disk around the rename: a
// writer killed at any moment leaves the old or the new file, never a torn one.
TEST_F(JsonFileParamsTest, FileAndThenItsFolderReachTheDiskAroundTheRename) {
    const std::string temporary = path() + ".tmp";
    g_fileCalls.clear();
    g_recordFileCalls = true;
    const bool saved = JsonFileParams::saveContentToFile(path(), "{}");
    g_recordFileCalls = false;
    ASSERT_TRUE(saved);
    const std::vector<std::string> expected = {
        "sync " + temporary + " 3", "rename " + temporary + " " + path(), "sync " + folder_.path()};
    EXPECT_EQ(expected, g_fileCalls);
    EXPECT_EQ("{}\n", readFile(path()));
}

TEST_F(JsonFileParamsTest, CopiedValuesKeepTheirJsonType) {
    const std::string oldPath = folder_.file("old.json");
    writeFile(oldPath, R"({"DeviceToken": "123", "Number": 0.5, "Nested": {"a": [1, "b"]}})");
    writeFile(path(), R"({"DeviceToken": "from the package", "Nested": 1, "Other": 1})");
    JsonFileParams old(oldPath, 0);
    JsonFileParams fresh(path(), 2);
    for (const char* key : {"DeviceToken", "Number", "Nested"}) {
        EXPECT_TRUE(fresh.copyValueFrom(old, key)) << key;
        EXPECT_EQ(old.getValue(key, "old"), fresh.getValue(key, "fresh")) << key;
    }
    EXPECT_FALSE(fresh.copyValueFrom(old, "Missing"));
    EXPECT_FALSE(JsonFileParams(path(), 0).copyValueFrom(old, "DeviceToken"));
    const auto document = parseFile(path());
    ASSERT_TRUE(document.IsObject());
    EXPECT_STREQ("123", document["DeviceToken"].GetString());
    EXPECT_EQ(0.5, document["Number"].GetDouble());
    EXPECT_EQ(2u, document["Nested"]["a"].Size());
    EXPECT_EQ(1, document["Other"].GetInt());
    // A value set over a copied container reads as the new text.
    ASSERT_TRUE(fresh.setValue("Nested", "flat", false));
    EXPECT_EQ("flat", fresh.getValue("Nested", ""));
}

}  // namespace
