#include <gtest/gtest.h>

#include <unistd.h>
#include <clocale>
#include <regex>
#include <thread>

#include <boost/filesystem.hpp>

#include "common/logging/Logger.h"
#include "common/logging/StructuredRecord.h"
#include "support/ChildProcess.h"
#include "support/Scenario.h"
#include "support/TempDir.h"

using namespace common;
using testsupport::readFile;
using testsupport::runInChild;
using testsupport::splitLines;

namespace {

constexpr const char* kProgram = "/x/y/Installer.app/Contents/MacOS/Installer";

class LoggerTest : public ::testing::Test {
protected:
    static void runScenario(const std::function<void()>& scenario) {
        testsupport::runScenario(scenario);
    }

    void initInto(const std::vector<LogSinkType>& sinks, const std::string& name = "Test") {
        Logger::setLogFolder(folder_.path());
        Logger::init(name, kProgram, helper::ApplicationType::UnattendedUpdater, sinks);
    }

    std::vector<std::string> textLines() {
        return splitLines(readFile(folder_.file("Installer.log")));
    }
    std::vector<std::string> csvLines() {
        return splitLines(readFile(folder_.file("Installer.csv")));
    }

    static bool containsLine(const std::vector<std::string>& lines, const std::string& part) {
        for (const auto& line : lines) {
            if (line.find(part) != std::string::npos) {
                return true;
            }
        }
        return false;
    }

    static long indexOf(const std::vector<std::string>& lines, const std::string& part) {
        for (std::size_t i = 0; i < lines.size(); ++i) {
            if (lines[i].find(part) != std::string::npos) {
                return static_cast<long>(i);
            }
        }
        return -1;
    }

    testsupport::TempDir folder_;
};

TEST_F(LoggerTest, RecordsBeforeInitAreWrittenBetweenBacktraceLinesBeforeSinkReport) {
    runScenario([&] {
        auto early = createLogger("Early");
        early->info("kept from before init %d", 42);
        early->debug("below the text sink's level");
        initInto({logsink::rotatingFile}, "UnattendedInstaller");
        early->info("after init");
    });
    const auto lines = textLines();
    const long start = indexOf(lines, "Backtrace Start");
    const long record = indexOf(lines, "kept from before init 42");
    const long end = indexOf(lines, "Backtrace End");
    const long report = indexOf(lines, "Add 1 sinks to logger.");
    ASSERT_GE(start, 0);
    EXPECT_LT(start, record);
    EXPECT_LT(record, end);
    EXPECT_LT(end, report);
    EXPECT_NE(std::string::npos,
              lines[report].find("[UnattendedInstaller] Add 1 sinks to logger."));
    EXPECT_FALSE(containsLine(lines, "below the text sink's level"));
    // After init the early channel writes under its own name.
    const long after = indexOf(lines, "after init");
    ASSERT_GT(after, report);
    EXPECT_NE(std::string::npos, lines[after].find("[info] [Early] after init"));
}

TEST_F(LoggerTest, OnlyTheLastThousandEarlyRecordsAreKept) {
    runScenario([&] {
        auto early = createLogger("Early");
        for (int i = 0; i < 1500; ++i) {
            early->info("early %d.", i);
        }
        initInto({logsink::rotatingFile});
    });
    const auto lines = textLines();
    EXPECT_FALSE(containsLine(lines, "early 499."));
    EXPECT_TRUE(containsLine(lines, "early 500."));
    EXPECT_TRUE(containsLine(lines, "early 1499."));
    int count = 0;
    for (const auto& line : lines) {
        count += line.find("early ") != std::string::npos ? 1 : 0;
    }
    EXPECT_EQ(1000, count);
}

TEST_F(LoggerTest, TextLinesFollowThePatternAndFileIsNamedAfterTheProgramStem) {
    runScenario([&] {
        initInto({logsink::rotatingFile});
        createLogger("Params")->info("hello");
    });
    ASSERT_TRUE(boost::filesystem::exists(folder_.file("Installer.log")));
    const auto lines = textLines();
    const long at = indexOf(lines, "hello");
    ASSERT_GE(at, 0);
    const std::regex pattern(
        R"(^\[\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\.\d{3}\] \[\d+\] \[\d+\] \[info\] \[Params\] hello$)");
    EXPECT_TRUE(std::regex_match(lines[at], pattern)) << lines[at];
}

TEST_F(LoggerTest, DebugGoesToCsvButNotToTheTextFile) {
    runScenario([&] {
        initInto({logsink::rotatingFile, logsink::rotatingCsv});
        auto channel = createLogger("Chan");
        channel->debug("a debug record");
        channel->trace("a trace record");
        channel->warn("a warning record");
    });
    const auto text = textLines();
    const auto csv = csvLines();
    EXPECT_FALSE(containsLine(text, "a debug record"));
    EXPECT_TRUE(containsLine(text, "[warning] [Chan] a warning record"));
    EXPECT_TRUE(containsLine(csv, ";debug;;Chan;;;a debug record"));
    EXPECT_TRUE(containsLine(csv, ";trace;;Chan;;;a trace record"));
    const std::regex pattern(
        R"(^\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\.\d{3};warning;;Chan;;;a warning record$)");
    const long at = indexOf(csv, "a warning record");
    ASSERT_GE(at, 0);
    EXPECT_TRUE(std::regex_match(csv[at], pattern)) << csv[at];
    EXPECT_TRUE(containsLine(text, "Add 2 sinks to logger."));
}

TEST_F(LoggerTest, MessagesAreSanitisedAndStructuredRecordsRendered) {
    runScenario([&] {
        initInto({logsink::rotatingFile, logsink::rotatingCsv});
        auto channel = createLogger("Chan");
        channel->info("%s", "path\\to\\file");
        channel->info("%s", "user={\"sensitive\":\"abc\"} ok");
        channel->info("%s", "two {\"sensitive\":\"one\"} and {\"sensitive\":\"two\"} end");
        StructuredRecord record{"t", {{"n", 5u}, {"s", std::string("x")}}};
        channel->log(loglevel::info, record);
    });
    for (const auto& lines : {textLines(), csvLines()}) {
        EXPECT_TRUE(containsLine(lines, "pathtofile"));
        EXPECT_TRUE(containsLine(lines, "user=***} ok"));
        EXPECT_TRUE(containsLine(lines, "two ***} and ***} end"));
        EXPECT_TRUE(containsLine(lines, "tag=t, n=\"5\", s=\"x\""));
        EXPECT_FALSE(containsLine(lines, "abc"));
    }
}

TEST_F(LoggerTest, FormattedMessagesAreCutAt16383Characters) {
    runScenario([&] {
        initInto({logsink::rotatingFile});
        const std::string longText(20000, 'a');
        createLogger("Chan")->info("%s", longText.c_str());
    });
    const auto lines = textLines();
    const long at = indexOf(lines, "aaaa");
    ASSERT_GE(at, 0);
    const auto start = lines[at].find("[Chan] ") + 7;
    EXPECT_EQ(16383u, lines[at].size() - start);
}

TEST_F(LoggerTest, SecondInitWarnsAndChangesNothing) {
    runScenario([&] {
        initInto({logsink::rotatingFile});
        Logger::init("Other", "/elsewhere/Other", helper::ApplicationType::None,
                     {logsink::rotatingCsv});
        createLogger("Chan")->info("still here");
    });
    const auto lines = textLines();
    EXPECT_TRUE(containsLine(lines, "[warning] [Test] Logger has already initialized"));
    EXPECT_TRUE(containsLine(lines, "[Chan] still here"));
    EXPECT_FALSE(boost::filesystem::exists(folder_.file("Installer.csv")));
    EXPECT_FALSE(boost::filesystem::exists(folder_.file("Other.csv")));
}

TEST_F(LoggerTest, UnknownSinkKindIsSkippedWithoutReport) {
    runScenario([&] { initInto({logsink::rotatingFile, 7}); });
    const auto lines = textLines();
    const long report = indexOf(lines, "sinks to logger.");
    ASSERT_GE(report, 0);
    EXPECT_NE(std::string::npos, lines[report].find("] Add 1 sinks to logger."));
}

TEST_F(LoggerTest, FailedFileSinkIsReportedAndOtherSinksStay) {
    // A folder where the text file should be makes that sink fail.
    boost::filesystem::create_directory(folder_.file("Installer.log"));
    runScenario([&] {
        initInto({logsink::rotatingFile, logsink::rotatingCsv});
        createLogger("Chan")->info("written to csv");
    });
    const auto csv = csvLines();
    const long report = indexOf(csv, "File logger init failed: ");
    ASSERT_GE(report, 0);
    EXPECT_TRUE(containsLine(csv, "Add 1 sinks to logger."));
    EXPECT_TRUE(containsLine(csv, "written to csv"));
}

TEST_F(LoggerTest, RotationKeepsTheConfiguredNumberOfFiles) {
    runScenario([&] {
        Logger::setFileRotation(4096, 3);
        initInto({logsink::rotatingFile});
        auto channel = createLogger("Chan");
        const std::string payload(200, 'r');
        for (int i = 0; i < 400; ++i) {
            channel->info("%d %s", i, payload.c_str());
        }
    });
    EXPECT_TRUE(boost::filesystem::exists(folder_.file("Installer.log")));
    EXPECT_TRUE(boost::filesystem::exists(folder_.file("Installer.1.log")));
    EXPECT_TRUE(boost::filesystem::exists(folder_.file("Installer.3.log")));
    EXPECT_FALSE(boost::filesystem::exists(folder_.file("Installer.4.log")));
    for (const char* name : {"Installer.log", "Installer.1.log", "Installer.2.log"}) {
        EXPECT_LE(boost::filesystem::file_size(folder_.file(name)), 4096u) << name;
    }
    // The newest record is in the current file.
    EXPECT_TRUE(containsLine(textLines(), "] 399 rrr"));
}

TEST_F(LoggerTest, InvalidJsonMessageIsReportedWithoutDeadlock) {
    runScenario([&] {
        initInto({logsink::rotatingFile, logsink::rotatingCsv});
        createLogger("Chan")->info("%s", "{oops");
        createLogger("Chan")->info("after the bad record");
    });
    for (const auto& lines : {textLines(), csvLines()}) {
        const long record = indexOf(lines, "{oops");
        const long report = indexOf(lines, "Unable to convert json: {oops, error: ");
        ASSERT_GE(record, 0);
        ASSERT_GE(report, 0);
        EXPECT_NE(std::string::npos, lines[report].find("json_deserialize"));
        EXPECT_LT(record, report);
        EXPECT_TRUE(containsLine(lines, "after the bad record"));
    }
    // Reported once, though two sinks formatted the record.
    int reports = 0;
    for (const auto& line : textLines()) {
        reports += line.find("Unable to convert json") != std::string::npos ? 1 : 0;
    }
    EXPECT_EQ(1, reports);
}

TEST_F(LoggerTest, InvalidJsonBeforeInitDoesNotDeadlockInit) {
    runScenario([&] {
        createLogger("Early")->error("%s", "{still not json");
        initInto({logsink::rotatingFile});
    });
    const auto lines = textLines();
    EXPECT_TRUE(containsLine(lines, "{still not json"));
    EXPECT_TRUE(containsLine(lines, "Unable to convert json: {still not json"));
}

TEST_F(LoggerTest, FieldNamedSensitiveIsMaskedInTextAndCsv) {
    runScenario([&] {
        initInto({logsink::rotatingFile, logsink::rotatingCsv});
        createLogger("Chan")->info("%s", R"({"sensitive":"hunter2"})");
        createLogger("Chan")->info("%s", R"({"tag":"login","sensitive":{"pw":"hunter3"}})");
        StructuredRecord record{"creds", {{"sensitive", std::string("hunter4")}}};
        createLogger("Chan")->log(loglevel::info, record);
    });
    for (const auto& lines : {textLines(), csvLines()}) {
        EXPECT_FALSE(containsLine(lines, "hunter")) << "a secret reached the log";
        EXPECT_TRUE(containsLine(lines, "tag=, sensitive=\"***\""));
        EXPECT_TRUE(containsLine(lines, "tag=login, sensitive=\"***\""));
        EXPECT_TRUE(containsLine(lines, "tag=creds, sensitive=\"***\""));
    }
}

TEST_F(LoggerTest, WideStringsFormatInTheCLocale) {
    runScenario([&] {
        std::setlocale(LC_ALL, "C");
        initInto({logsink::rotatingFile});
        auto channel = createLogger("Chan");
        channel->info("wide: %S", L"h\u00e9llo \u20ac \U0001F600");
        channel->info("narrow %d and wide %ls", 7, L"\u00fc");
    });
    const auto lines = textLines();
    EXPECT_TRUE(containsLine(lines, "wide: h\xc3\xa9llo \xe2\x82\xac \xf0\x9f\x98\x80"));
    EXPECT_TRUE(containsLine(lines, "narrow 7 and wide \xc3\xbc"));
}

TEST_F(LoggerTest, UnformattableArgumentsLogTheFormatString) {
    runScenario([&] {
        initInto({logsink::rotatingFile});
        const wchar_t invalid[] = {static_cast<wchar_t>(0xD800), 0};
        createLogger("Chan")->info("bad wide %S here", invalid);
    });
    EXPECT_TRUE(containsLine(textLines(), "[Chan] bad wide %S here"));
}

TEST_F(LoggerTest, ThrottledTextsAreWrittenOncePerInterval) {
    runScenario([&] {
        initInto({logsink::rotatingFile});
        auto channel = createLogger("Chan");
        const std::chrono::milliseconds interval(300);
        channel->logThrottled(interval, loglevel::info, "repeated");
        channel->logThrottled(interval, loglevel::info, "repeated");
        channel->logThrottled(interval, loglevel::info, "other");
        std::this_thread::sleep_for(std::chrono::milliseconds(350));
        channel->logThrottled(interval, loglevel::info, "repeated");
    });
    int repeated = 0, other = 0;
    for (const auto& line : textLines()) {
        repeated += line.ends_with("] repeated") ? 1 : 0;
        other += line.ends_with("] other") ? 1 : 0;
    }
    EXPECT_EQ(2, repeated);
    EXPECT_EQ(1, other);
}

TEST_F(LoggerTest, ThrottleTableForgetsExpiredTexts) {
    runScenario([&] {
        initInto({});
        Logger channel("Chan");
        for (int i = 0; i < 5000; ++i) {
            channel.logThrottled(std::chrono::milliseconds(0), loglevel::info,
                                 "text " + std::to_string(i));
            if (i % 500 == 0) {
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
            }
        }
        if (channel.throttleTableSize() > 1100) {
            std::_Exit(3);
        }
    });
}

TEST_F(LoggerTest, LevelIsOffBeforeInitAndTraceAfter) {
    runScenario([&] {
        auto channel = createLogger("Chan");
        if (channel->level() != loglevel::off) {
            std::_Exit(4);
        }
        initInto({});
        if (channel->level() != loglevel::trace ||
            createLogger("New")->level() != loglevel::trace) {
            std::_Exit(5);
        }
    });
}

}  // namespace
