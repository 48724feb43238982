// The user-started installer as a person sees it: the real bundle runs as a
// child process, its window drawn as lines on standard error.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <fstream>
#include <functional>

#include <memory>
#include <optional>
#include <tuple>
#include <vector>

#include <boost/filesystem.hpp>

#include "IHttpQuery.h"
#include "InstallerBundle.h"
#include "MessageTexts.h"
#include "PackageServer.h"
#include "support/ChildProcess.h"
#include "support/TempDir.h"

namespace fs = boost::filesystem;
using installertest::contains;
using installertest::entries;
using installertest::InstallerBundle;
using installertest::joinLines;
using installertest::keyOf;
using installertest::MessageTexts;
using installertest::PackageServer;
using installertest::writeFile;
using quorvane::unattended::InstallerState;
using Lines = std::vector<std::string>;

namespace {

const std::string kShown = "window: shown";
const std::string kClosed = "window: closed";
const std::string kKeyed = "Setup_K_" + keyOf("0123456789abcdef") + "_.app";

// The system language of a run: LANG alone decides.
Lines systemLanguage(const std::string& lang) {
    return {"LANG=" + lang, "LANGUAGE", "LC_ALL", "LC_MESSAGES"};
}

// Writes `bytes` zeros in the gzip coding to `path`.
void writeGzipZeros(const std::string& path, std::size_t bytes) {
    z_stream stream{};
    ASSERT_EQ(Z_OK, ::deflateInit2(&stream, 9, Z_DEFLATED, 15 + 16, 9, Z_DEFAULT_STRATEGY));
    std::vector<unsigned char> zeros(1 << 20, 0), out(1 << 20);
    std::ofstream file(path, std::ios::binary);
    for (std::size_t left = bytes; left > 0 || stream.avail_in > 0;) {
        if (stream.avail_in == 0) {
            const std::size_t step = std::min(left, zeros.size());
            stream.next_in = zeros.data();
            stream.avail_in = static_cast<uInt>(step);
            left -= step;
        }
        stream.next_out = out.data();
        stream.avail_out = static_cast<uInt>(out.size());
        ASSERT_NE(Z_STREAM_ERROR, ::deflate(&stream, Z_NO_FLUSH));
        file.write(reinterpret_cast<const char*>(out.data()),
                   static_cast<std::streamsize>(out.size() - stream.avail_out));
    }
    int result = Z_OK;
    while (result != Z_STREAM_END) {
        stream.next_out = out.data();
        stream.avail_out = static_cast<uInt>(out.size());
        result = ::deflate(&stream, Z_FINISH);
        ASSERT_NE(Z_STREAM_ERROR, result);
        file.write(reinterpret_cast<const char*>(out.data()),
                   static_cast<std::streamsize>(out.size() - stream.avail_out));
    }
    ::deflateEnd(&stream);
}

// The peak resident memory of a running process, in bytes.
long long peakMemory(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmHWM:", 0) == 0) {
            return std::stoll(line.substr(6)) * 1024;
        }
    }
    return -1;
}

class WindowTest : public ::testing::Test {
protected:
    // A package served one byte every 200 ms and named in the bundle's
    // attribute: a download that stays under way. Null when it cannot be set.
    static std::unique_ptr<PackageServer> trickleTo(InstallerBundle& installer) {
        writeFile(installer.folder() + "/agent.zip", std::string(4096, 'z'));
        auto server = std::make_unique<PackageServer>(installer.folder() + "/agent.zip",
                                                      installer.folder() + "/journal", "200", true);
        if (!installer.setParameters(R"({"UnattendedDownloadUrl": ")" + server->url() +
                                     R"(", "Product": "P"})")) {
            return nullptr;
        }
        return server;
    }

    Lines inWorkFolder(Lines arguments = {}) const {
        arguments.insert(arguments.begin(), {"-WorkFolder", work_.path()});
        return arguments;
    }

    std::string failedWindow() const {
        return joinLines({texts_.windowLines(InstallerState::Starting, "en"),
                          texts_.windowLines(InstallerState::Downloading, "en"),
                          texts_.windowLines(InstallerState::Failed, "en"),
                          {kShown, kClosed}});
    }

    MessageTexts texts_;
    testsupport::TempDir work_{"installer-window"};
};

// The window's title keeps characters beyond the basic plane. Started with
// its standard error closed, the run's log does not take the window's place.
TEST_F(WindowTest, WithoutAUsableKeyTheAlertFollowsTheSystemLanguageAndTheRunEndsWithOne) {
    auto& table = texts_.table();
    table.defaults[30] = "\xF0\x9F\x9A\x80 Installer \xF0\x9D\x84\x9E";
    for (auto& texts : table.texts) {
        texts[30].clear();
    }
    const auto messages =
        quorvane::messagesbin::packTable(quorvane::messagesbin::serializeTable(table));
    struct Case {
        std::string bundle;
        Lines environment;
        std::string window;
        std::string alert;
    };
    const std::vector<Case> cases{
        {"Setup.app", systemLanguage("de_DE.UTF-8"), "fr", "de"},
        {"Setup_K_-" + keyOf("k").substr(1) + "_.app",
         {"LANG", "LANGUAGE", "LC_ALL", "LC_MESSAGES"},
         "fr",
         "en"},
    };
    for (const auto& c : cases) {
        InstallerBundle installer(c.bundle);
        installer.setMessages(messages);
        const auto result = installer.run(inWorkFolder({"-Lang", c.window}), c.environment);
        EXPECT_EQ(1, result.exitCode) << c.bundle;
        EXPECT_EQ("", result.output);
        EXPECT_EQ(joinLines({texts_.windowLines(InstallerState::Starting, c.window),
                             {texts_.alertLine(c.alert), kClosed}}),
                  result.errors);
        EXPECT_TRUE(
            contains(installer.lastLog(), "[critical] [UnattendedInstaller] Public key is empty"));
        EXPECT_TRUE(fs::is_empty(work_.path()));
    }
    InstallerBundle installer("Setup.app");
    const auto result = installer
                            .launch({"/bin/sh", "-c", "exec \"$0\" -WorkFolder \"$1\" 2>&-",
                                     installer.executable(), work_.path()})
                            ->finish(std::chrono::seconds(60));
    EXPECT_EQ(1, result.exitCode);
    const std::string log = installer.lastLog();
    EXPECT_TRUE(contains(log, "Public key is empty")) << log;
    EXPECT_FALSE(contains(log, "window: ")) << log;
}

// The log folder is reached through no link in the home folder, nor
// through a folder another user can change: the run says why on standard
// error and in the alert, and nothing is made where a link points.
TEST_F(WindowTest, WithoutALogFolderTheRunSaysSoAndEndsWithOne) {
    InstallerBundle installer(kKeyed);
    const std::string home = installer.home();
    const std::string elsewhere = work_.file("elsewhere");
    struct Case {
        std::function<void()> plant;
        std::string reason;
    };
    std::vector<Case> cases{
        {[&] { writeFile(home + "/.kestrin", ""); }, "'" + home + "/.kestrin' is not a folder"},
        {[&] { fs::create_directory_symlink(elsewhere, home + "/.kestrin"); },
         "'" + home + "/.kestrin' is a link"},
        {[&] {
             fs::create_directories(home + "/.kestrin");
             fs::create_directory_symlink(elsewhere, home + "/.kestrin/quorvane");
         },
         "'" + home + "/.kestrin/quorvane' is a link"},
        {[&] {
             fs::create_directories(home + "/.kestrin/quorvane");
             ::chmod((home + "/.kestrin/quorvane").c_str(), 0777);
         },
         "'" + home + "/.kestrin/quorvane' is writable by others"},
        // The log files are opened by their path: another user who may
        // rename a folder on the way to the home folder decides where they go.
        {[&] { ::chmod(home.c_str(), 0777); }, "'" + home + "' is writable by others"},
    };
    // Only root can give a folder away.
    if (::geteuid() == 0) {
        cases.push_back({[&] {
                             fs::create_directories(home + "/.kestrin");
                             ::chown((home + "/.kestrin").c_str(), 65534, 65534);
                         },
                         "'" + home + "/.kestrin' belongs to another user"});
        cases.push_back({[&] { ::chown(installer.folder().c_str(), 65534, 65534); },
                         "'" + installer.folder() + "' belongs to another user"});
    }
    struct stat folderBefore {};
    ASSERT_EQ(0, ::stat(installer.folder().c_str(), &folderBefore));
    const std::string base = home + "/.kestrin/quorvane/unattended_installer/";
    for (const auto& c : cases) {
        ::chmod(home.c_str(), 0755);
        if (::geteuid() == 0) {
            ::chown(installer.folder().c_str(), folderBefore.st_uid, folderBefore.st_gid);
        }
        fs::remove_all(home + "/.kestrin");
        fs::remove_all(elsewhere);
        fs::create_directories(elsewhere);
        c.plant();
        const auto result = installer.run(inWorkFolder(), systemLanguage("en_US.UTF-8"));
        EXPECT_EQ(1, result.exitCode) << c.reason;
        const Lines lines = testsupport::splitLines(result.errors);
        if (lines.size() != 2) {
            ADD_FAILURE() << c.reason << ": " << result.errors;
            continue;
        }
        const std::string start = "unattended installer: cannot make the log folder " + base;
        EXPECT_EQ(start, lines[0].substr(0, start.size()));
        EXPECT_EQ(": " + c.reason, lines[0].substr(std::min(lines[0].size(), start.size() + 10)));
        EXPECT_EQ("alert: \"" + texts_.text(86, "en", "Wexo Quandel Unattended") + "\" \"" +
                      lines[0].substr(22) + "\" [\"" + texts_.text(160, "en") + "\"]",
                  lines[1]);
        EXPECT_TRUE(fs::is_empty(elsewhere)) << c.reason;
    }
    ::chmod(home.c_str(), 0755);
    if (::geteuid() == 0) {
        ::chown(installer.folder().c_str(), folderBefore.st_uid, folderBefore.st_gid);
    }
}

// The home folder named through a link in a folder everyone may write
// (sticky, as the shared temporary folder is): the link's owner may put
// another in its place at any time, so a link of another user's is refused
// by name; one of the user's own (or root's) is followed.
TEST_F(WindowTest, AHomeFolderNamedThroughAnotherUsersLinkIsRefused) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "only root can give a link to another user";
    }
    InstallerBundle installer(kKeyed);
    const std::string shared = work_.file("shared");
    const std::string link = shared + "/home";
    ASSERT_TRUE(fs::create_directory(shared));
    ASSERT_EQ(0, ::chmod(shared.c_str(), 01777));
    fs::create_directory_symlink(installer.home(), link);
    for (const uid_t owner : {uid_t{0}, uid_t{65534}}) {
        ASSERT_EQ(0, ::lchown(link.c_str(), owner, owner));
        auto process = installer.launch(
            {"/usr/bin/env", "HOME=" + link, installer.executable(), "-WorkFolder", work_.path()},
            systemLanguage("en_US.UTF-8"));
        process->writeInput("\n");
        const auto result = process->finish(std::chrono::seconds(60));
        const Lines lines = testsupport::splitLines(result.errors);
        ASSERT_FALSE(lines.empty()) << owner;
        const std::string refusal = "unattended installer: cannot make the log folder " + link;
        const std::string reason = ": '" + link + "' belongs to another user";
        if (owner == 0) {
            EXPECT_NE(1, result.exitCode) << result.errors;
            EXPECT_NE(0u, lines[0].find(refusal)) << lines[0];
            EXPECT_TRUE(contains(installer.lastLog(), "over and out"));
        } else {
            EXPECT_EQ(1, result.exitCode) << result.errors;
            EXPECT_EQ(0u, lines[0].find(refusal)) << lines[0];
            EXPECT_TRUE(lines[0].size() > reason.size() &&
                        lines[0].compare(lines[0].size() - reason.size(), reason.size(),
                                         reason) == 0)
                << lines[0];
        }
    }
}

// Too few descriptors or too small a stack end the run at its start, before
// it makes anything (no log, no download folder): it says which on standard
// error and in the alert, and ends with 1. At the least it needs it runs
// (here to the failure of a run without a download URL).
TEST_F(WindowTest, LimitsTooLowToRunWithEndTheRunBeforeItMakesAnything) {
    InstallerBundle installer(kKeyed);
    ASSERT_TRUE(installer.setParameters(R"({"Offline": "1", "Product": "P"})"));
    const std::vector<std::pair<Lines, std::string>> cases{
        {{"--nofile=5"}, "open files limited to 5 (hard limit 5): it needs at least 64"},
        {{"--nofile=16"}, "open files limited to 16 (hard limit 16): it needs at least 64"},
        {{"--nofile=63:4096"}, "open files limited to 63 (hard limit 4096): it needs at least 64"},
        {{"--stack=32768"},
         "stack size limited to 32768 bytes (hard limit 32768): it needs at least 262144 bytes"},
        {{"--nofile=64", "--stack=262144"}, ""},
    };
    for (const auto& [limits, refusal] : cases) {
        Lines argv{"/usr/bin/prlimit"};
        argv.insert(argv.end(), limits.begin(), limits.end());
        argv.insert(argv.end(),
                    {installer.executable(), "-WorkFolder", work_.path(), "-Lang", "en"});
        auto process = installer.launch(argv, systemLanguage("en_US.UTF-8"));
        process->writeInput("\n");
        const auto result = process->finish(std::chrono::seconds(60));
        if (refusal.empty()) {
            EXPECT_EQ(2, result.exitCode) << limits.front() << result.errors;
            EXPECT_EQ(failedWindow(), result.errors) << limits.front();
            continue;
        }
        const std::string reason = "cannot run with its " + refusal;
        EXPECT_EQ(1, result.exitCode) << limits.front();
        EXPECT_EQ("unattended installer: " + reason + "\n" + "alert: \"" +
                      texts_.text(86, "en", "Wexo Quandel Unattended") + "\" \"" + reason +
                      "\" [\"" + texts_.text(160, "en") + "\"]\n",
                  result.errors)
            << limits.front();
        EXPECT_EQ(Lines{}, installer.newLogs()) << limits.front();
    }
    EXPECT_EQ(Lines{}, entries(work_.path()));
}

// Values that cannot make an install fail the run before any download, with
// a log line naming the key and the window telling the failure.
TEST_F(WindowTest, UnusableParametersFailBeforeAnyDownload) {
    const std::string url = R"("UnattendedDownloadUrl": "http://127.0.0.1:9/a.zip")";
    const std::string product = R"(, "Product": "P")";
    // 216 bytes, 110 characters.
    std::string longCompany = "co-x";
    while (longCompany.size() < 216) {
        longCompany += "\xC3\xA9";
    }
    ASSERT_EQ(0, ::mkdir(work_.file("open").c_str(), 0777));
    ASSERT_EQ(0, ::chmod(work_.file("open").c_str(), 0777));
    writeFile(work_.file("plain"), "");
    ASSERT_EQ(0, ::mkdir(work_.file("foreign").c_str(), 0755));
    std::vector<std::pair<std::string, std::string>> cases{
        {R"("UnattendedDownloadUrl": ["http://x"])" + product,
         "UnattendedDownloadUrl must be a string"},
        {R"("Offline": "1", "Product": "P")", "download url is empty"},
        {url, "Product must be a plain folder name, not ''"},
        {url + R"(, "Product": "")", "Product must be a plain folder name, not ''"},
        {url + R"(, "Product": {"a": 1})", "Product must be a plain folder name"},
        {url + R"(, "Product": ["a"])", "Product must be a plain folder name"},
        {url + R"(, "Product": "../x")", "Product must be a plain folder name, not '../x'"},
        {url + product + R"(, "CompanyId": "..")", "CompanyId must be a plain folder name"},
        {url + product + R"(, "CompanyId": "px.unpacking-q")",
         "CompanyId 'px.unpacking-q' reads as a hidden name beside another install folder"},
        {url + product + R"(, "CompanyId": ".px.earlier")",
         "CompanyId '.px.earlier' reads as a hidden name beside another install folder"},
        {url + product + R"(, "CompanyId": ")" + longCompany + "\"",
         "CompanyId '" + longCompany + "' is longer than 215 bytes: the hidden names beside " +
             "its install folder would not fit"},
        {url + R"(, "Product": "a\u009b31m")",
         "Product must be a plain folder name, not 'a\\u009b31m'"},
        {url + R"(, "Product": ")" + std::string(256, 'p') + "\"",
         "Product must be a plain folder name, not '" + std::string(256, 'p') + "'"},
        {url + product + R"(, "CompanyId": "x\u0085y")", "CompanyId must be a plain folder name"},
        {url + product + R"(, "Offline": "1.5")",
         "Offline must be true, false or a whole number, not '1.5'"},
        {url + product + R"(, "Offline": 1.5)",
         "Offline must be true, false or a whole number, not '1.5'"},
        {url + product + R"(, "Offline": "1abc")",
         "Offline must be true, false or a whole number, not '1abc'"},
        {url + product + R"(, "Offline": "99999999999999999999")",
         "Offline must be true, false or a whole number, not '99999999999999999999'"},
        {url + product + R"(, "UnattendedInstallerArgs": ["-a"])",
         "UnattendedInstallerArgs must be a string"},
        {url + product + R"(, "UnattendedInstallerArgs": "-a 'open")",
         "UnattendedInstallerArgs cannot be split into words: '-a 'open'"},
        {url + product + R"(, "WorkFolder": ")" + work_.file("missing") + "\"",
         "work folder '" + work_.file("missing") + "' does not exist"},
        {url + product + R"(, "WorkFolder": ")" + work_.file("plain") + "\"",
         "work folder '" + work_.file("plain") + "' is not a folder"},
        {url + product + R"(, "WorkFolder": ")" + work_.file("open") + "\"",
         "work folder '" + work_.file("open") + "' is writable by others"},
        {url + product + R"(, "WorkFolder": "relative")",
         "work folder 'relative' is not an absolute path"},
    };
    // Only root can give a folder away.
    if (::geteuid() == 0) {
        ASSERT_EQ(0, ::chown(work_.file("foreign").c_str(), 65534, 65534));
        cases.push_back({url + product + R"(, "WorkFolder": ")" + work_.file("foreign") + "\"",
                         "work folder '" + work_.file("foreign") + "' belongs to another user"});
    }
    InstallerBundle installer(kKeyed);
    // Without a key Offline lets the run go on, but the elevated copy would
    // register no daemon: it fails before the download too.
    InstallerBundle keyless("Setup.app");
    const std::string noKey = "Offline without a usable public key: no daemon could be registered";
    std::vector<std::tuple<std::string, std::string, const InstallerBundle*>> runs;
    for (const auto& [json, refusal] : cases) {
        runs.emplace_back(json, refusal, &installer);
    }
    runs.emplace_back(url + product + R"(, "Offline": true)", noKey, &keyless);
    runs.emplace_back(url + product + R"(, "Offline": "-1")", noKey, &keyless);
    runs.emplace_back(url + product + R"(, "Offline": "yes")",
                      "Offline must be true, false or a whole number, not 'yes'", &keyless);
    for (const auto& [json, refusal, bundle] : runs) {
        ASSERT_TRUE(bundle->setParameters("{" + json + "}"));
        const auto result = bundle->run(inWorkFolder({"-Lang", "en"}), {"LANG=en_US.UTF-8"});
        EXPECT_EQ(2, result.exitCode) << json;
        EXPECT_EQ(failedWindow(), result.errors) << json;
        const std::string log = bundle->lastLog();
        EXPECT_TRUE(contains(log, "[error] [UnattendedInstaller] " + refusal)) << json << log;
        EXPECT_FALSE(contains(log, "downloading from")) << json;
    }
    EXPECT_EQ((Lines{"foreign", "open", "plain"}), entries(work_.path()));
    EXPECT_TRUE(fs::is_empty(work_.file("foreign")));
}

// A transfer time-out is whole seconds, clamped to 1-3600 however many digits
// it has; 30 when it does not begin with a whole number.
TEST_F(WindowTest, TheTransferTimeOutIsClampedToItsBounds) {
    InstallerBundle installer(kKeyed);
    ASSERT_TRUE(installer.setParameters(R"({"Offline": "1", "Product": "P"})"));
    const std::vector<std::pair<Lines, std::string>> cases{
        {{}, "30"},
        {{"-TransferTimeout", "45s"}, "45"},
        {{"-TransferTimeout", "99999999999"}, "3600"},
        {{"-TransferTimeout", "0"}, "1"},
        {{"-TransferTimeout", "-"}, "30"},
        {{"-TransferTimeout", "-99999999999999999999"}, "1"},
        {{"-TransferTimeout", "soon"}, "30"},
    };
    for (const auto& [options, seconds] : cases) {
        const auto result = installer.run(inWorkFolder(options), {"LANG=en_US.UTF-8"});
        EXPECT_EQ(2, result.exitCode) << seconds;
        EXPECT_TRUE(contains(installer.lastLog(), "transfer time-out: " + seconds + " s\n"))
            << seconds << installer.lastLog();
    }
}

// Without a work folder the run's download folder lies in its log folder.
TEST_F(WindowTest, WithoutAWorkFolderTheRunDownloadsIntoItsLogFolder) {
    InstallerBundle installer(kKeyed);
    ASSERT_TRUE(installer.setParameters(R"({"Offline": "1", "Product": "P"})"));
    EXPECT_EQ(2, installer.run({"-Lang", "en"}, {"LANG=en_US.UTF-8"}).exitCode);
    const std::string log = installer.lastLog();
    const std::string logged = "download folder: '" + installer.home() +
                               "/.kestrin/quorvane/unattended_installer/";
    const auto at = log.find(logged);
    ASSERT_NE(std::string::npos, at) << log;
    // The log folder's own 10 characters, then the download folder's.
    EXPECT_EQ("/download-", log.substr(at + logged.size() + 10, 10)) << log;
}

// A message table that cannot be read gives the built-in English texts in
// the window and the alert, whatever the language, and a log line saying so.
TEST_F(WindowTest, AnUnusableMessageTableGivesTheEnglishTexts) {
    auto packed = quorvane::messagesbin::packTable(
        quorvane::messagesbin::serializeTable(texts_.table()));
    const std::vector<unsigned char> truncated(packed.begin(), packed.begin() + packed.size() / 2);
    auto wrongSize = packed;
    wrongSize[0] ^= 0x01;
    const std::vector<std::pair<std::string, std::optional<std::vector<unsigned char>>>> tables{
        {"missing", std::nullopt},
        {"empty", std::vector<unsigned char>{}},
        {"garbage", std::vector<unsigned char>(300, 0xA5)},
        {"truncated", truncated},
        {"wrong size", wrongSize},
    };
    const std::string unusable =
        "[error] [MessageMap] The message table is unusable: the built-in English texts are shown";
    for (const auto& [name, image] : tables) {
        InstallerBundle keyed(kKeyed);
        InstallerBundle keyless("Setup.app");
        for (const auto* installer : {&keyed, &keyless}) {
            if (image) {
                installer->setMessages(*image);
            } else {
                fs::remove(installer->bundle() + "/Contents/Resources/messages.bin");
            }
        }
        ASSERT_TRUE(keyed.setParameters(R"({"Offline": "1", "Product": "P"})"));
        const auto window = keyed.run(inWorkFolder({"-Lang", "fr"}), systemLanguage("de_DE.UTF-8"));
        EXPECT_EQ(2, window.exitCode) << name;
        EXPECT_EQ(failedWindow(), window.errors) << name;
        EXPECT_TRUE(contains(keyed.lastLog(), unusable)) << name << keyed.lastLog();

        const auto alert = keyless.run(inWorkFolder(), systemLanguage("de_DE.UTF-8"));
        EXPECT_EQ(1, alert.exitCode) << name;
        EXPECT_TRUE(contains(alert.errors, texts_.alertLine("en"))) << name << alert.errors;
        EXPECT_TRUE(contains(keyless.lastLog(), unusable)) << name;
    }
}

// Closing signals close together, as `timeout` sends them (to the process,
// then to its group): the first closes the window, the others find nothing
// more to close; the run tidies up once and ends with the closed status.
TEST_F(WindowTest, ClosingSignalsCloseTogetherEndTheRunOnce) {
    InstallerBundle installer(kKeyed);
    const auto trickling = trickleTo(installer);
    ASSERT_TRUE(trickling);
    const PackageServer& server = *trickling;
    std::size_t requests = 1;
    for (const int gapUs : {1000, 1000, 3000, 10000, 200}) {
        auto process = installer.start(inWorkFolder(), systemLanguage("en_US.UTF-8"));
        ASSERT_TRUE(process->waitForErrorLine(kShown)) << process->errors();
        for (int i = 0; i < 200 && server.requests().size() < requests; ++i) {
            process->staysRunning(std::chrono::milliseconds(50));
        }
        ASSERT_EQ(requests++, server.requests().size()) << "the download is under way";
        process->signal(SIGTERM);
        ::usleep(static_cast<useconds_t>(gapUs));
        process->signal(SIGTERM);
        ::usleep(static_cast<useconds_t>(gapUs));
        process->signal(SIGINT);
        const auto result = process->finish();
        EXPECT_EQ(3, result.exitCode) << gapUs << " us apart: " << result.errors;
        EXPECT_TRUE(contains(result.errors, kShown + "\n" + kClosed + "\n")) << result.errors;
        const std::string log = installer.lastLog();
        EXPECT_TRUE(contains(log, "over and out")) << gapUs;
        EXPECT_EQ(log.find("quiting..."), log.rfind("quiting...")) << "one tidy-up";
        EXPECT_TRUE(fs::is_empty(work_.path())) << gapUs << " us apart: the download folder stays";
    }
}

// A gzip reply that decodes to 1 GiB of zeros is refused while it is decoded:
// the window tells the failure after one request, the run having held little
// more than one whose package is refused at its head, before any body (the
// program's own size, which the sanitizers double, is in both).
TEST_F(WindowTest, ACompressionBombFailsAtOnceWithLittleMemory) {
    InstallerBundle installer(kKeyed);
    writeGzipZeros(installer.folder() + "/bomb.gz", std::size_t{1} << 30);
    const std::string overTheLimit = std::to_string(IHttpQuery::kDefaultMaximumBodySize + 1);
    const struct {
        const char* name;
        std::vector<std::string> serverOptions;
    } runs[] = {{"refused at its head", {"--announce", overTheLimit}},
                {"decoded", {"--encoding", "gzip"}}};
    long long peaks[2] = {0, 0};
    for (int i = 0; i < 2; ++i) {
        PackageServer server(installer.folder() + "/bomb.gz",
                             installer.folder() + "/journal-" + std::to_string(i), "200", false,
                             runs[i].serverOptions);
        ASSERT_TRUE(installer.setParameters(R"({"UnattendedDownloadUrl": ")" + server.url() +
                                            R"(", "Product": "P"})"));
        auto process =
            installer.start(inWorkFolder({"-Lang", "en"}), systemLanguage("en_US.UTF-8"));
        ASSERT_TRUE(process->waitForErrorLine(
            texts_.windowLines(InstallerState::Failed, "en").front(), std::chrono::seconds(60)))
            << runs[i].name << ": " << process->errors();
        peaks[i] = peakMemory(process->pid());
        EXPECT_GT(peaks[i], 0) << runs[i].name;
        EXPECT_EQ(1u, server.requests().size()) << runs[i].name;
        process->writeInput("\n");
        EXPECT_EQ(2, process->finish().exitCode) << runs[i].name;
        EXPECT_TRUE(contains(installer.lastLog(), "is larger than")) << installer.lastLog();
    }
    EXPECT_LT(peaks[1], peaks[0] + 40LL * 1000 * 1000)
        << "peak resident memory: " << peaks[1] << " decoding, " << peaks[0] << " refused at the head";
}

// The button, the window's close and the end of input while a slow
// download runs: the run's own download folder goes, what the user had stays.
TEST_F(WindowTest, EndingTheRunRemovesOnlyItsOwnFiles) {
    fs::create_directories(work_.file("download/mine"));
    InstallerBundle installer(kKeyed);
    const auto trickling = trickleTo(installer);
    ASSERT_TRUE(trickling);
    const PackageServer& server = *trickling;
    std::size_t requests = 1;
    for (const int number : {0, SIGTERM, SIGINT, SIGHUP}) {
        auto process = installer.start(inWorkFolder(), systemLanguage("en_US.UTF-8"));
        ASSERT_TRUE(process->waitForErrorLine(kShown)) << process->errors();
        for (int i = 0; i < 200 && server.requests().size() < requests; ++i) {
            process->staysRunning(std::chrono::milliseconds(50));
        }
        ASSERT_EQ(requests++, server.requests().size()) << "the download is under way";
        EXPECT_EQ(2u, entries(work_.path()).size()) << "the run's own download folder";
        if (number == 0) {
            process->closeInput();
            EXPECT_TRUE(process->staysRunning(std::chrono::milliseconds(300)))
                << "the end of input presses nothing";
            process->writeInput("\n");
            process->signal(SIGTERM);
        } else {
            process->signal(number);
        }
        const auto result = process->finish();
        EXPECT_EQ(3, result.exitCode) << number << result.errors;
        EXPECT_EQ("", result.output);
        EXPECT_TRUE(contains(result.errors, kShown + "\n" + kClosed + "\n")) << result.errors;
        EXPECT_TRUE(contains(installer.lastLog(), "over and out")) << number;
        EXPECT_EQ((Lines{"download"}), entries(work_.path())) << number;
        EXPECT_TRUE(fs::is_directory(work_.file("download/mine")));
    }
}

// Started from a script with standard input at its end (or closed), the run
// ends once the window shows its outcome, as the button would, with the
// outcome's status.
TEST_F(WindowTest, TheEndOfInputEndsTheRunOnceTheOutcomeShows) {
    InstallerBundle installer(kKeyed);
    ASSERT_TRUE(installer.setParameters(R"({"Offline": "1", "Product": "P"})"));
    for (const std::string input : {"</dev/null", "<&-"}) {
        const auto result =
            installer
                .launch({"/bin/sh", "-c", "exec \"$0\" -WorkFolder \"$1\" -Lang en " + input,
                         installer.executable(), work_.path()},
                        {"LANG=en_US.UTF-8"})
                ->finish(std::chrono::seconds(20));
        EXPECT_FALSE(result.timedOut) << input;
        EXPECT_EQ(2, result.exitCode) << input;
        EXPECT_EQ(failedWindow(), result.errors) << input;
        EXPECT_TRUE(contains(installer.lastLog(), "over and out")) << input;
        EXPECT_TRUE(fs::is_empty(work_.path())) << input;
    }
}

// A server that answers nothing, and one that trickles, each with a run of
// its own: each attempt ends at the transfer time-out (1 s here) and the six
// attempts run, 2 s apart.
TEST_F(WindowTest, AStalledDownloadIsTriedSixTimesAndFails) {
    writeFile(work_.file("agent.zip"), std::string(4096, 'z'));
    InstallerBundle installer(kKeyed);
    ASSERT_TRUE(
        installer.setParameters(R"({"Product": "P", "WorkFolder": ")" + work_.file("run") + "\"}"));
    fs::create_directories(work_.file("run"));
    PackageServer silent(work_.file("agent.zip"), work_.file("journal-silent"), "0");
    PackageServer trickle(work_.file("agent.zip"), work_.file("journal-trickle"), "200", true);
    std::vector<std::pair<PackageServer*, std::unique_ptr<installertest::RunningInstaller>>> runs;
    for (auto* server : {&silent, &trickle}) {
        runs.emplace_back(server, installer.start({"-UnattendedDownloadUrl", server->url(),
                                                   "-TransferTimeout", "1", "-Lang", "en"},
                                                  {"LANG=C"}));
    }
    for (const auto& [server, process] : runs) {
        EXPECT_TRUE(process->waitForErrorLine(
            texts_.windowLines(InstallerState::Failed, "en").front(), std::chrono::seconds(60)))
            << process->errors();
        const auto requests = server->requests();
        ASSERT_EQ(6u, requests.size()) << server->url();
        for (std::size_t i = 1; i < requests.size(); ++i) {
            EXPECT_GE(requests[i].time - requests[i - 1].time, 2.95) << "attempt " << i;
        }
        process->writeInput("\n");
        EXPECT_EQ(2, process->finish().exitCode);
    }
}

// Under a file-size limit of the caller's that the package passes, writing
// it fails with its reason: the window shows the failure and the run's
// download folder goes, as after any failed download (SIGXFSZ does not end
// the run).
TEST_F(WindowTest, APackageOverTheCallersFileSizeLimitFailsTheDownload) {
    writeFile(work_.file("agent.zip"), std::string(256 << 10, 'z'));
    PackageServer server(work_.file("agent.zip"), work_.file("journal"));
    InstallerBundle installer(kKeyed);
    fs::create_directories(work_.file("run"));
    auto process = installer.launch(
        {"/usr/bin/prlimit", "--fsize=131072", installer.executable(), "-UnattendedDownloadUrl",
         server.url(), "-Product", "P", "-Lang", "en", "-WorkFolder", work_.file("run")},
        systemLanguage("en_US.UTF-8"));
    EXPECT_TRUE(process->waitForErrorLine(texts_.windowLines(InstallerState::Failed, "en").front()))
        << process->errors();
    process->writeInput("\n");
    const auto result = process->finish();
    EXPECT_EQ(2, result.exitCode) << result.errors;
    EXPECT_EQ(Lines{}, entries(work_.file("run")));
    const std::string log = installer.lastLog();
    EXPECT_TRUE(contains(log, "cannot write: File too large")) << log;
    EXPECT_TRUE(contains(log, "over and out")) << log;
}

}  // namespace
