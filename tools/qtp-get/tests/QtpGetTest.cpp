#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <sstream>
#include <thread>

#include "support/ChildProcess.h"
#include "support/ScriptServer.h"
#include "support/SharedFolder.h"
#include "support/TempDir.h"

using namespace testsupport;

// Rows: exit code|command line ("@": the server, names: temporary files, "%fsize": run with a
// file size limit of 0 and SIGXFSZ ignored, "%ulimit": with the limit alone, "%stdout-file": with
// standard output a regular file, "%full", "%closed", "%gone": standard output on /dev/full,
// closed, or a pipe whose reader has gone with SIGPIPE at its default action, "%nproc": as another
// user allowed one process, so that no thread starts; "%" in a name is a blank)|a part of the
// errors. A failed -o leaves an existing FILE as it was and nothing beside it, a link to a device
// is written through and stays, a replaced file keeps its mode (0600 here). A failed write ends
// the run at once, though the server goes on sending (/slow). The home folder, without a
// credential storage, is left without one.
TEST(QtpGetTest, ExitsWithTheQueryOutcome) {
    TempDir tmp{"quorvane-qtp-get"};
    ScriptServer web(testSupportDirectory() + "/http_test_server.py", {"--journal", "/dev/null"});
    const auto at = "http://127.0.0.1:" + std::to_string(web.readyNumber("http").value_or(0));
    const std::string links = tmp.file("links"), longName = "links/" + std::string(255, 'n');
    std::filesystem::create_directory(links);
    ASSERT_TRUE(std::ofstream(links + "/file") << "precious");
    ASSERT_TRUE(std::ofstream(links + "/secret") << "secret");
    ASSERT_EQ(0, ::chmod((links + "/secret").c_str(), 0600));
    ASSERT_EQ(0, ::symlink("/dev/null", (links + "/null").c_str()));
    ASSERT_EQ(0, ::symlink((links + "/file").c_str(), (links + "/to file").c_str()));
    CommandOptions clean;
    clean.environment = {"http_proxy=", "all_proxy=", "auto_proxy=", "HOME=" + tmp.path(),
                         "STDOUT_FILE=" + links + "/stdout"};
    const std::string nul("abc\0def", 7);
    const std::map<std::string, std::vector<std::string>> wrappers = {
        {"%fsize", {"/bin/sh", "-c", "trap '' XFSZ; ulimit -f 0; exec \"$0\" \"$@\""}},
        {"%ulimit", {"/bin/sh", "-c", "ulimit -f 0; exec \"$0\" \"$@\""}},
        {"%stdout-file", {"/bin/sh", "-c", "exec \"$0\" \"$@\" >\"$STDOUT_FILE\""}},
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
    // Where that other user can run the program (a copy, where it cannot reach the build).
    const SharedFolder nobodys;
    for (const std::string& row : std::vector<std::string>{
             "0|@/redirect/302?to=/nul|", "0|@/nul -o copy|",
          "64||usage:", "21|@/x|ContentNotFoundError (error 21, HTTP status 404)",
          "32|@/status/503|", "19|@/nul -o no/dir|cannot write /",
          "64|-o|usage:", "64|@ @|usage:", "21|@/x -o copy|", "0|@/nul -o /dev/null|",
          "19|@/nul -o /dev/full|cannot write /dev/full: No space left on device",
          "19|@/slow -o /dev/full|cannot write /dev/full: No space left on device",
          "19|%fsize @/nul -o big|big: File too large",
          "19|%ulimit @/nul -o big|big: File too large",
          "0|@/nul -o links/null|", "0|@/nul -o links/secret|", "0|@/nul -o " + longName + "|",
          "19|@/nul -o links/to%file|links/to file: a link to a regular file is refused",
          "19|%stdout-file @/nul -o /dev/stdout|/dev/stdout: a link to a regular file is refused",
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
            if (const auto wrapper = wrappers.find(w); wrapper != wrappers.end()) {
                argv.insert(argv.begin(), wrapper->second.begin(), wrapper->second.end());
                continue;
            }
            std::replace(w.begin(), w.end(), '%', ' ');
            argv.push_back(w[0] == '@' ? at + w.substr(1)
                               : w[0] == '-' || w[0] == '/' || w.find(':') != w.npos ? w
                                                                                     : tmp.file(w));
        }
        if (cmd.find("%nproc") != cmd.npos) {
            if (!nobodys.usable()) {
                // Said so, without marking the whole table skipped.
                std::cout << "not run: " << row << ": " << nobodys.why() << "\n";
                continue;
            }
            std::replace(argv.begin(), argv.end(), std::string(QTP_GET_PATH),
                         nobodys.runnable(QTP_GET_PATH));
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
    EXPECT_EQ(nul, readFile(tmp.file("links/secret")));
    EXPECT_EQ(nul, readFile(tmp.file(longName)));
    EXPECT_EQ("precious", readFile(links + "/file"));
    struct stat status {};
    EXPECT_EQ(0, ::lstat((links + "/secret").c_str(), &status));
    EXPECT_EQ(0600u, status.st_mode & 07777) << std::oct << status.st_mode;
    EXPECT_EQ(0, ::lstat((links + "/null").c_str(), &status));
    EXPECT_TRUE(S_ISLNK(status.st_mode)) << "the link to /dev/null was replaced";
    EXPECT_EQ(2, std::distance(std::filesystem::directory_iterator(tmp.path()), {}))
        << "more than copy and links";
    EXPECT_EQ(6, std::distance(std::filesystem::directory_iterator(links), {}))
        << "more than file, secret, null, to file, stdout and the long name";
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

// In a shared folder (1777, as /tmp), what another user (65534, through setpriv) put at FILE's
// name is refused before the request: a file (its planter could write into the download), a
// FIFO or a link (its planter would read it). Run as that user, qtp-get is told before the
// request that it may not replace root's file in the sticky folder, nor make one in root's 0755
// folder, rather than once the whole body has come.
TEST(QtpGetTest, ASharedFolderKeepsOtherUsersOutOfTheDownload) {
    const SharedFolder shared;
    if (!shared.usable()) GTEST_SKIP() << shared.why();
    TempDir tmp{"quorvane-qtp-get"};
    ScriptServer web(testSupportDirectory() + "/http_test_server.py",
                     {"--journal", tmp.file("journal")});
    const auto at = "http://127.0.0.1:" + std::to_string(web.readyNumber("http").value_or(0));
    const std::string tool = shared.runnable(QTP_GET_PATH), out = shared.file("out");
    const struct {
        const char* plant;  // run as user 65534 in the folder ($0); empty: root's file
        bool runAsNobody;
        std::string target, says;
    } cases[] = {
        {"printf planted >\"$0/out\"; chmod 666 \"$0/out\"", false, out,
         "another user's file (uid 65534) in a shared folder"},
        {"mkfifo -m 666 \"$0/out\"", false, out, "another user's FIFO (uid 65534) in a shared"},
        {"ln -s /dev/null \"$0/out\"", false, out, "another user's link (uid 65534) in a shared"},
        {"", true, out, "another user's file in a sticky folder: only its owner or the folder's"},
        {"", true, shared.beside("out"), "its folder does not let this user make a file: "},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.plant) + (c.runAsNobody ? ", run as 65534" : ""));
        std::filesystem::remove(out);
        ASSERT_TRUE(*c.plant ? shared.plant(c.plant) : bool(std::ofstream(out) << "root's"));
        struct stat before {};
        ASSERT_EQ(0, ::lstat(out.c_str(), &before));
        const std::vector<std::string> argv{tool, at + "/nul", "-o", c.target};
        CommandOptions options;
        options.environment = {"http_proxy=", "all_proxy=", "auto_proxy=", "HOME=/nonexistent"};
        const auto got = runCommand(c.runAsNobody ? SharedFolder::asNobody(argv) : argv, options);
        EXPECT_TRUE(got.exited && got.exitCode == 19) << got.errors;
        EXPECT_NE(std::string::npos, got.errors.find("cannot write " + c.target + ": " + c.says))
            << got.errors;
        struct stat after {};
        EXPECT_EQ(0, ::lstat(out.c_str(), &after));
        EXPECT_TRUE(before.st_ino == after.st_ino && before.st_mtime == after.st_mtime);
        EXPECT_EQ(1, std::distance(std::filesystem::directory_iterator(shared.path()), {}));
    }
    EXPECT_EQ("", readFile(tmp.file("journal"))) << "a request was sent";
}

// A closing signal during a download removes the file beside FILE and ends the run by that same
// signal, as it ends net-get: FILE stays as it was. The file beside it is its owner's alone
// while it is written.
TEST(QtpGetTest, AStoppedDownloadLeavesNothingBesideTheFile) {
    ScriptServer web(testSupportDirectory() + "/http_test_server.py", {"--journal", "/dev/null"});
    const auto slow = "http://127.0.0.1:" + std::to_string(web.readyNumber("http").value_or(0)) +
                      "/slow";
    for (const auto& [signal, existing] :
         {std::pair{SIGINT, true}, std::pair{SIGTERM, false}, std::pair{SIGHUP, true}}) {
        SCOPED_TRACE(::strsignal(signal));
        TempDir folder{"quorvane-qtp-get-stop"};
        const std::string target = folder.file("out");
        if (existing) {
            ASSERT_TRUE(std::ofstream(target) << "precious");
        }
        const pid_t pid = startCommand({QTP_GET_PATH, slow, "-o", target}, true);
        ASSERT_GT(pid, 0);
        // The file beside the target holds part of the body.
        std::vector<unsigned> modes;
        for (const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
             modes.empty() && std::chrono::steady_clock::now() < deadline;) {
            for (const auto& entry : std::filesystem::directory_iterator(folder.path())) {
                struct stat status {};
                if (entry.path().filename().string().rfind(".out.download-", 0) == 0 &&
                    ::stat(entry.path().c_str(), &status) == 0 && status.st_size > 0) {
                    modes.push_back(status.st_mode & 07777);
                }
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        EXPECT_EQ(std::vector<unsigned>{0600}, modes) << "the file beside the target, written";
        ::kill(-pid, signal);
        const auto result = waitForChild(pid, std::chrono::seconds(30));
        EXPECT_FALSE(result.exited) << "exited with " << result.exitCode;
        EXPECT_EQ(signal, result.signal);
        EXPECT_EQ(existing ? 1 : 0,
                  std::distance(std::filesystem::directory_iterator(folder.path()), {}));
        if (existing) {
            EXPECT_EQ("precious", readFile(target));
        }
    }
}
