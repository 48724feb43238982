#include <gtest/gtest.h>

#include <dlfcn.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <random>
#include <thread>

#include <rapidjson/document.h>
#include <boost/filesystem/operations.hpp>

#include "common/params/JsonFileParams.h"
#include "common/params/JsonValueText.h"
#include "support/LogCapture.h"
#include "support/TempDir.h"

using common::JsonFileParams;
using testsupport::readFile;
using testsupport::runLogged;

// fsync, fdatasync and rename of this program, recorded in order while a test
// asks for it, then handed to the C library.
namespace {
bool g_recordFileCalls = false;
std::vector<std::string> g_fileCalls;

std::string pathOfDescriptor(int fd) {
    char buffer[4096] = {};
    const std::string link = "/proc/self/fd/" + std::to_string(fd);
    const ssize_t length = ::readlink(link.c_str(), buffer, sizeof buffer - 1);
    return length > 0 ? std::string(buffer, static_cast<std::size_t>(length)) : std::string();
}

template <typename F>
F next(const char* name) {
    return reinterpret_cast<F>(::dlsym(RTLD_NEXT, name));
}
}  // namespace

extern "C" int fsync(int fd) {
    if (g_recordFileCalls) {
        g_fileCalls.push_back("sync " + pathOfDescriptor(fd));
    }
    static const auto real = next<int (*)(int)>("fsync");
    return real(fd);
}

extern "C" int fdatasync(int fd) {
    if (g_recordFileCalls) {
        g_fileCalls.push_back("sync " + pathOfDescriptor(fd));
    }
    static const auto real = next<int (*)(int)>("fdatasync");
    return real(fd);
}

extern "C" int rename(const char* from, const char* to) noexcept {
    if (g_recordFileCalls) {
        g_fileCalls.push_back(std::string("rename ") + from + " " + to);
    }
    static const auto real = next<int (*)(const char*, const char*)>("rename");
    return real(from, to);
}

namespace {

void writeFile(const std::string& path, const std::string& content) {
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file << content;
}

rapidjson::Document parseFile(const std::string& path) {
    rapidjson::Document document;
    const std::string content = readFile(path);
    document.Parse<common::kParamsJsonParseFlags>(content.data(), content.size());
    return document;
}

class JsonFileParamsTest : public ::testing::Test {
protected:
    std::string path() const { return folder_.file("unattended.json"); }

    testsupport::TempDir folder_;
};

TEST_F(JsonFileParamsTest, TextsAreTypedWhenStored) {
    JsonFileParams params(path(), 2);
    const std::vector<std::pair<std::string, std::string>> values = {
        {"Port", "8080"}, {"DeviceName", "8080"}, {"Labels", "-3"},   {"Negative", "-3"},
        {"Half", "2.5"},  {"Flag", "true"},       {"Mixed", "12abc"}, {"Empty", ""},
        {"Tenth", "0.1"}, {"Large", "1e+20"},
    };
    for (const auto& [key, value] : values) {
        EXPECT_TRUE(params.setValue(key, value, false)) << key;
    }
    const auto document = parseFile(path());
    ASSERT_TRUE(document.IsObject());
    EXPECT_TRUE(document["Port"].IsInt());
    EXPECT_EQ(8080, document["Port"].GetInt());
    EXPECT_TRUE(document["DeviceName"].IsString());
    EXPECT_TRUE(document["Labels"].IsString());
    EXPECT_TRUE(document["Negative"].IsInt());
    EXPECT_EQ(-3, document["Negative"].GetInt());
    EXPECT_TRUE(document["Half"].IsDouble());
    EXPECT_EQ(2.5, document["Half"].GetDouble());
    EXPECT_TRUE(document["Flag"].IsString());
    EXPECT_TRUE(document["Mixed"].IsString());
    EXPECT_TRUE(document["Empty"].IsString());
    EXPECT_TRUE(document["Tenth"].IsDouble());
    EXPECT_EQ(0.1, document["Tenth"].GetDouble());
    EXPECT_TRUE(document["Large"].IsDouble());
    EXPECT_EQ(1e20, document["Large"].GetDouble());

    JsonFileParams reread(path(), 0);
    for (const auto& [key, value] : values) {
        EXPECT_EQ(value, reread.getValue(key, "<none>")) << key;
    }
}

// A number is stored only when it reads back as the very text given; every
// other text keeps its exact characters as a string.
TEST_F(JsonFileParamsTest, EveryStoredTextReadsBackUnchanged) {
    const std::vector<std::string> numbers = {
        "0",
        "-9223372036854775808",
        "9223372036854775807",
        "18446744073709551615",
        "0.30000000000000004",
        "5.409760742964738e+124",
        "1e-07",
        "-0.5",
        "123456.789",
        "-0",
    };
    const std::vector<std::string> texts = {
        "007",
        "+5",
        " 5",
        "5 ",
        "1e20",
        "1E+20",
        "2.50",
        ".5",
        "0x10",
        "18446744073709551617",
        "-9223372036854775809",
        "123456789012345678901234567890",
        "1e400",
        "-",
        "",
    };
    {
        JsonFileParams params(path(), 2);
        for (const auto& text : numbers) {
            EXPECT_TRUE(params.setValue("n" + text, text, false));
            EXPECT_EQ(text, params.getValue("n" + text, "<none>"));
        }
        for (const auto& text : texts) {
            EXPECT_TRUE(params.setValue("t" + text, text, false));
            EXPECT_EQ(text, params.getValue("t" + text, "<none>"));
        }
    }
    const auto document = parseFile(path());
    ASSERT_TRUE(document.IsObject());
    for (const auto& text : numbers) {
        EXPECT_TRUE(document[("n" + text).c_str()].IsNumber()) << text;
    }
    for (const auto& text : texts) {
        EXPECT_TRUE(document[("t" + text).c_str()].IsString()) << "'" << text << "'";
    }
    // Read back from the file, to the last bit.
    JsonFileParams reread(path(), 0);
    for (const auto& text : numbers) {
        EXPECT_EQ(text, reread.getValue("n" + text, "<none>"));
    }
    for (const auto& text : texts) {
        EXPECT_EQ(text, reread.getValue("t" + text, "<none>"));
    }
}

TEST_F(JsonFileParamsTest, NonFiniteTextsNeverBreakTheFile) {
    JsonFileParams params(path(), 2);
    ASSERT_TRUE(params.setValue("DeviceToken", "d41d8cd98f00b204", false));
    ASSERT_TRUE(params.setValue("Port", "8080", false));
    for (const std::string text :
         {"nan", "NaN", "inf", "-inf", "Infinity", "-INFINITY", "nan(1)"}) {
        EXPECT_TRUE(params.setValue("Ratio", text, false)) << text;
        EXPECT_EQ(text, params.getValue("Ratio", ""));
        JsonFileParams reread(path(), 0);
        EXPECT_EQ("d41d8cd98f00b204", reread.getValue("DeviceToken", "")) << text;
        EXPECT_EQ("8080", reread.getValue("Port", "")) << text;
        EXPECT_EQ(text, reread.getValue("Ratio", "")) << text;
    }
}

TEST_F(JsonFileParamsTest, DocumentThatCannotBeWrittenIsReportedUnwritable) {
    rapidjson::Document document;
    document.SetObject();
    document.AddMember("DeviceToken", "abc", document.GetAllocator());
    std::string text;
    EXPECT_TRUE(common::writePrettyJson(document, text));
    EXPECT_EQ("{\n    \"DeviceToken\": \"abc\"\n}", text);
    document.AddMember("Ratio", rapidjson::Value(std::nan("")), document.GetAllocator());
    EXPECT_FALSE(common::writePrettyJson(document, text));
    document["Ratio"].SetDouble(HUGE_VAL);
    EXPECT_FALSE(common::writePrettyJson(document, text));
}

TEST_F(JsonFileParamsTest, ValuesOfTheFileAsText) {
    writeFile(path(), R"({
        "half": 2.5, "yes": true, "no": false, "none": null, "text": "x\u00e9",
        "nested": {"a": [1, 2]}, "list": [1, "x"], "emptyObject": {},
        "max": 18446744073709551615, "min": -9223372036854775808, "int": -5,
        "large": 1e20, "tenth": 0.1, "whole": 3.0, "precise": 0.30000000000000004,
        "Case": "upper"
    })");
    JsonFileParams params(path(), 0);
    EXPECT_EQ("2.5", params.getValue("half", ""));
    EXPECT_EQ("true", params.getValue("yes", ""));
    EXPECT_EQ("false", params.getValue("no", ""));
    EXPECT_EQ("", params.getValue("none", "dflt"));
    EXPECT_TRUE(params.hasValue("none"));
    EXPECT_EQ("x\xc3\xa9", params.getValue("text", ""));
    EXPECT_EQ("{\n    \"a\": [\n        1,\n        2\n    ]\n}", params.getValue("nested", ""));
    EXPECT_EQ("[\n    1,\n    \"x\"\n]", params.getValue("list", ""));
    EXPECT_EQ("{}", params.getValue("emptyObject", ""));
    EXPECT_EQ("18446744073709551615", params.getValue("max", ""));
    EXPECT_EQ("-9223372036854775808", params.getValue("min", ""));
    EXPECT_EQ("-5", params.getValue("int", ""));
    EXPECT_EQ("1e+20", params.getValue("large", ""));
    EXPECT_EQ("0.1", params.getValue("tenth", ""));
    EXPECT_EQ("3", params.getValue("whole", ""));
    EXPECT_EQ("0.30000000000000004", params.getValue("precise", ""));
    // Keys are case-sensitive.
    EXPECT_EQ("upper", params.getValue("Case", ""));
    EXPECT_EQ("dflt", params.getValue("case", "dflt"));
    EXPECT_FALSE(params.hasValue("case"));
    EXPECT_EQ(16u, params.keys().size());
}

TEST_F(JsonFileParamsTest, FileIsPrettyPrintedInMemberOrder) {
    writeFile(path(), R"({"b": 1, "a": "x", "c": null})");
    JsonFileParams params(path(), 2);
    ASSERT_TRUE(params.setValue("Port", "8080", false));
    ASSERT_TRUE(params.setValue("a", "y", false));
    EXPECT_EQ("{\n    \"b\": 1,\n    \"a\": \"y\",\n    \"c\": null,\n    \"Port\": 8080\n}\n",
              readFile(path()));
    ASSERT_TRUE(params.removeValue("b"));
    EXPECT_EQ("{\n    \"a\": \"y\",\n    \"c\": null,\n    \"Port\": 8080\n}\n", readFile(path()));
    EXPECT_EQ("Port: 8080\na: y\nc: \n", params.dump());
    EXPECT_FALSE(boost::filesystem::exists(path() + ".tmp"));
}

TEST_F(JsonFileParamsTest, ByteOrderMarkIsSkipped) {
    writeFile(path(), "\xEF\xBB\xBF{\"DeviceToken\": \"t\"}");
    JsonFileParams params(path(), 0);
    EXPECT_EQ("t", params.getValue("DeviceToken", ""));
}

TEST_F(JsonFileParamsTest, FilesWithoutAnObjectReadAsEmptyAndAreReplaced) {
    for (const std::string& content :
         std::vector<std::string>{"[1, 2]", "42", "\"text\"", "", "{\"a\": 1,}", "{\"a\": 1} x",
                                  "// c\n{}", "{\"a\"", "\xEF\xBB\xBF"}) {
        writeFile(path(), content);
        JsonFileParams params(path(), 2);
        EXPECT_TRUE(params.keys().empty()) << content;
        ASSERT_TRUE(params.setValue("K", "v", false));
        EXPECT_EQ("{\n    \"K\": \"v\"\n}\n", readFile(path())) << content;
    }
}

TEST_F(JsonFileParamsTest, MissingFileIsCreatedByTheFirstWrite) {
    const std::string missing = folder_.file("new.json");
    JsonFileParams params(missing, 2);
    EXPECT_TRUE(params.keys().empty());
    EXPECT_FALSE(boost::filesystem::exists(missing));
    EXPECT_FALSE(params.removeValue("Nothing"));
    EXPECT_FALSE(boost::filesystem::exists(missing));  // nothing removed, nothing saved
    ASSERT_TRUE(params.setValue("DeviceToken", "t", false));
    EXPECT_EQ("{\n    \"DeviceToken\": \"t\"\n}\n", readFile(missing));

    JsonFileParams unnamed("", 2);
    EXPECT_TRUE(unnamed.keys().empty());
    EXPECT_FALSE(unnamed.setValue("a", "b", false));
    EXPECT_EQ("b", unnamed.getValue("a", ""));  // kept in memory
}

TEST_F(JsonFileParamsTest, ModesLimitWhatChanges) {
    const std::string content = "{\n    \"DeviceToken\": \"t\",\n    \"Port\": 1\n}\n";
    writeFile(path(), content);
    const auto run = runLogged([&] {
        JsonFileParams readOnly(path(), 0);
        if (readOnly.accessLevel() != common::IParams::ReadOnly ||
            readOnly.setValue("Port", "2", false) || readOnly.removeValue("Port") ||
            readOnly.getValue("Port", "") != "1") {
            return 1;
        }
        JsonFileParams removable(path(), 1);
        if (removable.accessLevel() != common::IParams::Removable ||
            removable.setValue("Port", "2", false) || removable.getValue("Port", "") != "1") {
            return 2;
        }
        if (readFile(path()) != content) {
            return 3;
        }
        if (!removable.removeValue("Port") ||
            readFile(path()) != "{\n    \"DeviceToken\": \"t\"\n}\n") {
            return 4;
        }
        return 0;
    });
    ASSERT_TRUE(run.result.exited);
    EXPECT_EQ(0, run.result.exitCode) << run.text();
    EXPECT_TRUE(
        run.has("debug", "JsonFileParams", "Opening input file in read-only mode: " + path()))
        << run.text();
    EXPECT_EQ(2, run.count("warning", "JsonFileParams",
                           "JsonParams cannot modify value in read-only mode: Port"));
    EXPECT_TRUE(run.has("warning", "JsonFileParams",
                        "JsonParams cannot remove value in read-only mode: Port"));
    EXPECT_TRUE(run.hasPart("error", "assert",
                            "Assertion failed:(false) with message: \"JsonParams value can't be "
                            "modified in read-only mode\""));
    EXPECT_TRUE(run.hasPart("error", "assert",
                            "Assertion failed:(false) with message: \"JsonParams value can't be "
                            "removed in read-only mode\""));
    EXPECT_TRUE(run.has("debug", "JsonFileParams", "Value removed: Port"));
}

TEST_F(JsonFileParamsTest, ReadingAndWritingAreLogged) {
    const std::string missing = folder_.file("missing.json");
    const std::string broken = folder_.file("broken.json");
    writeFile(broken, "{\"a\": 1,}");
    const auto run = runLogged([&] {
        JsonFileParams absent(missing, 2);
        JsonFileParams damaged(broken, 2);
        if (!damaged.setValue("Port", "8080", false) || !damaged.setValue("Empty", "", false)) {
            return 1;
        }
        return 0;
    });
    EXPECT_EQ(0, run.result.exitCode) << run.text();
    EXPECT_TRUE(
        run.has("info", "JsonFileParams", "The input file does not exist. Filename: " + missing))
        << run.text();
    EXPECT_TRUE(
        run.has("warning", "JsonFileParams::getFileContent", "Failed to open file " + missing));
    EXPECT_TRUE(run.has(
        "warning", "JsonFileParams",
        "Parse error occured in file " + missing + ", error message: The document is empty."));
    EXPECT_TRUE(
        run.has("debug", "JsonFileParams",
                "The parsed json is not an object, setting it as an object. Filename: " + missing));
    EXPECT_TRUE(run.has("warning", "JsonFileParams",
                        "Parse error occured in file " + broken +
                            ", error message: Missing a name for object member."));
    EXPECT_TRUE(run.has("debug", "JsonFileParams", "Value added successfully: Port, 8080"));
    EXPECT_FALSE(run.hasPart("error", "JsonFileParams", "Cannot find recently added key"));
    const std::string temporary = broken + ".tmp";
    EXPECT_EQ(2, run.count("trace", "JsonFileParams::saveContentToFile",
                           "Open " + temporary + " for writing"));
    EXPECT_EQ(2, run.count("trace", "JsonFileParams::saveContentToFile",
                           "Contents written to file " + temporary));
    EXPECT_EQ(2, run.count("trace", "JsonFileParams::saveContentToFile",
                           "Renamed " + temporary + " to " + broken));
}

// Makes renaming over a file fail: the file is made immutable (needs
// root), or its folder read-only with the temporary file already there.
class RenameBlocker {
public:
    RenameBlocker(const std::string& folder, const std::string& file)
        : folder_(folder), file_(file) {
        if (::geteuid() == 0) {
            immutable_ = setImmutable(true);
        } else {
            writeFile(file + ".tmp", "");
            readOnlyFolder_ = ::chmod(folder.c_str(), 0555) == 0;
        }
    }
    ~RenameBlocker() {
        if (immutable_) {
            setImmutable(false);
        }
        if (readOnlyFolder_) {
            ::chmod(folder_.c_str(), 0755);
        }
    }
    bool active() const { return immutable_ || readOnlyFolder_; }

private:
    bool setImmutable(bool on) {
        const int fd = ::open(file_.c_str(), O_RDONLY | O_CLOEXEC);
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

    std::string folder_;
    std::string file_;
    bool immutable_ = false;
    bool readOnlyFolder_ = false;
};

TEST_F(JsonFileParamsTest, FailedRenameKeepsTheOldFile) {
    const std::string content = "{\n    \"DeviceToken\": \"old\"\n}\n";
    writeFile(path(), content);
    const auto run = runLogged([&] {
        JsonFileParams params(path(), 2);
        RenameBlocker blocker(folder_.path(), path());
        if (!blocker.active()) {
            return 77;
        }
        if (params.setValue("DeviceToken", "new", false)) {
            return 1;
        }
        // The change stays in memory.
        if (params.getValue("DeviceToken", "") != "new" || readFile(path()) != content) {
            return 2;
        }
        if (JsonFileParams::saveContentToFile(path(), "{}")) {
            return 3;
        }
        return 0;
    });
    ASSERT_TRUE(run.result.exited);
    if (run.result.exitCode == 77) {
        GTEST_SKIP() << "cannot make a rename fail here";
    }
    EXPECT_EQ(0, run.result.exitCode);
    EXPECT_EQ(content, readFile(path()));
    EXPECT_TRUE(run.hasPart("error", "JsonFileParams::saveContentToFile", "Rename failed: "))
        << run.text();
    EXPECT_TRUE(run.has("error", "JsonFileParams", "Cannot save content into file: " + path()));
}

TEST_F(JsonFileParamsTest, SaveRefusesWhatItCannotWrite) {
    EXPECT_FALSE(JsonFileParams::saveContentToFile("", "{}"));
    const std::string nowhere = folder_.file("no/such/folder/p.json");
    const auto run =
        runLogged([&] { return JsonFileParams::saveContentToFile(nowhere, "{}") ? 1 : 0; });
    EXPECT_EQ(0, run.result.exitCode);
    EXPECT_TRUE(run.has("error", "JsonFileParams::saveContentToFile",
                        "Failed to open file " + nowhere + ".tmp for writing"))
        << run.text();
    EXPECT_FALSE(boost::filesystem::exists(nowhere));

    // A leftover temporary file is overwritten.
    writeFile(path() + ".tmp", std::string(5000, 'x'));
    EXPECT_TRUE(JsonFileParams::saveContentToFile(path(), "{}"));
    EXPECT_EQ("{}\n", readFile(path()));
    EXPECT_FALSE(boost::filesystem::exists(path() + ".tmp"));
}

TEST_F(JsonFileParamsTest, TemporaryFileReachesTheDiskBeforeTheRename) {
    const std::string temporary = path() + ".tmp";
    g_fileCalls.clear();
    g_recordFileCalls = true;
    const bool saved = JsonFileParams::saveContentToFile(path(), "{}");
    g_recordFileCalls = false;
    ASSERT_TRUE(saved);
    const std::vector<std::string> expected = {"sync " + temporary,
                                               "rename " + temporary + " " + path()};
    EXPECT_EQ(expected, g_fileCalls);
}

// A writer killed at any moment of a save leaves either the old or the new
// file, never a broken one.
TEST_F(JsonFileParamsTest, KilledWriterNeverLeavesABrokenFile) {
    const std::vector<std::string> keys = {"DeviceToken", "DeviceName", "InstallationId", "Port",
                                           "Counter"};
    {
        JsonFileParams params(path(), 2);
        for (const auto& key : keys) {
            ASSERT_TRUE(params.setValue(key, "initial", false));
        }
    }
    std::mt19937 random(std::random_device{}());
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(40);
    int rounds = 0;
    for (; rounds < 120 && std::chrono::steady_clock::now() < deadline; ++rounds) {
        int ready[2];
        ASSERT_EQ(0, ::pipe(ready));
        const pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            ::close(ready[0]);
            JsonFileParams params(path(), 2);
            std::mt19937 childRandom(static_cast<unsigned>(::getpid()));
            for (long i = 0;; ++i) {
                // Values of changing length, so that a torn write shows.
                params.setValue("DeviceToken", std::string(childRandom() % 8000, 't'), false);
                params.setValue("Counter", std::to_string(i), false);
                if (i == 0) {
                    (void)!::write(ready[1], "r", 1);
                }
            }
        }
        ::close(ready[1]);
        char byte = 0;
        (void)!::read(ready[0], &byte, 1);  // the writer has begun (or died)
        ::close(ready[0]);
        std::this_thread::sleep_for(std::chrono::microseconds(random() % 15000));
        ::kill(pid, SIGKILL);
        int status = 0;
        ASSERT_EQ(pid, ::waitpid(pid, &status, 0));
        ASSERT_TRUE(WIFSIGNALED(status)) << "the writer ended by itself";

        const auto document = parseFile(path());
        ASSERT_FALSE(document.HasParseError()) << "round " << rounds << ": " << readFile(path());
        ASSERT_TRUE(document.IsObject());
        for (const auto& key : keys) {
            ASSERT_TRUE(document.HasMember(key.c_str())) << "round " << rounds << ": " << key;
        }
    }
    EXPECT_GE(rounds, 50);
}

}  // namespace
