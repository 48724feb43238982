#include <gtest/gtest.h>
#include <locale.h>
#include <sched.h>
#include <sys/mount.h>
#include <wchar.h>

#include <climits>
#include <clocale>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "common/logging/LogTextFormat.h"
#include "support/OwnNamespaces.h"

namespace {

// The text and length that formatLogText gives for a buffer of `size` bytes.
std::string logText(std::size_t size, const char* format, ...)
    __attribute__((format(printf, 2, 3)));
std::string logText(std::size_t size, const char* format, ...) {
    std::vector<char> buffer(size, 'X');
    va_list args;
    va_start(args, format);
    const std::size_t length = common::formatLogText(buffer.data(), size, format, args);
    va_end(args);
    if (buffer[length] != '\0') {
        return "<not terminated>";
    }
    return std::string(buffer.data(), length);
}

// What vsnprintf writes into a buffer of `size` bytes, up to its first zero.
std::string printfText(std::size_t size, const char* format, ...)
    __attribute__((format(printf, 2, 3)));
std::string printfText(std::size_t size, const char* format, ...) {
    std::vector<char> buffer(size);
    va_list args;
    va_start(args, format);
    std::vsnprintf(buffer.data(), size, format, args);
    va_end(args);
    return buffer.data();
}

const char* volatile g_null = nullptr;
const wchar_t* volatile g_wideNull = nullptr;

// Each case runs both with the same arguments for one buffer size.
#define BOTH(...)                                                                   \
    [](std::size_t size) {                                                          \
        return std::make_pair(logText(size, __VA_ARGS__), printfText(size, __VA_ARGS__)); \
    }

TEST(LogTextFormatTest, GivesWhatPrintfGivesForEveryConversionAndSize) {
    const std::pair<const char*, std::function<std::pair<std::string, std::string>(std::size_t)>>
        cases[] = {
            {"text only", BOTH("no conversion at all")},
            {"percent", BOTH("100%% done, %s", "ok")},
            {"string and int", BOTH("%s and %d and %i", "abc", -5, INT_MIN)},
            {"unsigned", BOTH("%u %u", 0u, UINT_MAX)},
            {"long", BOTH("%ld %lu", LONG_MIN, ULONG_MAX)},
            {"long long", BOTH("%lld %llu", LLONG_MIN, ULLONG_MAX)},
            {"size", BOTH("%zu %zd", SIZE_MAX, static_cast<ssize_t>(-7))},
            {"null string", BOTH("[%s]", static_cast<const char*>(g_null))},
            {"empty string", BOTH("[%s]%d", "", 1)},
            {"width and flags", BOTH("%5d|%-4s|%05u|%+d", 42, "ab", 7u, 3)},
            {"other conversions", BOTH("%x %o %c %.2f %e", 255u, 8u, 'z', 1.5, 2.0)},
            {"after a fallback", BOTH("%s %x %s", "first", 16u, "last")},
            {"long string", BOTH("%s|%d", std::string(20000, 'a').c_str(), 9)},
            {"lengths", BOTH("%hhx %hd %lx %llX %#o %zx %jd", 511u, -3, 255ul, 1ull << 40, 8u,
                             SIZE_MAX, static_cast<intmax_t>(-9))},
            {"floating and pointer", BOTH("%10.3f|%-9.2e|%Lg|%p", 3.14159, -2.5e10, 1.5L,
                                          reinterpret_cast<void*>(0x5eed))},
            {"zero character ends the text", BOTH("[%c] gone %s", 0, "too")},
            {"width from the arguments", BOTH("%*d|%-*s|", 6, 42, 4, "ab")},
            {"wide text in ASCII", BOTH("%S|%5S|%-5ls|%.2ls|%ls", L"ab", L"cd", L"ef", L"ghij",
                                        L"kl")},
            {"wide characters", BOTH("%lc%C|%3lc|%-3C|", static_cast<wint_t>(L'x'),
                                     static_cast<wint_t>(L'y'), static_cast<wint_t>(L'z'),
                                     static_cast<wint_t>(L'w'))},
            {"wide zero character", BOTH("[%3lc] gone", static_cast<wint_t>(0))},
            {"null wide text", BOTH("[%ls|%.3ls|%.6S]", g_wideNull, g_wideNull, g_wideNull)},
            {"wide text among others", BOTH("%S %x %s %5.1f", L"path", 255u, "s", 2.25)},
        };
    for (const auto& [name, run] : cases) {
        for (const std::size_t size : {std::size_t{16384}, std::size_t{9}, std::size_t{1}}) {
            const auto [ours, theirs] = run(size);
            EXPECT_EQ(theirs, ours) << name << ", buffer of " << size << " bytes";
        }
    }
}

// Wide text (a path, say) as the logger writes it, compared with its UTF-8, case by case; the
// mismatches are printed and counted.
int wideTextMismatches() {
    const wint_t oSlash = L'\u00f8';
    const wchar_t surrogate[] = {L'a', static_cast<wchar_t>(0xD800), L'b', 0};
    const std::pair<std::string, std::string> cases[] = {
        {logText(64, "write failed: %S", L"/tmp/a b \u00f8/x"), "write failed: /tmp/a b \xc3\xb8/x"},
        {logText(64, "wide %ls end", L"h\u00e9llo \u20ac \U0001F600"),
         "wide h\xc3\xa9llo \xe2\x82\xac \xf0\x9f\x98\x80 end"},
        {logText(9, "wide %S end", L"h\u00e9llo"), "wide h\xc3\xa9"},
        {logText(64, "[%.3ls]", L"\u00e9\u00e9"), "[\xc3\xa9]"},
        {logText(64, "[%5ls|%-4S]", L"\u00f8", L"\u00f8"), "[   \xc3\xb8|\xc3\xb8  ]"},
        {logText(64, "[%lc%C]", oSlash, static_cast<wint_t>(0x1F600)), "[\xc3\xb8\xf0\x9f\x98\x80]"},
        {logText(64, "bad %S here", surrogate), "bad a\xef\xbf\xbd" "b here"},
        {logText(64, "%S and %x", L"\u00f8", 255u), "\xc3\xb8 and ff"},
    };
    int mismatches = 0;
    for (const auto& [written, expected] : cases) {
        if (written != expected) {
            std::fprintf(stderr, "written [%s], expected [%s]\n", written.c_str(), expected.c_str());
            ++mismatches;
        }
    }
    return mismatches;
}

// In the POSIX locale, whose characters are ASCII only, vsnprintf cannot convert such text.
TEST(LogTextFormatTest, WideTextIsWrittenAsUtf8WhateverTheLocale) {
    const std::string previous = std::setlocale(LC_ALL, nullptr);
    std::setlocale(LC_ALL, "POSIX");
    EXPECT_EQ(0, wideTextMismatches());
    std::setlocale(LC_ALL, previous.c_str());
}

// Nor does the conversion need a UTF-8 locale installed: here, in a fresh process, none is.
TEST(LogTextFormatTest, WideTextIsWrittenAsUtf8WhereNoUtf8LocaleIsInstalled) {
    std::string reason;
    if (!testsupport::ownNamespacesWork(CLONE_NEWNS, reason)) {
        GTEST_SKIP() << "no mounts of the test's own to hide the locales: " << reason;
    }
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const auto withoutLocales = [] {
        std::string why;
        if (!testsupport::enterOwnNamespaces(CLONE_NEWNS, why) ||
            ::mount("none", "/usr/lib/locale", "tmpfs", 0, nullptr) != 0 ||
            ::newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(nullptr)) != nullptr) {
            // A C library with a UTF-8 locale of its own: nothing to show here.
            std::fprintf(stderr, "the locales cannot be hidden: %s\n", why.c_str());
            std::_Exit(0);
        }
        std::setlocale(LC_ALL, "POSIX");
        std::fprintf(stderr, "mismatches: %d\n", wideTextMismatches());
        std::_Exit(0);
    };
    EXPECT_EXIT(withoutLocales(), testing::ExitedWithCode(0),
                "mismatches: 0\n|the locales cannot be hidden");
}

}  // namespace
