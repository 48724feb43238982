#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <map>
#include <sstream>

#include "support/ChildProcess.h"
#include "support/ScriptServer.h"
#include "support/TempDir.h"

using namespace testsupport;

// Rows: exit code|command line ("@": the server, names: temporary files, "%fsize": run with a
// file size limit of 0 and SIGXFSZ ignored, "%full", "%closed", "%gone": standard output on
// /dev/full, closed, or a pipe whose reader has gone with SIGPIPE at its default action,
// "%nproc": as another user allowed one process, so that no thread starts)|a part of the errors.
// A failed -o leaves an existing FILE as it was and nothing beside it. The home folder, without
// a credential storage, is left without one.
TEST(QtpGetTest, ExitsWithTheQueryOutcome) {
    TempDir tmp{"quorvane-qtp-get"};
    ScriptServer web(testSupportDirectory() + "/http_test_server.py", {"--journal", "/dev/null"});
    const auto at = "http://127.0.0.1:" + std::to_string(web.readyNumber("http").value_or(0));
    CommandOptions clean;
    clean.environment = {"http_proxy=", "all_proxy=", "auto_proxy=", "HOME=" + tmp.path()};
    const std::string nul("abc\0def", 7);
    const std::map<std::string, std::vector<std::string>> wrappers = {
        {"%fsize", {"/bin/sh", "-c", "trap '' XFSZ; ulimit -f 0; exec \"$0\" \"$@\""}},
        {"%full", {"/bin/sh", "-c", "exec \"$0\" \"$@\" >/dev/full"}},
        {"%closed", {"/bin/sh", "-c", "exec \"$0\" \"$@\" >&-"}},
        // The pipe's reading end is closed before the program starts: no reader, ever.
        {"%gone",
         {"/usr/bin/python3", "-c",
          "import os, signal, sys\nsignal.signal(signal.SIGPIPE, signal.SIG_DFL)\n"
          "r, w = os.pipe()\nos.close(r)\nos.dup2(w, 1)\nos.execv(sys.argv[1], sys.argv[1:])"}},
        // Root is not held to a limit of processes.
        {"%nproc",
         {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups",
          "/usr/bin/prlimit", "--nproc=1"}},
    };
    // Whether that other user can run the program where it was built.
    std::string nobodyReason;
    if (::geteuid() != 0) {
        nobodyReason = "needs root, to run as user 65534";
    } else if (runCommand({"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups",
                           "/usr/bin/test", "-x", QTP_GET_PATH})
                   .exitCode != 0) {
        nobodyReason = "user 65534 cannot run " + std::string(QTP_GET_PATH);
    }
    const bool nobodyRuns = nobodyReason.empty();
    for (const std::string row :
         {"0|@/redirect/302?to=/nul|", "0|@/nul -o copy|",
          "64||usage:", "21|@/x|ContentNotFoundError (error 21, HTTP status 404)",
          "32|@/status/503|", "19|@/nul -o no/dir|cannot write /",
          "64|-o|usage:", "64|@ @|usage:", "21|@/x -o copy|", "0|@/nul -o /dev/null|",
          "19|@/nul -o /dev/full|cannot write /dev/full: No space left on device",
          "19|%fsize @/nul -o big|big: File too large",
          "27|file:///etc/hostname -o copy|ProtocolUnknownError (error 27)",
          "74|%full @/nul|cannot write standard output: No space left on device",
          "74|%closed @/nul|cannot write standard output: Bad file descriptor",
          "74|%gone @/nul|cannot write standard output: Broken pipe",
          "0|%full @/status/204|", "0|@/status/204|", "0|@/status/204 -o copy|",
          "29|@/status/300|ProtocolFailure (error 29, HTTP status 300)",
          "29|@/status/300 -o copy|HTTP 300 carries no resource, and it was not followed",
          "29|@/status/304 -o copy|(error 29, HTTP status 304)",
          "29|@/status/101|(error 29, HTTP status 101)",
          "12|%nproc @/nul|UnknownNetworkError (error 12): the Qt thread could not be started"}) {
        std::string rc, cmd, err, w;
        std::getline(std::getline(std::getline(std::istringstream(row), rc, '|'), cmd, '|'), err);
        std::vector<std::string> argv{QTP_GET_PATH};
        CommandOptions options = clean;
        for (std::istringstream words(cmd); words >> w;) {
            if (const auto wrapper = wrappers.find(w); wrapper != wrappers.end())
                argv.insert(argv.begin(), wrapper->second.begin(), wrapper->second.end());
            else
                argv.push_back(w[0] == '@' ? at + w.substr(1)
                               : w[0] == '-' || w[0] == '/' || w.find(':') != w.npos ? w
                                                                                     : tmp.file(w));
        }
        if (cmd.find("%nproc") != cmd.npos) {
            if (!nobodyRuns) {
                std::cout << "[  SKIPPED ] " << row << ": " << nobodyReason << "\n";
                continue;
            }
            // The leak checker of a sanitized build needs a process of its own at the end.
            const char* sanitizer = std::getenv("ASAN_OPTIONS");
            options.environment.push_back(std::string("ASAN_OPTIONS=") +
                                          (sanitizer ? std::string(sanitizer) + ":" : "") +
                                          "detect_leaks=0");
        }
        const auto got = runCommand(argv, options);
        EXPECT_TRUE(got.exited && std::to_string(got.exitCode) == rc) << row << got.errors;
        EXPECT_EQ(row == "0|@/redirect/302?to=/nul|" ? nul : "", got.output) << row;
        EXPECT_NE(std::string::npos, got.errors.find(err)) << row;
    }
    EXPECT_EQ(nul, readFile(tmp.file("copy")));
    EXPECT_EQ(1, std::distance(std::filesystem::directory_iterator(tmp.path()), {}))
        << "more than copy";
    // Looking for stored proxy credentials where none are makes nothing.
    EXPECT_FALSE(std::filesystem::exists(tmp.file(".local"))) << "the credential storage was touched";
}

// A fetch loads none of Qt's network bearer plugins, and so no D-Bus: the dynamic loader names
// every library it loads.
TEST(QtpGetTest, LoadsNoBearerPluginAndNoDBus) {
    TempDir tmp{"quorvane-qtp-get"};
    ScriptServer web(testSupportDirectory() + "/http_test_server.py", {"--journal", "/dev/null"});
    CommandOptions options;
    options.environment = {"http_proxy=", "all_proxy=", "auto_proxy=", "HOME=" + tmp.path(),
                           "LD_DEBUG=libs"};
    const auto got = runCommand(
        {QTP_GET_PATH,
         "http://127.0.0.1:" + std::to_string(web.readyNumber("http").value_or(0)) + "/nul",
         "-o", tmp.file("copy")},
        options);
    ASSERT_TRUE(got.exited && got.exitCode == 0) << got.errors;
    ASSERT_NE(std::string::npos, got.errors.find("libQt5Network")) << "the loader said nothing";
    for (const char* part : {"/bearer/", "libdbus", "libQt5DBus"}) {
        EXPECT_EQ(std::string::npos, got.errors.find(part)) << part;
    }
}
