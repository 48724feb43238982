#include <gtest/gtest.h>
#include <sys/resource.h>
#include <zlib.h>

#include <algorithm>
#include <string>

#include "network/DecodedHTTPResponse.h"
#include "network/PlainHTTPResponse.h"
#include "support/ChildProcess.h"
#include "support/Compressed.h"

namespace {

using network::DecodedHTTPResponse;

std::unique_ptr<DecodedHTTPResponse> Decode(const std::string& coded, std::uint64_t limit,
                                            const std::string& coding = "gzip") {
    auto plain = std::make_unique<network::PlainHTTPResponse>(
        network::HTTPHeaderList{{"Content-Encoding", coding}},
        core::NonInitializingBuffer<unsigned char>(
            reinterpret_cast<const unsigned char*>(coded.data()), coded.size()));
    return std::make_unique<DecodedHTTPResponse>(std::move(plain), limit);
}

long PeakKilobytes() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

// A small coded body decodes freely up to 64 MiB and to 100 times its size
// beyond, whatever the members and codings it comes in; a larger claim fails
// with a reason, and the memory spent stays near the bound (measured in a
// child, whose peak starts at its own size). Every gzip member is decoded,
// every coding of a list undone; a coding not known leaves no body, unless
// there is none (no zeros: an empty body).
TEST(DecodedHTTPResponseTest, ABodyMayNotDecodeFarBeyondItsCodedSize) {
    struct Case {
        std::uint64_t zeros;  // in each member
        std::uint64_t limit;
        bool valid;
        std::string coding = "gzip";
        int members = 1;
        bool gzipOverIt = false;  // the members gzip-coded once more
    };
    const Case cases[] = {
        {1 << 20, UINT64_MAX, true},
        {DecodedHTTPResponse::kFreeDecodedSize, UINT64_MAX, true},
        {DecodedHTTPResponse::kFreeDecodedSize + 1, UINT64_MAX, false},
        {1 << 20, (1 << 20) - 1, false},
        {1 << 20, UINT64_MAX, true, "gzip", 3},
        {1 << 20, (3 << 20) - 1, false, "gzip", 3},
        {DecodedHTTPResponse::kFreeDecodedSize / 2 + 1, UINT64_MAX, false, "gzip", 2},
        {1 << 20, UINT64_MAX, true, "gzip, x-gzip", 2, true},
        {1 << 20, UINT64_MAX, true, "gzip, identity"},
        {1 << 20, UINT64_MAX, false, "br"},
        {1 << 20, UINT64_MAX, false, "gzip, br"},
        {0, UINT64_MAX, true, "br"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.coding + ", " + std::to_string(c.members) + " members of " +
                     std::to_string(c.zeros) + " zeros, limit " + std::to_string(c.limit));
        std::string body;
        for (int i = 0; c.zeros > 0 && i < c.members; ++i) {
            body += testsupport::gzipZeros(c.zeros);
        }
        const auto decoded =
            Decode(c.gzipOverIt ? testsupport::compressed(body, 31) : body, c.limit, c.coding);
        EXPECT_EQ(decoded->IsValid(), c.valid);
        EXPECT_EQ(decoded->Error().empty(), c.valid) << decoded->Error();
        const auto taken = decoded->TakeBody();
        EXPECT_EQ(taken.size(), c.valid ? c.zeros * static_cast<std::uint64_t>(c.members) : 0u);
        EXPECT_TRUE(std::all_of(taken.begin(), taken.end(), [](unsigned char b) { return b == 0; }));
    }
    EXPECT_EQ("the content coding \"br\" is not known",
              Decode(testsupport::gzipZeros(1), UINT64_MAX, "br")->Error());
    const std::string bomb = testsupport::gzipZeros(std::uint64_t{1} << 29);
    ASSERT_LT(bomb.size(), 1u << 20);
    const auto child = testsupport::runInChild([&] {
        const long before = PeakKilobytes();
        const auto decoded = Decode(bomb, std::uint64_t{1} << 32);
        const long grown = PeakKilobytes() - before;
        return !decoded->IsValid() && decoded->Error().find("decodes to more than") != std::string::npos &&
                       grown < 256 * 1024
                   ? 0
                   : 1;
    });
    EXPECT_TRUE(child.exited);
    EXPECT_EQ(child.exitCode, 0) << "the bomb was decoded, or took too much memory";
}

}  // namespace
