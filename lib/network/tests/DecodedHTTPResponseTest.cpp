#include <gtest/gtest.h>
#include <sys/resource.h>
#include <zlib.h>

#include <string>

#include "network/DecodedHTTPResponse.h"
#include "network/PlainHTTPResponse.h"
#include "support/ChildProcess.h"
#include "support/Compressed.h"

namespace {

using network::DecodedHTTPResponse;

std::unique_ptr<DecodedHTTPResponse> Decode(const std::string& coded, std::uint64_t limit) {
    auto plain = std::make_unique<network::PlainHTTPResponse>(
        network::HTTPHeaderList{{"Content-Encoding", "gzip"}},
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
// beyond; a larger claim fails with a reason, and the memory spent stays
// near the bound (measured in a child, whose peak starts at its own size).
TEST(DecodedHTTPResponseTest, ABodyMayNotDecodeFarBeyondItsCodedSize) {
    struct Case {
        std::uint64_t zeros;
        std::uint64_t limit;
        bool valid;
    };
    const Case cases[] = {
        {1 << 20, UINT64_MAX, true},
        {DecodedHTTPResponse::kFreeDecodedSize, UINT64_MAX, true},
        {DecodedHTTPResponse::kFreeDecodedSize + 1, UINT64_MAX, false},
        {1 << 20, (1 << 20) - 1, false},
    };
    for (const auto& c : cases) {
        const auto decoded = Decode(testsupport::gzipZeros(c.zeros), c.limit);
        EXPECT_EQ(decoded->IsValid(), c.valid) << c.zeros << " zeros, limit " << c.limit;
        EXPECT_EQ(decoded->Error().empty(), c.valid) << c.zeros;
        EXPECT_EQ(decoded->TakeBody().size(), c.valid ? c.zeros : 0u) << c.zeros;
    }
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
