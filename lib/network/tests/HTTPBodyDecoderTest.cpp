#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "network/HTTPBodyDecoder.h"
#include "support/Compressed.h"

namespace {

using network::HTTPBodyDecoder;
using Result = HTTPBodyDecoder::Result;
using testsupport::compressed;

struct Decoded {
    Result fed = Result::Ok;       // the first result other than Ok while feeding
    Result finished = Result::Ok;  // Finish, when feeding went well
    std::string body;
    std::size_t largestPiece = 0;
    std::string error;
};

// Feeds `coded` in pieces of `step` bytes (0: at once), then finishes.
Decoded Decode(const std::string& codings, const std::string& coded, std::size_t step,
               std::uint64_t limit = UINT64_MAX) {
    std::vector<HTTPBodyDecoder::Coding> list;
    std::string unknown;
    EXPECT_TRUE(HTTPBodyDecoder::ParseCodings(codings, list, unknown)) << unknown;
    HTTPBodyDecoder decoder(list, limit);
    Decoded decoded;
    const auto output = [&decoded](const unsigned char* data, std::size_t size) {
        decoded.body.append(reinterpret_cast<const char*>(data), size);
        decoded.largestPiece = std::max(decoded.largestPiece, size);
        return true;
    };
    const auto* bytes = reinterpret_cast<const unsigned char*>(coded.data());
    for (std::size_t at = 0; at < coded.size() && decoded.fed == Result::Ok;) {
        const std::size_t size = step == 0 ? coded.size() : std::min(step, coded.size() - at);
        decoded.fed = decoder.Feed(bytes + at, size, output);
        at += size;
    }
    if (decoded.fed == Result::Ok) {
        decoded.finished = decoder.Finish();
    }
    decoded.error = decoder.Error();
    return decoded;
}

// Every coding alike whole, byte by byte and in pieces; a stream that is
// corrupt, cut short or followed by bytes fails, and so does one over the
// limit, before it hands on more than the limit.
TEST(HTTPBodyDecoderTest, DecodesEveryCodingAlikeInPiecesOfAnySize) {
    const std::string text = testsupport::compressibleText(3000);
    const std::string large = testsupport::compressibleText(1 << 20);
    const std::string gzip = compressed(text, 31);
    const std::string zlib = compressed(text, 15);
    struct Case {
        const char* name;
        std::string codings;
        std::string coded;
        Result fed;
        Result finished;
        std::string body;
        std::uint64_t limit = UINT64_MAX;
    };
    const Case cases[] = {
        {"gzip", "gzip", gzip, Result::Ok, Result::Ok, text},
        {"x-gzip in capitals", "X-GZIP", gzip, Result::Ok, Result::Ok, text},
        {"deflate, zlib format", "deflate", zlib, Result::Ok, Result::Ok, text},
        {"deflate, raw", "deflate", compressed(text, -15), Result::Ok, Result::Ok, text},
        {"two gzip members", "gzip", gzip + compressed("more", 31), Result::Ok, Result::Ok,
         text + "more"},
        {"deflate, then gzip", "deflate, gzip", compressed(zlib, 31), Result::Ok, Result::Ok, text},
        {"identity around gzip", "identity, gzip ,identity", gzip, Result::Ok, Result::Ok, text},
        {"large, in bounded pieces", "gzip", compressed(large, 31), Result::Ok, Result::Ok, large},
        {"nothing at all", "gzip", "", Result::Ok, Result::Ok, ""},
        {"gzip cut short", "gzip", gzip.substr(0, gzip.size() - 4), Result::Ok, Result::Failed, ""},
        {"deflate of one byte", "deflate", zlib.substr(0, 1), Result::Ok, Result::Failed, ""},
        {"not gzip", "gzip", "not gzip at all", Result::Failed, Result::Ok, ""},
        {"zlib with bytes behind", "deflate", zlib + "x", Result::Failed, Result::Ok, ""},
        {"gzip with bytes behind", "gzip", gzip + "trailing", Result::Failed, Result::Ok, ""},
        {"over the limit", "gzip", gzip, Result::Failed, Result::Ok, "", text.size() - 1},
        {"at the limit", "gzip", gzip, Result::Ok, Result::Ok, text, text.size()},
    };
    for (const auto& c : cases) {
        for (const std::size_t step :
             {std::size_t{0}, std::size_t{1}, std::size_t{7}, std::size_t{5000}}) {
            const std::string where = std::string(c.name) + " in pieces of " + std::to_string(step);
            const Decoded decoded = Decode(c.codings, c.coded, step, c.limit);
            EXPECT_EQ(decoded.fed, c.fed) << where << ": " << decoded.error;
            EXPECT_EQ(decoded.finished, c.finished) << where << ": " << decoded.error;
            EXPECT_LE(decoded.body.size(), c.limit) << where;
            EXPECT_LE(decoded.largestPiece, HTTPBodyDecoder::kPieceSize) << where;
            if (c.fed == Result::Ok && c.finished == Result::Ok) {
                EXPECT_TRUE(decoded.body == c.body)
                    << where << ": " << decoded.body.size() << " bytes";
            } else {
                EXPECT_FALSE(decoded.error.empty()) << where;
            }
        }
    }
    std::vector<HTTPBodyDecoder::Coding> list;
    std::string unknown;
    EXPECT_FALSE(HTTPBodyDecoder::ParseCodings("gzip, br, zstd", list, unknown));
    EXPECT_EQ(unknown, "br");
}

// A body that decodes far beyond its size is stopped mid-stream, on the
// running totals: past the free allowance, never more than the ratio allows
// for the coded bytes taken so far is handed on. An output that refuses a
// piece stops the decoding too.
TEST(HTTPBodyDecoderTest, TheRatioGuardStopsABombMidStream) {
    const std::string bomb = testsupport::gzipZeros(std::uint64_t{128} << 20);
    ASSERT_LT(bomb.size(), 1u << 20);
    HTTPBodyDecoder decoder({HTTPBodyDecoder::Coding::Gzip}, UINT64_MAX);
    std::uint64_t handedOn = 0;
    bool withinBound = true;
    const auto output = [&](const unsigned char*, std::size_t size) {
        handedOn += size;
        withinBound = withinBound &&
                      handedOn <= HTTPBodyDecoder::DecodedBound(decoder.CodedSize(), UINT64_MAX);
        return true;
    };
    std::size_t fed = 0;
    Result result = Result::Ok;
    const auto* bytes = reinterpret_cast<const unsigned char*>(bomb.data());
    while (fed < bomb.size() && result == Result::Ok) {
        const std::size_t size = std::min<std::size_t>(4096, bomb.size() - fed);
        result = decoder.Feed(bytes + fed, size, output);
        fed += size;
    }
    EXPECT_EQ(result, Result::Failed);
    EXPECT_LT(fed, bomb.size()) << "stopped only at the end";
    EXPECT_TRUE(withinBound);
    EXPECT_LE(handedOn, HTTPBodyDecoder::kFreeDecodedSize);
    EXPECT_NE(decoder.Error().find("decodes to more than"), std::string::npos) << decoder.Error();

    HTTPBodyDecoder refusing({HTTPBodyDecoder::Coding::Gzip}, UINT64_MAX);
    const std::string gzip = compressed(testsupport::compressibleText(1000), 31);
    EXPECT_EQ(refusing.Feed(reinterpret_cast<const unsigned char*>(gzip.data()), gzip.size(),
                            [](const unsigned char*, std::size_t) { return false; }),
              Result::Refused);
    EXPECT_EQ(refusing.Finish(), Result::Failed);
}

}  // namespace
