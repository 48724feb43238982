#include <gtest/gtest.h>

#include <zlib.h>

#include <string>
#include <vector>

#include "support/Compressed.h"
#include "ContentDecoder.h"

namespace {

using Status = ContentDecoder::Status;

using testsupport::compressed;

struct Decoded {
    Status status = Status::ok;
    std::string text;
    std::size_t largestPiece = 0;
};

// Decodes `body` in pieces of `step` bytes, then finishes.
Decoded decodeIn(const std::string& coding, const std::string& body, std::size_t step,
                 std::int64_t limit = std::int64_t{1} << 31) {
    auto decoder = ContentDecoder::forEncoding(coding, limit);
    Decoded result;
    if (!decoder) {
        ADD_FAILURE() << "no decoder for " << coding;
        return result;
    }
    const ContentDecoder::Sink sink = [&](const char* data, std::size_t size) {
        result.text.append(data, size);
        result.largestPiece = std::max(result.largestPiece, size);
        return true;
    };
    for (std::size_t at = 0; at < body.size() && result.status == Status::ok; at += step) {
        result.status = decoder->decode(body.data() + at, std::min(step, body.size() - at), sink);
    }
    if (result.status == Status::ok) {
        result.status = decoder->finish();
    }
    return result;
}

std::string text(std::size_t size) {
    std::string out;
    for (std::size_t i = 0; out.size() < size; ++i) {
        out += "line " + std::to_string(i * 7919 % 100003) + "\n";
    }
    out.resize(size);
    return out;
}

// Each coding decodes to the same text whole or in pieces of any size (a
// "deflate" body may be a zlib stream or raw deflate); bytes after the end
// of the stream are ignored; a stream cut short or damaged fails.
TEST(ContentDecoderTest, CodedBodiesDecodeAlikeInAnyPiecesAndDamageFails) {
    const std::string plain = text(300000);
    const std::string gzip = compressed(plain, 31);
    std::string damaged = gzip;
    damaged[damaged.size() / 2] ^= 0x55;
    const struct {
        const char* what;
        const char* coding;
        std::string body;
        Status status;
    } cases[] = {
        {"gzip", "gzip", gzip, Status::ok},
        {"x-gzip, padded", " X-Gzip ", gzip, Status::ok},
        {"zlib deflate", "deflate", compressed(plain, 15), Status::ok},
        {"raw deflate", "deflate", compressed(plain, -15), Status::ok},
        {"trailing bytes", "gzip", gzip + "trailing", Status::ok},
        {"cut short", "gzip", gzip.substr(0, gzip.size() - 9), Status::damaged},
        {"damaged", "gzip", damaged, Status::damaged},
        {"not coded", "deflate", "\xff\xff\xff\xff plain", Status::damaged},
    };
    for (const auto& c : cases) {
        for (const std::size_t step : {c.body.size(), std::size_t{4096}, std::size_t{1}}) {
            SCOPED_TRACE(std::string(c.what) + ", pieces of " + std::to_string(step));
            const auto decoded = decodeIn(c.coding, c.body, step);
            EXPECT_EQ(c.status, decoded.status);
            if (c.status == Status::ok) {
                EXPECT_TRUE(decoded.text == plain) << decoded.text.size() << " bytes";
            }
            EXPECT_LE(decoded.largestPiece, ContentDecoder::kOutputPiece);
        }
    }
    for (const char* coding : {"", "identity", "br", "gzip, deflate"}) {
        EXPECT_EQ(nullptr, ContentDecoder::forEncoding(coding, 1)) << coding;
    }
}

// The output stops at the limit, and at forty times the input once past the
// safety threshold (a bomb, and a body of a hundred to one), before more than
// that reaches the sink; a body that compresses less than that passes the
// threshold.
TEST(ContentDecoderTest, OutputIsBoundedByTheLimitAndTheRatio) {
    const std::string zeros(64 << 20, '\0');
    const std::string bomb = compressed(zeros, 31);
    const std::string dense = text(24 << 20);
    const std::string denseGzip = compressed(dense, 31);
    ASSERT_LT(dense.size(), 40 * denseGzip.size());
    // About a hundred to one: zeros with a byte of noise every 400.
    std::string sparse(16 << 20, '\0');
    std::uint32_t noise = 1;
    for (std::size_t at = 0; at < sparse.size(); at += 400) {
        noise = noise * 1664525u + 1013904223u;
        sparse[at] = static_cast<char>(noise >> 24);
    }
    const std::string sparseGzip = compressed(sparse, 31);
    ASSERT_GT(sparse.size(), 60 * sparseGzip.size());
    ASSERT_LT(sparse.size(), 200 * sparseGzip.size());
    const struct {
        const char* what;
        std::string body;
        std::int64_t limit;
        Status status;
        std::size_t most;
    } cases[] = {
        {"bomb", bomb, std::int64_t{1} << 31, Status::tooLarge,
         ContentDecoder::kSafetyThreshold},
        {"over the limit", denseGzip, 1 << 20, Status::tooLarge, 1 << 20},
        {"dense past the threshold", denseGzip, std::int64_t{1} << 31, Status::ok, dense.size()},
        {"a hundred to one past the threshold", sparseGzip, std::int64_t{1} << 31, Status::tooLarge,
         ContentDecoder::kSafetyThreshold},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const auto decoded = decodeIn("gzip", c.body, 1 << 20, c.limit);
        EXPECT_EQ(c.status, decoded.status);
        EXPECT_LE(decoded.text.size(), c.most);
    }
}

}  // namespace
