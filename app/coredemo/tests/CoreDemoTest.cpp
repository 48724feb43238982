#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <boost/filesystem.hpp>

#include "support/ChildProcess.h"
#include "support/TempDir.h"

namespace {

// The output and status of runs without a desktop session. The unelevated
// role needs root here (else the elevation asks for a password), and so
// does starting a copy as "nobody", who has no way to elevate.
TEST(CoreDemoTest, EachRoleReportsTheCodeItWasGiven) {
    testsupport::TempDir folder;
    const std::string copy = folder.file("coredemo");
    boost::filesystem::copy_file(COREDEMO_PATH, copy);
    ::chmod(folder.path().c_str(), 0755);
    ::chmod(copy.c_str(), 0755);
    const std::vector<std::string> asNobody = {"/usr/bin/setpriv",
                                               "--reuid=65534",
                                               "--regid=65534",
                                               "--clear-groups",
                                               "--",
                                               copy,
                                               "-ExitCode",
                                               "7"};
    const struct {
        std::vector<std::string> argv;
        int status;
        std::string output;
        bool needsRoot;
    } runs[] = {
        {{COREDEMO_PATH, "-Elevated", "-ExitCode", "5"}, 5, "<exitcode>5</exitcode>\n", false},
        {{COREDEMO_PATH}, 64, "", false},
        {{COREDEMO_PATH, "-ExitCode", "7"},
         7,
         "elevated run answered 7\n<exitcode>7</exitcode>\n",
         true},
        {{COREDEMO_PATH, "-ExitCode", "0"},
         0,
         "elevated run answered 0\n<exitcode>0</exitcode>\n",
         true},
        {asNobody, 1, "elevated run answered -60005\n<exitcode>1</exitcode>\n", true},
    };
    for (const auto& run : runs) {
        if (run.needsRoot && ::geteuid() != 0) {
            continue;
        }
        testsupport::CommandOptions options;
        options.environment = {"DISPLAY", "WAYLAND_DISPLAY"};
        options.workingDirectory = folder.path();
        const auto result = testsupport::runCommand(run.argv, options);
        std::string output;  // without the elevated copy's line naming its user
        for (const auto& line : testsupport::splitLines(result.output)) {
            output += line.starts_with("elevated copy running as user ") ? "" : line + "\n";
        }
        EXPECT_EQ(run.status, result.exitCode)
            << run.argv[0] << " " << run.argv.back() << result.errors;
        EXPECT_EQ(run.output, output) << run.argv[0] << " " << run.argv.back() << result.errors;
    }
}

// A wrong command line is refused with its reason and status 64 before
// anything is relaunched: no number after -ExitCode is one, whatever follows.
TEST(CoreDemoTest, WrongCommandLinesAreRefusedBeforeAnyRelaunch) {
    testsupport::TempDir folder;
    const struct {
        std::vector<std::string> arguments;
        std::string reason;
    } cases[] = {
        {{"-ExitCode"}, "-ExitCode needs a whole number from 0 to 255"},
        {{"-Elevated", "-ExitCode"}, "-ExitCode needs a whole number from 0 to 255"},
        {{"-ExitCode", "-Elevated"},
         "-ExitCode must be a whole number from 0 to 255, not '-Elevated'"},
        {{"-exitcode", "-5"}, "-ExitCode must be a whole number from 0 to 255, not '-5'"},
        {{"-ExitCode", "300"}, "-ExitCode must be a whole number from 0 to 255, not '300'"},
        {{"-ExitCode", ""}, "-ExitCode must be a whole number from 0 to 255, not ''"},
        {{"-ExitCode", "1", "-ExitCode", "2"}, "-ExitCode given twice"},
        {{"-Elevated", "0", "-ExitCode", "3"}, "-Elevated takes no value, not '0'"},
        {{"-Elevated", "-Elevated", "-ExitCode", "3"}, "-Elevated given twice"},
        {{"-ExitCode", "3", "extra"}, "unknown argument 'extra'"},
        {{"--ExitCode", "3"}, "unknown argument '--ExitCode'"},
        {{"-Elevated"}, "no -ExitCode"},
    };
    for (const auto& c : cases) {
        std::vector<std::string> argv = {COREDEMO_PATH};
        argv.insert(argv.end(), c.arguments.begin(), c.arguments.end());
        testsupport::CommandOptions options;
        options.environment = {"DISPLAY", "WAYLAND_DISPLAY"};
        options.workingDirectory = folder.path();
        const auto result = testsupport::runCommand(argv, options);
        std::string what;
        for (const auto& argument : c.arguments) {
            what += " '" + argument + "'";
        }
        EXPECT_EQ(64, result.exitCode) << what << "\n" << result.output << result.errors;
        EXPECT_EQ("", result.output) << what;
        const auto lines = testsupport::splitLines(result.errors);
        ASSERT_FALSE(lines.empty()) << what;
        EXPECT_EQ("coredemo: " + c.reason, lines.front()) << what;
    }
}

}  // namespace
