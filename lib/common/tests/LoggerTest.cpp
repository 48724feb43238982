#include <gtest/gtest.h>

#include <algorithm>
#include <clocale>
#include <cstdint>
#include <regex>
#include <thread>

#include <boost/filesystem.hpp>

#include "common/logging/Logger.h"
#include "common/logging/StructuredRecord.h"
#include "support/LogCapture.h"
#include "support/TempDir.h"

using namespace common;
using testsupport::readFile;
using testsupport::splitLines;

namespace {

constexpr const char* kProgram = "/x/y/Installer.app/Contents/MacOS/Installer";

class LoggerTest : public ::testing::Test {
protected:
    void initInto(const std::vector<LogSinkType>& sinks, const std::string& name = "Test") {
        Logger::setLogFolder(folder_.path());
        Logger::init(name, kProgram, helper::ApplicationType::UnattendedUpdater, sinks);
    }
    std::vector<std::string> lines(const char* file) {
        return splitLines(readFile(folder_.file(file)));
    }
    // The first line holding `part` (-1 for none), and how many do.
    static auto holding(const std::string& part) {
        return [&part](const std::string& line) { return line.find(part) != std::string::npos; };
    }
    static long indexOf(const std::vector<std::string>& lines, const std::string& part) {
        const auto at = std::find_if(lines.begin(), lines.end(), holding(part));
        return at == lines.end() ? -1 : at - lines.begin();
    }
    static int countOf(const std::vector<std::string>& lines, const std::string& part) {
        return static_cast<int>(std::count_if(lines.begin(), lines.end(), holding(part)));
    }

    testsupport::TempDir folder_;
};

TEST_F(LoggerTest, OnlyTheLastThousandEarlyRecordsAreWrittenBetweenBacktraceLines) {
    testsupport::runScenario([&] {
        auto early = createLogger("Early");
        for (int i = 0; i < 1500; ++i) {
            early->info("early %d.", i);
        }
        early->error("%s", "{still not json");
        initInto({logsink::rotatingFile}, "UnattendedInstaller");
        early->info("after init");
    });
    const auto text = lines("Installer.log");
    const long start = indexOf(text, "Backtrace Start");
    const long end = indexOf(text, "Backtrace End");
    const long report = indexOf(text, "[UnattendedInstaller] Add 1 sinks to logger.");
    ASSERT_GE(start, 0);
    EXPECT_LT(start, indexOf(text, "early 501."));
    EXPECT_LT(indexOf(text, "early 1499."), end);
    EXPECT_LT(end, report);
    EXPECT_EQ(-1, indexOf(text, "early 500."));
    EXPECT_EQ(999, countOf(text, "] early "));
    EXPECT_GE(indexOf(text, "Unable to convert json: {still not json"), 0);
    EXPECT_GT(indexOf(text, "[info] [Early] after init"), report);
}

// One run of records of every kind, read back from the text and CSV files.
TEST_F(LoggerTest, RecordsAreWrittenSanitisedMaskedAndOneLineEach) {
    const std::string deep = std::string(10000, '[') + std::string(10000, ']');
    testsupport::runScenario([&] {
        std::setlocale(LC_ALL, "C");
        initInto({logsink::rotatingFile, logsink::rotatingCsv});
        auto channel = createLogger("Chan");
        channel->debug("a debug record");
        channel->info("%s", "path\\to\\file");
        channel->info("%s", "two {\"sensitive\":\"one\"} and {\"sensitive\":\"two\"} end");
        channel->info("%s", R"({"tag":"login","sensitive":{"pw":"hunter3"}})");
        channel->log(loglevel::info, StructuredRecord{"t", {{"n", 5u}, {"s", std::string("x")}}});
        channel->info("wide: %S", L"h\u00e9llo \u20ac \U0001F600");
        const wchar_t invalid[] = {static_cast<wchar_t>(0xD800), 0};
        channel->info("bad wide %S here", invalid);
        channel->info("url: %s",
                      "http://h/a\r\n[2020-01-01] [1] [1] [info] [Forged] x\x1b[2J\tend");
        channel->info("nel: %s", "a\xc2\x85" "b\x7f");
        channel->info("csi: %s", "\xc2\x9b[2J");
        channel->info("c1 ends: %s", "\xc2\x80" "a\xc2\x9f" "b\xc2\xa0" "c\xc2\x7f");
        channel->info("nbsp: %s", "a\xc2\xa0" "b\xc2");
        channel->info("%s", std::string(20000, 'a').c_str());
        channel->info("{\"a\":%s}", deep.c_str());
        channel->info("%s", "{oops");
        channel->warn("last record");
    });
    const auto text = lines("Installer.log");
    const auto csv = lines("Installer.csv");
    const std::pair<const char*, int> expectations[] = {
        {"] [Chan] pathtofile", 1},
        {"] [Chan] two ***} and ***} end", 1},
        {"] [Chan] tag=login, sensitive=\"***\"", 1},
        {"] [Chan] tag=t, n=\"5\", s=\"x\"", 1},
        {"] [Chan] wide: h\xc3\xa9llo \xe2\x82\xac \xf0\x9f\x98\x80", 1},
        {"] [Chan] bad wide \xef\xbf\xbd here", 1},
        {"] [Chan] url: http://h/a\\r\\n[2020-01-01] [1] [1] [info] [Forged] x\\x1b[2J\\tend", 1},
        {"] [Chan] nel: a\\u0085b\\x7f", 1},
        {"] [Chan] csi: \\u009b[2J", 1},
        {"] [Chan] c1 ends: \\u0080a\\u009fb\xc2\xa0" "c\xc2\\x7f", 1},
        {"] [Chan] nbsp: a\xc2\xa0" "b\xc2", 1},
        {"] [Chan] {oops", 1},
        {"[json_deserialize] Unable to convert json: {oops, error: ", 1},
        {"[json_deserialize] Unable to convert json: {\"a\":[[[", 1},
        {"hunter", 0},
        {"a debug record", 0},
        {"[Forged]", 1},
    };
    for (const auto& [part, count] : expectations) {
        EXPECT_EQ(count, countOf(text, part)) << part;
    }
    const std::regex textLine(
        R"(^\[\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\.\d{3}\] \[\d+\] \[\d+\] \[warning\] \[Chan\] last record$)");
    const std::regex csvLine(
        R"(^\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\.\d{3};warning;;Chan;;;last record$)");
    ASSERT_FALSE(text.empty());
    ASSERT_FALSE(csv.empty());
    EXPECT_TRUE(std::regex_match(text.back(), textLine)) << text.back();
    EXPECT_TRUE(std::regex_match(csv.back(), csvLine)) << csv.back();
    EXPECT_EQ(1, countOf(csv, ";debug;;Chan;;;a debug record"));
    EXPECT_EQ(1, countOf(csv, ";;;url: http://h/a\\r\\n[2020"));
    const long longLine = indexOf(text, "aaaa");
    ASSERT_GE(longLine, 0);
    EXPECT_EQ(16383u, text[longLine].size() - (text[longLine].find("[Chan] ") + 7));
}

TEST_F(LoggerTest, SecondInitAndUnknownSinkAddNothing) {
    testsupport::runScenario([&] {
        initInto({logsink::rotatingFile, 7});
        Logger::init("Other", "/elsewhere/Other", helper::ApplicationType::None,
                     {logsink::rotatingCsv, logsink::localSocket, logsink::callback});
        createLogger("Chan")->info("still here");
        if (Logger::attachLogSender(nullptr) || Logger::attachLogCallback(nullptr)) {
            std::_Exit(3);  // no such sinks were made
        }
    });
    const auto text = lines("Installer.log");
    EXPECT_GE(indexOf(text, "] Add 1 sinks to logger."), 0);
    EXPECT_GE(indexOf(text, "[warning] [Test] Logger has already initialized"), 0);
    EXPECT_GE(indexOf(text, "[Chan] still here"), 0);
    EXPECT_FALSE(boost::filesystem::exists(folder_.file("Installer.csv")));
    EXPECT_FALSE(boost::filesystem::exists(folder_.file("Other.csv")));
}

TEST_F(LoggerTest, FailedFileSinkIsReportedAndOtherSinksStay) {
    boost::filesystem::create_directory(folder_.file("Installer.log"));
    testsupport::runScenario([&] {
        initInto({logsink::rotatingFile, logsink::rotatingCsv});
        createLogger("Chan")->info("written to csv");
    });
    const auto csv = lines("Installer.csv");
    EXPECT_GE(indexOf(csv, "File logger init failed: "), 0);
    EXPECT_GE(indexOf(csv, "Add 1 sinks to logger."), 0);
    EXPECT_GE(indexOf(csv, "written to csv"), 0);
}

TEST_F(LoggerTest, RotationKeepsTheConfiguredNumberOfFiles) {
    testsupport::runScenario([&] {
        Logger::setFileRotation(4096, 3);
        initInto({logsink::rotatingFile});
        auto channel = createLogger("Chan");
        const std::string payload(200, 'r');
        for (int i = 0; i < 400; ++i) {
            channel->info("%d %s", i, payload.c_str());
        }
    });
    for (const char* name : {"Installer.log", "Installer.1.log", "Installer.2.log"}) {
        EXPECT_LE(boost::filesystem::file_size(folder_.file(name)), 4096u) << name;
    }
    EXPECT_TRUE(boost::filesystem::exists(folder_.file("Installer.3.log")));
    EXPECT_FALSE(boost::filesystem::exists(folder_.file("Installer.4.log")));
    EXPECT_GE(indexOf(lines("Installer.log"), "] 399 rrr"), 0);
}

// Records below every sink's level are dropped before they are formatted:
// their arguments are never read (reading this one would crash the
// scenario). Before init every record is kept for the backtrace.
TEST_F(LoggerTest, OnlyRecordsThatASinkWritesAreFormatted) {
    const auto* unreadable = reinterpret_cast<const char*>(std::uintptr_t{8});
    const std::pair<std::vector<LogSinkType>, LogLevel> setups[] = {
        {{logsink::rotatingFile}, loglevel::info},
        {{logsink::rotatingFile, logsink::rotatingCsv}, loglevel::trace},
        {{logsink::localSocket}, loglevel::debug},
        {{7}, loglevel::off},
    };
    for (const auto& [sinks, lowest] : setups) {
        testsupport::runScenario([&, sinks = sinks, lowest = lowest] {
            auto channel = createLogger("Chan");
            if (!Logger::writes(loglevel::trace)) {
                std::_Exit(3);  // the early backtrace keeps every level
            }
            channel->debug("early %s", "debug");
            initInto(sinks);
            for (LogLevel level = loglevel::trace; level <= loglevel::critical; ++level) {
                if (Logger::writes(level) != (level >= lowest)) {
                    std::_Exit(4);
                }
            }
            if (lowest > loglevel::trace) {
                channel->trace("never read: %s", unreadable);
            }
            channel->info("after %s", "init");
        });
        ASSERT_FALSE(HasFailure()) << "lowest sink level " << lowest;
    }
    // The second setup's CSV file got the early debug record (early records
    // carry the early logger's name).
    EXPECT_GE(indexOf(lines("Installer.csv"), ";debug;;GlobalLogger;;;early debug"), 0);
    EXPECT_GE(indexOf(lines("Installer.log"), "[info] [Chan] after init"), 0);
}

// A program that names the level its sinks will write from (or off, when it
// never sets logging up) keeps only the early records at that level and up:
// those below it are dropped unformatted (reading this argument would crash
// the scenario), and `init` writes out the rest. Once `init` has run the
// sinks alone decide.
TEST_F(LoggerTest, EarlyRecordsBelowTheEarlyLevelAreDroppedUnformatted) {
    const auto* unreadable = reinterpret_cast<const char*>(std::uintptr_t{8});
    const struct {
        LogLevel early;
        std::string csv;  // the CSV file's name for this setup
    } setups[] = {{loglevel::info, "Info"}, {loglevel::off, "Off"}, {loglevel::trace, "Trace"}};
    for (const auto& setup : setups) {
        testsupport::runScenario([&] {
            Logger::setEarlyLevel(setup.early);
            auto channel = createLogger("Chan");
            for (LogLevel level = loglevel::trace; level <= loglevel::critical; ++level) {
                if (Logger::writes(level) != (level >= setup.early)) {
                    std::_Exit(3);
                }
            }
            if (setup.early > loglevel::debug) {
                channel->debug("never read: %s", unreadable);
                channel->log(loglevel::debug, StructuredRecord{"never", {}});
            }
            channel->debug("early %s", "debug");
            channel->warn("early %s", "warning");
            Logger::setLogFolder(folder_.path());
            Logger::init("Test", "/x/" + setup.csv, helper::ApplicationType::None,
                         {logsink::rotatingCsv});
            Logger::setEarlyLevel(loglevel::off);
            if (!Logger::writes(loglevel::trace)) {
                std::_Exit(4);
            }
            channel->trace("after %s", "init");
        });
        ASSERT_FALSE(HasFailure()) << "early level " << setup.early;
        const auto csv = lines((setup.csv + ".csv").c_str());
        EXPECT_EQ(setup.early <= loglevel::debug, indexOf(csv, ";debug;;GlobalLogger;;;early debug") >= 0)
            << "early level " << setup.early;
        EXPECT_EQ(setup.early <= loglevel::warn, indexOf(csv, ";warning;;GlobalLogger;;;early warning") >= 0)
            << "early level " << setup.early;
        EXPECT_EQ(-1, indexOf(csv, "never")) << "early level " << setup.early;
        EXPECT_GE(indexOf(csv, ";trace;;Chan;;;after init"), 0) << "early level " << setup.early;
    }
}

TEST_F(LoggerTest, ThrottledTextsAreWrittenOncePerIntervalAndForgotten) {
    testsupport::runScenario([&] {
        auto before = createLogger("Chan");
        if (before->level() != loglevel::off) {
            std::_Exit(4);
        }
        initInto({logsink::rotatingFile});
        if (before->level() != loglevel::trace) {
            std::_Exit(5);
        }
        Logger channel("Chan");
        const std::chrono::milliseconds interval(300);
        channel.logThrottled(interval, loglevel::info, "repeated");
        channel.logThrottled(interval, loglevel::info, "repeated");
        channel.logThrottled(interval, loglevel::info, "other");
        std::this_thread::sleep_for(std::chrono::milliseconds(350));
        channel.logThrottled(interval, loglevel::info, "repeated");
        for (int i = 0; i < 5000; ++i) {
            channel.logThrottled(std::chrono::milliseconds(0), loglevel::trace,
                                 "text " + std::to_string(i));
            if (i % 500 == 0) {
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
            }
        }
        if (channel.throttleTableSize() > 1100) {
            std::_Exit(3);
        }
    });
    const auto text = lines("Installer.log");
    EXPECT_EQ(2, countOf(text, "] repeated"));
    EXPECT_EQ(1, countOf(text, "] other"));
}

}  // namespace
