#include <gtest/gtest.h>

#include <climits>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "common/logging/LogTextFormat.h"

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
        };
    for (const auto& [name, run] : cases) {
        for (const std::size_t size : {std::size_t{16384}, std::size_t{9}, std::size_t{1}}) {
            const auto [ours, theirs] = run(size);
            EXPECT_EQ(theirs, ours) << name << ", buffer of " << size << " bytes";
        }
    }
}

// "%S" is written as UTF-8 whatever the process's locale (vsnprintf in the
// C locale stops at the first character beyond ASCII).
TEST(LogTextFormatTest, WideTextIsWrittenAsUtf8) {
    EXPECT_EQ("wide h\xc3\xa9llo \xe2\x82\xac end", logText(64, "wide %S end", L"h\u00e9llo \u20ac"));
    EXPECT_EQ("wide h\xc3\xa9", logText(9, "wide %S end", L"h\u00e9llo"));
}

}  // namespace
