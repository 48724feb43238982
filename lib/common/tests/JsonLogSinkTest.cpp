#include <gtest/gtest.h>

#include <fstream>
#include <limits>
#include <regex>
#include <thread>

#include <rapidjson/document.h>

#include "common/logging/ILogCallback.h"
#include "common/logging/ILogSender.h"
#include "common/logging/LocalSocketLogSink.h"
#include "common/logging/Logger.h"
#include "common/logging/PendingLogRecords.h"
#include "common/logging/StructuredRecord.h"
#include "support/LogCapture.h"
#include "support/TempDir.h"

using namespace common;
using testsupport::readFile;
using testsupport::splitLines;

namespace {

constexpr const char* kProgram = "/x/y/Installer.app/Contents/MacOS/Installer";

void writeFile(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

// Keeps what the local-socket sink sends.
class RecordingSender : public ILogSender {
public:
    void send(const std::string& record) override { records += record; }
    void flush() override { ++flushes; }
    std::string records;
    int flushes = 0;
};

// Keeps what the callback sink calls back with.
class RecordingCallback : public ILogCallback {
public:
    void operator()(std::string_view record) override { records.append(record); }
    std::string records;
};

// One JSON record: its members in document order, numbers as "#<value>".
using Record = std::vector<std::pair<std::string, std::string>>;

std::string get(const Record& record, const std::string& name) {
    for (const auto& [key, value] : record) {
        if (key == name) {
            return value;
        }
    }
    return "<missing>";
}

std::vector<std::string> names(const Record& record) {
    std::vector<std::string> out;
    for (const auto& member : record) {
        out.push_back(member.first);
    }
    return out;
}

// Parses records written one per line, strictly (valid UTF-8 included).
std::vector<Record> parseRecords(const std::string& text) {
    std::vector<Record> records;
    for (const auto& line : splitLines(text)) {
        rapidjson::Document document;
        document.Parse<rapidjson::kParseValidateEncodingFlag>(line.c_str(), line.size());
        EXPECT_TRUE(document.IsObject()) << line;
        Record& record = records.emplace_back();
        for (auto it = document.MemberBegin(); document.IsObject() && it != document.MemberEnd();
             ++it) {
            const auto& value = it->value;
            std::string text = value.IsNumber() ? "#" + std::to_string(value.GetDouble()) : "";
            if (value.IsString()) {
                text.assign(value.GetString(), value.GetStringLength());
            }
            record.emplace_back(it->name.GetString(), text);
        }
    }
    return records;
}

const Record* withMessage(const std::vector<Record>& records, const std::string& message) {
    for (const auto& record : records) {
        if (get(record, "message") == message) {
            return &record;
        }
    }
    return nullptr;
}

const std::vector<std::string> kFixedMembers = {"time", "processId", "threadId", "level",
                                                "app",  "facility",  "message",  "sessionId"};

class JsonLogSinkTest : public ::testing::Test {
protected:
    void initWith(const std::vector<LogSinkType>& sinks,
                  helper::ApplicationType kind = helper::ApplicationType::UnattendedUpdater) {
        Logger::setLogFolder(folder_.path());
        Logger::init("Test", kProgram, kind, sinks);
    }

    std::string output(const std::string& name) { return readFile(folder_.file(name)); }

    testsupport::TempDir folder_;
};

// One run of plain and structured records through the local-socket sink.
TEST_F(JsonLogSinkTest, RecordsCarryTheFixedMembersThenTagAndTypedFields) {
    testsupport::runScenario([&] {
        initWith({logsink::localSocket}, static_cast<helper::ApplicationType>(42));
        auto channel = createLogger("Chan");
        channel->info("hello");
        std::thread([] { createLogger("Worker")->warn("from a thread"); }).join();
        channel->log(loglevel::info, StructuredRecord{"t", {{"n", 5u}, {"s", std::string("x")}}});
        channel->log(loglevel::info, StructuredRecord{"", {{"hidden", 1u}}});
        channel->log(loglevel::info,
                     StructuredRecord{"creds", {{"sensitive", std::string("hunter2")}}});
        channel->info("%s", R"({"sensitive":"hunter3"} and path\to\file)");
        channel->log(loglevel::info,
                     StructuredRecord{"m",
                                      {{"nan", std::numeric_limits<double>::quiet_NaN()},
                                       {"inf", std::numeric_limits<float>::infinity()},
                                       {"ok", 1.5}}});
        channel->info("%s", "bad \xff byte");
        channel->info("%s", "cut \xC3");  // a sequence cut at the end
        channel->info("%s", "{oops");
        channel->log(loglevel::info, StructuredRecord{"facility", {{"facility", 7}}});
        auto sender = std::make_shared<RecordingSender>();
        Logger::attachLogSender(sender);
        writeFile(folder_.file("records"), sender->records);
    });
    const std::string text = output("records");
    ASSERT_FALSE(text.empty());
    EXPECT_EQ('\n', text.back());
    EXPECT_EQ(std::string::npos, text.find("hunter")) << "a secret reached a JSON record";
    const auto records = parseRecords(text);

    const Record* hello = withMessage(records, "hello");
    ASSERT_NE(nullptr, hello);
    EXPECT_EQ(kFixedMembers, names(*hello));
    EXPECT_EQ("Main", get(*hello, "threadId"));
    EXPECT_EQ("info", get(*hello, "level"));
    EXPECT_EQ("42", get(*hello, "app")) << "a process kind without a name is written as its number";
    EXPECT_EQ("Chan", get(*hello, "facility"));
    EXPECT_EQ("", get(*hello, "sessionId"));
    EXPECT_TRUE(std::regex_match(get(*hello, "processId"), std::regex(R"(\d+)")));
    EXPECT_TRUE(std::regex_match(get(*hello, "time"),
                                 std::regex(R"(\d{4}-\d{2}-\d{2}T\d{2}:\d{2}:\d{2}\.\d{3}\n)")))
        << get(*hello, "time");
    const Record* worker = withMessage(records, "from a thread");
    ASSERT_NE(nullptr, worker);
    EXPECT_EQ("warning", get(*worker, "level"));
    EXPECT_TRUE(std::regex_match(get(*worker, "threadId"), std::regex(R"(\d+)")));
    EXPECT_NE(nullptr, withMessage(records, "Add 1 sinks to logger."));

    const Record* tagged = withMessage(records, R"(tag=t, n="5", s="x")");
    ASSERT_NE(nullptr, tagged);
    auto expected = kFixedMembers;
    expected.insert(expected.end(), {"tag", "n", "s"});
    EXPECT_EQ(expected, names(*tagged));
    EXPECT_EQ("t", get(*tagged, "tag"));
    EXPECT_EQ("#5.000000", get(*tagged, "n"));
    EXPECT_EQ("x", get(*tagged, "s"));
    const Record* untagged = withMessage(records, R"(tag=, hidden="1")");
    ASSERT_NE(nullptr, untagged);
    EXPECT_EQ(kFixedMembers, names(*untagged));
    const Record* creds = withMessage(records, R"(tag=creds, sensitive="***")");
    ASSERT_NE(nullptr, creds);
    EXPECT_EQ("***", get(*creds, "sensitive"));
    EXPECT_NE(nullptr, withMessage(records, "***} and pathtofile"));
    const Record* numbers = withMessage(records, R"(tag=m, inf="inf", nan="nan", ok="1.5")");
    ASSERT_NE(nullptr, numbers);
    EXPECT_EQ("nan", get(*numbers, "nan"));
    EXPECT_EQ("#1.500000", get(*numbers, "ok"));
    EXPECT_NE(nullptr, withMessage(records, "bad \xEF\xBF\xBD byte"));
    EXPECT_NE(nullptr, withMessage(records, "cut \xEF\xBF\xBD"));

    // Text that is not JSON stays a plain message and the failure is reported.
    const Record* oops = withMessage(records, "{oops");
    ASSERT_NE(nullptr, oops);
    EXPECT_EQ(kFixedMembers, names(*oops));
    int reports = 0;
    for (const auto& record : records) {
        reports += get(record, "facility") == "json_deserialize" &&
                   get(record, "message").starts_with("Unable to convert json: {oops");
    }
    EXPECT_EQ(1, reports);
    // A field named like a fixed member is written as a second member.
    const Record* repeated = withMessage(records, R"(tag=facility, facility="7")");
    ASSERT_NE(nullptr, repeated);
    ASSERT_EQ(10u, repeated->size());
    EXPECT_EQ("facility", (*repeated)[9].first);
}

// Both sinks hold records (from debug up; past the cap the oldest go) until
// a consumer is attached, hand them over oldest first, and format a record
// alike.
TEST_F(JsonLogSinkTest, HeldRecordsAreHandedOverInOrderOnceAConsumerIsAttached) {
    constexpr std::size_t kCap = PendingLogRecords::kCapacity;
    testsupport::runScenario([&] {
        initWith({logsink::callback, logsink::localSocket});
        auto sink = std::dynamic_pointer_cast<LocalSocketLogSink<std::mutex>>(
            Logger::sinkOfKind(logsink::localSocket));
        auto channel = createLogger("Chan");
        channel->debug("first");
        channel->trace("below the sink's level");
        if (!sink || sink->pending().size() != 2 || sink->pending()[1].back() != '\n') {
            std::_Exit(4);
        }
        for (std::size_t i = 0; i < kCap; ++i) {
            channel->debug("n %zu", i);
        }
        auto sender = std::make_shared<RecordingSender>();
        RecordingCallback callback;
        if (!Logger::attachLogSender(sender) || !sink->pending().empty() ||
            !Logger::attachLogCallback(&callback)) {
            std::_Exit(5);
        }
        channel->info("last");
        Logger::attachLogCallback(nullptr);  // detached: the callback is not called
        channel->info("after detaching");
        writeFile(folder_.file("sent"), sender->records);
        writeFile(folder_.file("called"), callback.records);
        writeFile(folder_.file("flushes"), std::to_string(sender->flushes));
    });
    const auto sent = parseRecords(output("sent"));
    const auto called = parseRecords(output("called"));
    // The report of the set-up and "first" were dropped.
    ASSERT_EQ(kCap + 2, sent.size());
    ASSERT_EQ(kCap + 1, called.size());
    for (std::size_t i = 0; i < sent.size(); ++i) {
        const std::string message =
            i < kCap ? "n " + std::to_string(i) : (i == kCap ? "last" : "after detaching");
        EXPECT_EQ(message, get(sent[i], "message"));
        if (i < called.size()) {
            EXPECT_EQ(names(called[i]), names(sent[i]));
            EXPECT_EQ(get(called[i], "message"), get(sent[i], "message"));
            EXPECT_EQ(get(called[i], "time"), get(sent[i], "time"));
        }
    }
    EXPECT_EQ("debug", get(sent[0], "level"));
    // Once after the hand-over and once for each record written since.
    EXPECT_EQ("3", output("flushes"));
}

}  // namespace
