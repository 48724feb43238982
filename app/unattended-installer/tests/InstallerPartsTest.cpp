// The installer's pure parts: the key in the executable's path, the words of
// the installer arguments, the install folder and the elevated copy's
// command line, the reading of its result line, and the lines of a
// program's output that are logged.
#include <gtest/gtest.h>

#include <limits.h>

#include <boost/filesystem.hpp>

#include "DisplayText.h"
#include "InstallLocation.h"
#include "InstallSlot.h"
#include "LoggedCommand.h"
#include "OutputLines.h"
#include "ParameterFileText.h"
#include "RecordingLogger.h"
#include "ShellWords.h"
#include "UnattendedInstallerApplication.h"
#include "common/utils/ElevatedExecution.h"
#include "platform/security/Authorization.h"
#include "support/TempDir.h"

using namespace quorvane::unattended;
using Words = std::vector<std::string>;

namespace {

TEST(InstallerPartsTest, TheKeyLiesBetweenTheFirstMarkerAndTheLastUnderscoreOfOneLine) {
    const std::string key(64, 'k');
    const std::string odd = "abc_/$%'\" K_" + std::string(52, 'x');
    const std::vector<std::pair<std::string, std::string>> cases{
        {"/Applications/Setup_K_" + key + "_.app/Contents/MacOS/Setup", key},
        {"/x/K_" + odd + "_/Setup", odd},
        {"/A/K_K_" + std::string(62, 'q') + "_/x", "K_" + std::string(62, 'q')},
        {"/A/Setup_K_" + key + "_.app/Contents/MacOS/Setup\n_", key},
        {"/A/Setup_K_" + key + "\n_.app", ""},
        // A carriage return ends a line as a line feed does.
        {"/A/Setup_K_" + key + "_.app/Contents/MacOS/Setup\r_", key},
        {"/A/Setup_K_" + key + "_\r\n_x", key},
        {"/A/Setup_K_" + key.substr(1) + "\r_\n", ""},
        {"/A/Setup_K_" + std::string(63, 'k') + "_.app/MacOS/S", ""},
        {"/A/Setup_K_" + std::string(65, 'k') + "_.app/MacOS/S", ""},
        {"/A/Setup_K_" + key + "_.app/Contents/MacOS/my_tool", ""},
        {"/A/K_" + key, ""},
        {"", ""},
    };
    for (const auto& [path, expected] : cases) {
        EXPECT_EQ(expected, UnattendedInstallerApplication::getPublicKeyFromPath(path)) << path;
    }
    for (const std::string& usable : {key, odd, "K_" + std::string(62, 'q')}) {
        EXPECT_TRUE(isUsableKey(usable)) << usable;
    }
    for (const std::string& unusable : {std::string(), std::string(63, 'k'), "-" + key.substr(1),
                                        key.substr(1) + "\t", key.substr(1) + "\xC3"}) {
        EXPECT_FALSE(isUsableKey(unusable)) << unusable;
    }
}

TEST(InstallerPartsTest, ArgumentsAreSplitAsTheShellWouldWithoutExpanding) {
    const std::vector<std::pair<std::string, Words>> cases{
        {"  \t\n ", {}},
        {"  -a 1\t-b\n", {"-a", "1", "-b"}},
        {"'a b' c", {"a b", "c"}},
        {"\"a b\"' c'", {"a b c"}},
        {R"("x\"y" "\$HOME" "\`id\`" "a\\b")", {"x\"y", "$HOME", "`id`", "a\\b"}},
        {R"("\n stays")", {"\\n stays"}},
        {"'' e", {"", "e"}},
        {R"('a\"b')", {"a\\\"b"}},
        {R"(a\ b \' \")", {"a b", "'", "\""}},
        {"a\\\nb \"c\\\nd\"", {"ab", "cd"}},
        {"$(touch /tmp/x) `id` * ~ ; && | >f",
         {"$(touch", "/tmp/x)", "`id`", "*", "~", ";", "&&", "|", ">f"}},
    };
    for (const auto& [text, words] : cases) {
        const auto split = splitShellWords(text);
        ASSERT_TRUE(split.has_value()) << text;
        EXPECT_EQ(words, *split) << text;
    }
    for (const char* text : {"'open", "\"open", "\"escaped\\\"", "trailing\\"}) {
        EXPECT_FALSE(splitShellWords(text).has_value()) << text;
    }
}

TEST(InstallerPartsTest, OnlyTwoPlainNamesBelowTheInstallRootMakeAnInstallFolder) {
    for (const char* name : {"Product", "Acme Inc.", "-x", "..hidden", "...", "caf\xC3\xA9",
                             "$(touch x)", "a\\b", "\xC2\xA0nbsp", "\xE2\x82\xAC",
                             "\xF0\x9F\x9A\x80"}) {
        EXPECT_TRUE(isPlainFolderName(name)) << name;
        EXPECT_TRUE(isInstallFolder(installFolder(name, name).string())) << name;
    }
    // C0, DEL and C1 controls (U+009B is a terminal's CSI), and bytes that
    // are no UTF-8: a lone 0x9B, a cut sequence, an overlong "/", a
    // surrogate.
    for (const std::string& name :
         {std::string(), std::string("."), std::string(".."), std::string("a/b"),
          std::string("a\nb"), std::string("a\0b", 3), std::string("\x7f"),
          std::string("a\xC2\x9B" "31m"), std::string("\xC2\x80"), std::string("x\xC2\x9F"),
          std::string("a\x9B" "31m"), std::string("caf\xC3"), std::string("\xC0\xAF"),
          std::string("\xED\xA0\x80"), std::string(NAME_MAX + 1, 'p')}) {
        EXPECT_FALSE(isPlainFolderName(name)) << name;
        EXPECT_FALSE(isInstallFolder(installFolder("P", name).string())) << name;
    }
    EXPECT_TRUE(isPlainFolderName(std::string(NAME_MAX, 'p')));
    // A CompanyId whose hidden names (up to 40 bytes more) all fit: bytes
    // are counted, not characters.
    std::string longest = "co-";
    longest.append((InstallSlot::kLongestName - longest.size()) % 2, 'x');
    while (longest.size() < InstallSlot::kLongestName) {
        longest += "\xC3\xA9";
    }
    const std::vector<std::pair<std::string, bool>> companies{
        {longest, true},
        {longest + "x", false},
        {longest.substr(0, longest.size() - 2) + "\xE2\x82\xAC", false},
        {std::string(NAME_MAX - 40, 'c'), true},
        {std::string(NAME_MAX - 39, 'c'), false},
    };
    for (const auto& [name, fits] : companies) {
        EXPECT_EQ(fits, isInstallFolder(installFolder("P", name).string())) << name.size();
        EXPECT_EQ(fits, installFolderNameProblem(name).empty()) << name.size();
        // A Product has no hidden names beside it.
        EXPECT_TRUE(isInstallFolder(installFolder(name, "C").string())) << name.size();
    }
    for (const std::string& folder :
         {std::string("/Library/Application Support/WexoQuandelUnattended/P"),
          std::string("/Library/Application Support/WexoQuandelUnattended/P/C/D"),
          std::string("/Library/Application Support/WexoQuandelUnattended/P/.."),
          std::string("/Library/Application Support/WexoQuandelUnattended//C"),
          std::string("/Library/Application Support/WexoQuandelUnattended/P/.C.earlier"),
          std::string("/Library/Application Support/WexoQuandelUnattended/P/..unpacking-x"),
          std::string("/Library/Application Support/WexoQuandelUnattended/P/.C.lock"),
          std::string("/Library/Application Support/WexoQuandelUnattended/P/C.unpacking-q"),
          std::string("/Library/Application Support/WexoQuandelUnattended/P/C.unpacking-"),
          std::string("/tmp/WexoQuandelUnattended/P/C")}) {
        EXPECT_FALSE(isInstallFolder(folder)) << folder;
    }
}

TEST(InstallerPartsTest, TheElevatedCopyReadsBackExactlyWhatItWasGiven) {
    for (const std::string& arguments : {std::string("-server x -group 'Front desk'"),
                                         std::string(), std::string("\"quoted\" -x")}) {
        ElevatedRequest request{"/w/download-1/WexoQuandelUnattended.zip",
                                "/Library/Application Support/WexoQuandelUnattended/-P/C",
                                std::string(64, 'k'), arguments, "1000"};
        request.maxUnpackedBytes = 5000000000;
        request.maxUnpackedEntries = arguments.size();
        Words argv{"/Apps/Setup.app/Contents/MacOS/Installer"};
        const auto options = elevatedArguments(request);
        argv.insert(argv.end(), options.begin(), options.end());
        const auto back = parseElevatedArguments(argv);
        ASSERT_TRUE(back.has_value()) << arguments;
        EXPECT_EQ(request.source, back->source);
        EXPECT_EQ(request.destination, back->destination);
        EXPECT_EQ(request.publicKey, back->publicKey);
        EXPECT_EQ(arguments, back->installerArguments);
        EXPECT_EQ("1000", back->user);
        EXPECT_EQ(5000000000u, back->maxUnpackedBytes);
        EXPECT_EQ(arguments.size(), back->maxUnpackedEntries);
    }
    const Words bad[] = {{"x"},
                         {"x", "-SourcePath", "a", "-PrivilegedInstall"},
                         {"x", "-PrivilegedInstall", "-SourcePath"},
                         {"x", "-PrivilegedInstall", "-SourcePath", "a", "-SourcePath", "b"},
                         {"x", "-PrivilegedInstall", "-WorkFolder", "/tmp"},
                         {"x", "-PrivilegedInstall", "-RegistrationTimeout", "1s"},
                         {"x", "-PrivilegedInstall", "-MaxUnpackedBytes", "-1"},
                         {"x", "-PrivilegedInstall", "-MaxUnpackedEntries", "99999999999999999999"}};
    for (const auto& argv : bad) {
        EXPECT_FALSE(parseElevatedArguments(argv).has_value()) << argv.size();
    }
}

// A run's parameters may lower the unpacking bounds, never raise them.
TEST(InstallerPartsTest, ARunsBoundsOnlyLowerTheDefaults) {
    const std::uint64_t ceiling = std::uint64_t{2} << 30;
    const std::vector<std::pair<std::string, std::uint64_t>> cases{
        {"", ceiling},
        {"0", 0},
        {"100", 100},
        {std::to_string(ceiling - 1), ceiling - 1},
        {std::to_string(ceiling), ceiling},
        {std::to_string(ceiling + 1), ceiling},
        {"9999999999999999999", ceiling},
        {"99999999999999999999", ceiling},
        {"-1", ceiling},
        {"1e9", ceiling},
        {" 100", ceiling},
    };
    for (const auto& [text, bound] : cases) {
        EXPECT_EQ(bound, lowerBound(text, ceiling)) << "'" << text << "'";
    }
}

// The elevated copy's output as the user-started copy reads it.
TEST(InstallerPartsTest, OnlyAWholeResultLineCounts) {
    testsupport::TempDir folder("result-line");
    platform::security::Authorization::overrideLauncher({"/usr/bin/env"});
    const std::vector<std::pair<std::string, int>> cases{
        {"progress\n<exitcode>0</exitcode>\n<exitcode>5</exitcode>\n", 0},
        {"<exitcode>5</exitcode> \r\n", 5},
        {"<exitcode>0\n</exitcode>\n", common::kNoExitCode},
        {"<exitcode>0</exitcod\n", common::kNoExitCode},
        {"x <exitcode>4</exitcode>\n<exitcode>0</exitcode>\n", common::kNoExitCode},
        {"", common::kNoExitCode},
    };
    for (const auto& [output, expected] : cases) {
        char* argv[] = {const_cast<char*>("-c"), const_cast<char*>("printf '%s' \"$0\""),
                        const_cast<char*>(output.c_str()), nullptr};
        EXPECT_EQ(expected, common::runElevated("/bin/sh", argv)) << output;
    }
    platform::security::Authorization::resetLauncher();
}

// A line past the bound is cut at the last character boundary at or before
// it and marked, its rest dropped up to its break; a last line without a
// break counts too. Fed whole, in pieces or byte by byte, the lines are the
// same, and so are those that a program's output is logged as.
TEST(InstallerPartsTest, ALineOfOutputPastItsBoundIsCutThereAndMarked) {
    const std::size_t bound = OutputLines::kLongestLine;
    // A line as "<first byte> x <length>", and "cut" when it was.
    const auto shown = [](const std::string& line, bool cut) {
        return line.substr(0, 1) + " x " + std::to_string(line.size()) + (cut ? " cut" : "");
    };
    const auto cutAt = [](std::size_t length) {
        return "x x " + std::to_string(length) + " cut";
    };
    // `before` bytes of "x", then `rest`.
    const auto at = [](std::size_t before, const std::string& rest) {
        return std::string(before, 'x') + rest;
    };
    const std::string e2 = "\xC3\xA9";            // U+00E9
    const std::string e3 = "\xE2\x82\xAC";        // U+20AC
    const std::string e4 = "\xF0\x9F\x9A\x80";    // U+1F680
    const std::vector<std::pair<std::string, Words>> cases{
        {"a\n\nbc", {"a x 1", " x 0", "b x 2"}},
        {"last", {"l x 4"}},
        {"\n", {" x 0"}},
        {"", {}},
        {std::string(bound, 'x') + "\nn\n", {"x x " + std::to_string(bound), "n x 1"}},
        {std::string(bound + 1, 'x') + "\nn", {cutAt(bound), "n x 1"}},
        {std::string(3 * bound + 5, 'y'), {"y x " + std::to_string(bound) + " cut"}},
        // A character that runs past the bound is left out whole.
        {at(bound - 1, e2 + "\nn"), {cutAt(bound - 1), "n x 1"}},
        {at(bound - 1, e3), {cutAt(bound - 1)}},
        {at(bound - 2, e3), {cutAt(bound - 2)}},
        {at(bound - 1, e4), {cutAt(bound - 1)}},
        {at(bound - 2, e4), {cutAt(bound - 2)}},
        {at(bound - 3, e4 + "\n" + e4), {cutAt(bound - 3), "\xF0 x 4"}},
        // As far as it is seen: the output may end within it.
        {at(bound - 1, "\xE2\x82"), {cutAt(bound - 1)}},
        // One that ends on the bound is kept.
        {at(bound - 2, e2 + "y"), {cutAt(bound)}},
        {at(bound - 3, e3 + e2), {cutAt(bound)}},
        {at(bound - 4, e4 + "\x80"), {cutAt(bound)}},
        {at(bound - 2, e2 + "\x80"), {cutAt(bound)}},
        {at(bound - 2, e2), {"x x " + std::to_string(bound)}},
        // Bytes that are no character there are cut where they stand: a lead
        // byte without its continuation, stray continuation bytes, an
        // overlong form, a surrogate, past U+10FFFF, no lead byte at all.
        {at(bound - 1, "\xC3y"), {cutAt(bound)}},
        {at(bound - 2, "\xF0\x9Fz"), {cutAt(bound)}},
        {at(bound - 3, "\x80\x80\x80\x80"), {cutAt(bound)}},
        {at(bound - 4, "\xC3\xA9\x80\x80\x80"), {cutAt(bound)}},
        {at(bound - 1, "\xC0\x80"), {cutAt(bound)}},
        {at(bound - 1, "\xE0\x80\x80"), {cutAt(bound)}},
        {at(bound - 2, "\xED\xA0\x80"), {cutAt(bound)}},
        {at(bound - 1, "\xF4\x90\x80\x80"), {cutAt(bound)}},
        {at(bound - 1, "\xFF\x80"), {cutAt(bound)}},
        {at(bound - 1, "\xF8\x88\x80\x80\x80"), {cutAt(bound)}},
    };
    for (const auto& [output, expected] : cases) {
        for (const std::size_t piece : {output.size(), std::size_t{1000}, std::size_t{1}}) {
            Words lines;
            OutputLines splitter([&](const std::string& line, bool cut) {
                lines.push_back(shown(line, cut));
            });
            for (std::size_t at = 0; at < output.size(); at += piece) {
                splitter.feed(output.data() + at, std::min(piece, output.size() - at));
            }
            splitter.finish();
            EXPECT_EQ(expected, lines) << output.size() << " bytes in pieces of " << piece;
        }
        // Output that a program writes at once is read at once, so that
        // none of it is left behind at the program's end.
        if (output.size() > 4096) {
            continue;
        }
        auto logged = std::make_shared<testsupport::RecordingLogger::Lines>();
        testsupport::RecordingLogger logger(logged);
        LoggedCommand program(logger, "out");
        ASSERT_EQ(0, program.run({"/bin/sh", "-c", "printf '%s' \"$1\"", "sh", output},
                                 std::chrono::seconds(60)))
            << output;
        const std::string mark = " [cut: longer than " + std::to_string(bound) + " bytes]";
        Words lines;
        for (const auto& line : logged->all()) {
            ASSERT_EQ(0u, line.text.rfind("out: ", 0)) << line.text;
            std::string text = line.text.substr(5);
            const bool cut = text.size() >= mark.size() &&
                             text.compare(text.size() - mark.size(), mark.size(), mark) == 0;
            lines.push_back(shown(text.substr(0, text.size() - (cut ? mark.size() : 0)), cut));
        }
        EXPECT_EQ(expected, lines) << "a program writing " << output;
    }
}

// A parameter file is one JSON object read strictly, or it has a problem; a
// token put into one changes only the bytes where the token's value stands.
TEST(InstallerPartsTest, AParameterFileIsReadStrictlyAndChangedOnlyWhereItsTokenStands) {
    const auto nested = [](int arrays) {
        return "{\"a\": " + std::string(arrays, '[') + std::string(arrays, ']') + "}";
    };
    const std::vector<std::pair<std::string, std::string>> refused{
        {"{\"a\": 1,}", "Missing a name for object member. (at byte 8)"},
        {"{\"a\": [1,]}", "Invalid value. (at byte 9)"},
        {"{\"a\": 1} // note", "The document root must not be followed by other values."},
        {"/* note */ {\"a\": 1}", "Invalid value. (at byte 0)"},
        {"[{\"DeviceToken\": \"t\"}]", "its top level is another value"},
        {"\"text\"", "its top level is another value"},
        {"12", "its top level is another value"},
        {nested(64), "nested deeper than 64 levels"},
        {"{\"a\": 1}{\"b\": 2}", "The document root must not be followed by other values."},
        {std::string("{\"a\": 1}\0 {", 11), "a NUL byte at byte 8"},
        {"{\"a\": 01}", "Missing a comma or '}' after an object member."},
        {"{\"a\": NaN}", "Invalid value."},
        {"{'a': 1}", "Missing a name for object member."},
        {"", "The document is empty."},
        {"\xEF\xBB\xBF", "The document is empty. (at byte 3)"},
        // Numbers of any size are read, but only numbers.
        {"{\"a\": 1e400x}", "Missing a comma or '}' after an object member. (at byte 11)"},
        {"{\"a\": 01e400}", "Missing a comma or '}' after an object member. (at byte 7)"},
        {"{\"a\": 1.e400}", "Miss fraction part in number. (at byte 8)"},
        {"{\"a\": 1e+}", "Miss exponent in number. (at byte 9)"},
        {"{\"a\": +1e400}", "Invalid value. (at byte 6)"},
        {"{\"a\": 1e400,}", "Missing a name for object member. (at byte 12)"},
    };
    for (const auto& [text, problem] : refused) {
        const ParameterFileText file(text);
        EXPECT_EQ(0u, file.problem().rfind("is not one JSON object: ", 0)) << text;
        EXPECT_NE(std::string::npos, file.problem().find(problem))
            << text << ": " << file.problem();
        EXPECT_FALSE(file.valueText("a").has_value()) << text;
    }
    struct Case {
        std::string text;
        std::string earlier;  // the first DeviceToken's text, if any
        std::string changed;  // with the token "t"
    };
    const std::string big = "123456789012345678901234567890";
    const std::string deep = nested(63);
    const std::vector<Case> cases{
        {"{\n    \"Product\": \"sample\"\n}\n", "",
         "{\n    \"Product\": \"sample\",\n    \"DeviceToken\": \"t\"\n}\n"},
        {"{}", "", "{\n    \"DeviceToken\": \"t\"\n}"},
        {" { } ", "", " {\n    \"DeviceToken\": \"t\"\n} "},
        {"{\"DeviceToken\": " + big + ", \"f\": 1.50, \"e\": -0.0e+00}", big,
         "{\"DeviceToken\": \"t\", \"f\": 1.50, \"e\": -0.0e+00}"},
        {"\xEF\xBB\xBF{\"a\":[1,2], \"DeviceToken\" :\t{\"x\": [1]} ,\"DeviceToken\":null}",
         "{\"x\": [1]}",
         "\xEF\xBB\xBF{\"a\":[1,2], \"DeviceToken\" :\t\"t\" ,\"DeviceToken\":\"t\"}"},
        {"{\"Device\\u0054oken\": \"old\", \"n\": {\"DeviceToken\": 1}}", "\"old\"",
         "{\"Device\\u0054oken\": \"t\", \"n\": {\"DeviceToken\": 1}}"},
        {"{\"b\": " + big + "}", "", "{\"b\": " + big + ",\n    \"DeviceToken\": \"t\"}"},
        {deep, "", deep.substr(0, deep.size() - 1) + ",\n    \"DeviceToken\": \"t\"}"},
        // Past a double's range, as JSON allows: kept as written.
        {"{\"DeviceToken\": 1e400, \"n\": [-1e309, 0.1e310, 1E+400, -0.0e-400]}", "1e400",
         "{\"DeviceToken\": \"t\", \"n\": [-1e309, 0.1e310, 1E+400, -0.0e-400]}"},
        {"{\"a\": 1e309, \"b\": \"1e400\\\"\", \"c\": " + std::string(400, '9') + "}", "",
         "{\"a\": 1e309, \"b\": \"1e400\\\"\", \"c\": " + std::string(400, '9') +
             ",\n    \"DeviceToken\": \"t\"}"},
    };
    for (const auto& c : cases) {
        const ParameterFileText file(c.text);
        EXPECT_EQ("", file.problem()) << c.text;
        EXPECT_EQ(c.earlier, file.valueText("DeviceToken").value_or("")) << c.text;
        EXPECT_EQ(c.changed, file.withValue("DeviceToken", "\"t\"")) << c.text;
        EXPECT_EQ("", ParameterFileText(file.withValue("DeviceToken", big)).problem()) << c.text;
    }
    // Members of the object only, by their names as read.
    const std::vector<std::pair<std::string, std::size_t>> counted{
        {"{}", 0},
        {"{\"DeviceToken\": 1, \"n\": {\"DeviceToken\": 2}}", 1},
        {"{\"DeviceToken\": 1, \"Device\\u0054oken\": 2, \"DeviceToken\": 3}", 3},
        {"{\"DeviceToken\": 1, \"DeviceToken\": 2,}", 0},
    };
    for (const auto& [text, count] : counted) {
        EXPECT_EQ(count, ParameterFileText(text).count("DeviceToken")) << text;
    }
}

TEST(InstallerPartsTest, DisplayTextKeepsCharactersBeyondTheBasicPlane) {
    const std::string rocket = "\xF0\x9F\x9A\x80";  // U+1F680
    // One code point per wide character, or the same as UTF-16 units.
    EXPECT_EQ("a" + rocket + "b", toDisplayText({L'a', static_cast<wchar_t>(0x1F680), L'b'}));
    EXPECT_EQ("a" + rocket + "b", toDisplayText({L'a', static_cast<wchar_t>(0xD83D),
                                                 static_cast<wchar_t>(0xDE80), L'b'}));
    EXPECT_EQ("Sch\xC3\xB6n \xE2\x80\xA6", toDisplayText(L"Sch\u00F6n \u2026"));
    // Halves of a pair on their own, or in the wrong order, are no character.
    const std::string replacement = "\xEF\xBF\xBD";
    EXPECT_EQ(replacement + "x", toDisplayText({static_cast<wchar_t>(0xD83D), L'x'}));
    EXPECT_EQ(replacement + replacement,
              toDisplayText({static_cast<wchar_t>(0xDE80), static_cast<wchar_t>(0xD83D)}));
    EXPECT_EQ(replacement, toDisplayText({static_cast<wchar_t>(0x110000)}));
}

}  // namespace
