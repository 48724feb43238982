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
    std::string problem;
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
    result.problem = decoder->problem();
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
// "deflate" body may be a zlib stream or raw deflate, a gzip body any number
// of members); a list of codings is undone last one first, "identity"
// skipped. A stream cut short or damaged fails, and so do bytes after its
// end that are no gzip member, and a coding that is not known: nothing
// still coded reaches the sink, and the failure is said.
TEST(ContentDecoderTest, CodedBodiesDecodeAlikeInAnyPiecesAndDamageFails) {
    const std::string plain = text(300000);
    const std::string gzip = compressed(plain, 31);
    const std::string half = plain.substr(0, plain.size() / 2);
    const std::string members = compressed(half, 31) + compressed(plain.substr(half.size()), 31);
    std::string damaged = gzip;
    damaged[damaged.size() / 2] ^= 0x55;
    const struct {
        const char* what;
        const char* coding;
        std::string body;
        Status status;
        std::string problem = "";  // within what problem() says
    } cases[] = {
        {"gzip", "gzip", gzip, Status::ok},
        {"x-gzip, padded", " X-Gzip ", gzip, Status::ok},
        {"zlib deflate", "deflate", compressed(plain, 15), Status::ok},
        {"raw deflate", "deflate", compressed(plain, -15), Status::ok},
        {"two gzip members", "gzip", members, Status::ok},
        {"a member of nothing between two", "gzip",
         compressed(half, 31) + compressed("", 31) + compressed(plain.substr(half.size()), 31),
         Status::ok},
        {"gzip over gzip", "gzip, gzip", compressed(gzip, 31), Status::ok},
        {"gzip over deflate, x-gzip", "deflate,X-GZIP", compressed(compressed(plain, 15), 31),
         Status::ok},
        {"identity beside gzip", "gzip, identity", gzip, Status::ok},
        {"empty elements", ", gzip,,", gzip, Status::ok},
        {"trailing bytes", "gzip", gzip + "trailing", Status::damaged, "damaged"},
        {"a gzip head alone behind", "gzip", gzip + gzip.substr(0, 10), Status::damaged,
         "ends early"},
        {"a zlib stream with bytes behind", "deflate", compressed(plain, 15) + "x",
         Status::damaged, "bytes follow the end"},
        {"gzip over gzip, undone once", "gzip, gzip", gzip, Status::damaged},
        {"cut short", "gzip", gzip.substr(0, gzip.size() - 9), Status::damaged},
        // What came before the damage was found is no text: it is not checked.
        {"damaged", "gzip", damaged, Status::damaged, "damaged"},
        {"not coded", "deflate", "\xff\xff\xff\xff plain", Status::damaged},
        {"a coding not known", "br", gzip, Status::damaged, "the content coding \"br\" is not known"},
        {"a known coding over one not known", "compress, gzip", compressed(gzip, 31),
         Status::damaged, "\"compress\" is not known"},
    };
    for (const auto& c : cases) {
        for (const std::size_t step : {c.body.size(), std::size_t{4096}, std::size_t{1}}) {
            SCOPED_TRACE(std::string(c.what) + ", pieces of " + std::to_string(step));
            const auto decoded = decodeIn(c.coding, c.body, step);
            EXPECT_EQ(c.status, decoded.status);
            if (c.status == Status::ok) {
                EXPECT_TRUE(decoded.text == plain) << decoded.text.size() << " bytes";
                EXPECT_EQ("", decoded.problem);
            } else {
                // Bytes still coded never pass for decoded ones.
                EXPECT_TRUE(c.body == damaged ||
                            plain.compare(0, decoded.text.size(), decoded.text) == 0)
                    << decoded.text.size() << " bytes not of the text";
                EXPECT_NE(std::string::npos, decoded.problem.find(c.problem)) << decoded.problem;
                EXPECT_NE("", decoded.problem);
            }
            EXPECT_LE(decoded.largestPiece, ContentDecoder::kOutputPiece);
        }
    }
    for (const char* coding : {"", "identity", " , identity,"}) {
        EXPECT_EQ(nullptr, ContentDecoder::forEncoding(coding, 1)) << coding;
    }
    // An empty body has nothing coded in it, in any coding.
    for (const char* coding : {"gzip", "deflate", "br"}) {
        auto decoder = ContentDecoder::forEncoding(coding, 1);
        ASSERT_NE(nullptr, decoder) << coding;
        EXPECT_EQ(Status::ok, decoder->finish()) << coding;
    }
}

// The output stops at the limit, and at forty times the input once past the
// safety threshold (a bomb, and a body of a hundred to one), before more than
// that reaches the sink, whatever the codings and members it comes in; a
// body that compresses less than that passes the threshold.
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
        const char* coding = "gzip";
    } cases[] = {
        {"bomb", bomb, std::int64_t{1} << 31, Status::tooLarge,
         ContentDecoder::kSafetyThreshold},
        {"over the limit", denseGzip, 1 << 20, Status::tooLarge, 1 << 20},
        {"dense past the threshold", denseGzip, std::int64_t{1} << 31, Status::ok, dense.size()},
        {"a hundred to one past the threshold", sparseGzip, std::int64_t{1} << 31, Status::tooLarge,
         ContentDecoder::kSafetyThreshold},
        // The bounds hold over the whole list of codings, and over members.
        {"bomb under gzip", compressed(bomb, 31), std::int64_t{1} << 31, Status::tooLarge,
         ContentDecoder::kSafetyThreshold, "gzip, gzip"},
        {"over the limit under two codings", compressed(compressed(dense, 15), 31), 1 << 20,
         Status::tooLarge, 1 << 20, "deflate, gzip"},
        {"dense under two codings", compressed(denseGzip, 31), std::int64_t{1} << 31, Status::ok,
         dense.size(), "gzip, gzip"},
        {"bomb in the second member", compressed("x", 31) + bomb,
         std::int64_t{1} << 31, Status::tooLarge, ContentDecoder::kSafetyThreshold + 1},
        {"over the limit in the second member", compressed(dense.substr(0, 1 << 19), 31) + denseGzip,
         1 << 20, Status::tooLarge, 1 << 20},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const auto decoded = decodeIn(c.coding, c.body, 1 << 20, c.limit);
        EXPECT_EQ(c.status, decoded.status);
        EXPECT_LE(decoded.text.size(), c.most);
        if (c.status == Status::ok) {
            EXPECT_TRUE(decoded.text == dense) << decoded.text.size() << " bytes";
        }
    }
}

}  // namespace
