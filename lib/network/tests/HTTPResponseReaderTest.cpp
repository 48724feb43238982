#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <random>
#include <string>

#include "network/HTTPResponseReader.h"
#include "support/ChunkedBody.h"
#include "support/Compressed.h"
#include "support/Mutations.h"

namespace {

using network::HTTPResponseReader;
using networktest::Chunked;
using Result = HTTPResponseReader::Result;

struct Outcome {
    Result result = Result::NeedMore;
    std::uint32_t status = 0;
    std::string body;
    std::size_t consumed = 0;  // bytes of the input that belonged to the response
    bool mustClose = false;
};

// Feeds `wire` in pieces of `step` bytes (0: all at once), then reports the
// end of the stream when the response is still open.
Outcome Read(const std::string& wire, std::size_t step, bool head = false, bool connect = false,
             std::uint64_t bodyLimit = HTTPResponseReader::kDefaultBodyLimit) {
    HTTPResponseReader reader(head, connect, bodyLimit);
    Outcome outcome;
    const auto* bytes = reinterpret_cast<const unsigned char*>(wire.data());
    std::size_t at = 0;
    while (at < wire.size() && outcome.result == Result::NeedMore) {
        const std::size_t size = step == 0 ? wire.size() : std::min(step, wire.size() - at);
        std::size_t consumed = 0;
        outcome.result = reader.Feed(bytes + at, size, consumed);
        EXPECT_LE(consumed, size);
        at += consumed;
        if (outcome.result == Result::NeedMore) {
            EXPECT_EQ(consumed, size) << "an open response takes every byte";
        }
    }
    if (outcome.result == Result::NeedMore) {
        outcome.result = reader.Finish();
    }
    outcome.status = reader.Status();
    outcome.body.assign(reader.Body().begin(), reader.Body().end());
    outcome.consumed = at;
    outcome.mustClose = reader.FramingRequiresClose();
    return outcome;
}

struct Case {
    const char* name;
    std::string wire;
    Result result;
    std::uint32_t status;
    std::string body;
    std::size_t rest = 0;  // bytes left behind a complete response
};

// Each case read whole, byte by byte and in pieces of 7 bytes.
template <std::size_t N>
void ExpectAlikeWholeAndInPieces(const Case (&cases)[N]) {
    for (const auto& c : cases) {
        for (const std::size_t step : {std::size_t{0}, std::size_t{1}, std::size_t{7}}) {
            const Outcome outcome = Read(c.wire, step);
            const std::string where = std::string(c.name) + " in pieces of " + std::to_string(step);
            EXPECT_EQ(outcome.result, c.result) << where;
            if (c.result == Result::Done) {
                EXPECT_EQ(outcome.status, c.status) << where;
                EXPECT_EQ(outcome.body, c.body) << where;
                EXPECT_EQ(c.wire.size() - outcome.consumed, c.rest) << where;
            }
        }
    }
}

const std::string kOk = "HTTP/1.1 200 OK\r\n";

// Transfer codings besides chunked: undone as the body arrives, or, when
// not known or applied over chunked, an error; never the coded bytes as the
// body.
TEST(HTTPResponseReaderTest, TransferCodingsAreUndoneOrRefused) {
    const std::string text = "a text to be coded, a text to be coded, a text to be coded";
    const std::string gzip = testsupport::compressed(text, 31);
    const std::string te = kOk + "Transfer-Encoding: ";
    const Case cases[] = {
        {"gzip, chunked", te + "gzip, chunked\r\n\r\n" + Chunked(gzip, 9) + "NEXT", Result::Done,
         200, text, 4},
        {"identity, deflate and chunked in two fields",
         te + "identity, deflate\r\nTransfer-Encoding: Chunked\r\n\r\n" +
             Chunked(testsupport::compressed(text, 15)),
         Result::Done, 200, text},
        {"gzip to the end of the stream", te + "gzip\r\n\r\n" + gzip, Result::Done, 200, text},
        {"gzip cut short by the stream", te + "gzip\r\n\r\n" + gzip.substr(0, 20), Result::Error,
         200, ""},
        {"gzip cut short in whole chunks",
         te + "gzip, chunked\r\n\r\n" + Chunked(gzip.substr(0, gzip.size() - 1)), Result::Error,
         200, ""},
        {"unknown coding", te + "br, chunked\r\n\r\n" + Chunked("coded"), Result::Error, 200, ""},
        {"unknown coding alone", te + "compress\r\n\r\ncoded", Result::Error, 200, ""},
        {"chunked, gzip", te + "chunked, gzip\r\n\r\n" + gzip, Result::Error, 200, ""},
        {"chunked twice",
         te + "chunked\r\nTransfer-Encoding: chunked\r\n\r\n" + Chunked(Chunked("x")),
         Result::Error, 200, ""},
        {"no body for a 304", "HTTP/1.1 304 Not Modified\r\nTransfer-Encoding: br, chunked\r\n\r\n",
         Result::Done, 304, ""},
    };
    ExpectAlikeWholeAndInPieces(cases);
}

TEST(HTTPResponseReaderTest, FramesEveryResponseAlikeWholeAndByteByByte) {
    const Case cases[] = {
        {"fixed length", kOk + "Content-Length: 5\r\n\r\nhello", Result::Done, 200, "hello"},
        {"fixed length, bytes behind", kOk + "Content-Length: 2\r\n\r\nhello", Result::Done, 200,
         "he", 3},
        {"length with blanks", kOk + "Content-Length:  3 \r\n\r\nabc", Result::Done, 200, "abc"},
        {"equal duplicate lengths", kOk + "Content-Length: 3\r\nContent-Length: 3\r\n\r\nabc",
         Result::Done, 200, "abc"},
        {"differing lengths", kOk + "Content-Length: 3\r\nContent-Length: 4\r\n\r\nabcd",
         Result::Error, 200, ""},
        {"negative length", kOk + "Content-Length: -1\r\n\r\n", Result::Error, 200, ""},
        {"signed length", kOk + "Content-Length: +5\r\n\r\nhello", Result::Error, 200, ""},
        {"length not a number", kOk + "Content-Length: 5x\r\n\r\nhello", Result::Error, 200, ""},
        // 2^64 + 5: it must not wrap around to 5.
        {"20-digit length", kOk + "Content-Length: 18446744073709551621\r\n\r\nhello", Result::Error,
         200, ""},
        {"19-digit length over the limit", kOk + "Content-Length: 9999999999999999999\r\n\r\nhello",
         Result::Error, 200, ""},
        {"body cut short", kOk + "Content-Length: 10\r\n\r\nhello", Result::Error, 200, "hello"},
        {"chunked", kOk + "Transfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n6\r\n world\r\n0\r\n\r\n",
         Result::Done, 200, "hello world"},
        {"chunked, two chunks and bytes behind",
         kOk + "Transfer-Encoding: chunked\r\n\r\n1\r\na\r\n1\r\nb\r\n0\r\n\r\nNEXT", Result::Done,
         200, "ab", 4},
        {"chunk extension and upper-case hex",
         kOk + "Transfer-Encoding: chunked\r\n\r\n1A;ext=1\r\nabcdefghijklmnopqrstuvwxyz\r\n0\r\n\r\n",
         Result::Done, 200, "abcdefghijklmnopqrstuvwxyz"},
        {"trailers are read", kOk + "Transfer-Encoding: chunked\r\n\r\n1\r\na\r\n0\r\nX-T: 1\r\n\r\nN",
         Result::Done, 200, "a", 1},
        {"size line without digits", kOk + "Transfer-Encoding: chunked\r\n\r\n;x\r\n\r\n",
         Result::Error, 200, ""},
        {"size line with garbage", kOk + "Transfer-Encoding: chunked\r\n\r\n5z\r\nhello\r\n0\r\n\r\n",
         Result::Error, 200, ""},
        {"chunk without its CRLF", kOk + "Transfer-Encoding: chunked\r\n\r\n1\r\nabc\r\n0\r\n\r\n",
         Result::Error, 200, "a"},
        {"chunk ends with other bytes than CRLF",
         kOk + "Transfer-Encoding: chunked\r\n\r\n1\r\naXY0\r\n\r\n", Result::Error, 200, ""},
        {"end of stream between chunks", kOk + "Transfer-Encoding: chunked\r\n\r\n1\r\na\r\n",
         Result::Error, 200, "a"},
        {"end of stream in the trailers", kOk + "Transfer-Encoding: chunked\r\n\r\n0\r\n",
         Result::Error, 200, ""},
        {"huge chunk size", kOk + "Transfer-Encoding: chunked\r\n\r\nffffffffffffffffff\r\n",
         Result::Error, 200, ""},
        {"chunked wins over length",
         kOk + "Content-Length: 100\r\nTransfer-Encoding: chunked\r\n\r\n1\r\na\r\n0\r\n\r\n",
         Result::Done, 200, "a"},
        {"no framing reads to the end", kOk + "\r\nuntil the end", Result::Done, 200, "until the end"},
        {"HTTP/1.0 to the end", "HTTP/1.0 200 OK\r\n\r\nold", Result::Done, 200, "old"},
        {"204 with a length has no body", "HTTP/1.1 204 No Content\r\nContent-Length: 5\r\n\r\nNEXT",
         Result::Done, 204, "", 4},
        {"304 with a length has no body", "HTTP/1.1 304 Not Modified\r\nContent-Length: 5\r\n\r\n",
         Result::Done, 304, ""},
        {"interim answers are skipped",
         "HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 103 Early\r\nLink: x\r\n\r\n" + kOk +
             "Content-Length: 2\r\n\r\nok",
         Result::Done, 200, "ok"},
        {"101 ends the response", "HTTP/1.1 101 Switching\r\nUpgrade: x\r\n\r\nFRAME", Result::Done,
         101, "", 5},
        {"status 099", "HTTP/1.1 099 Low\r\n\r\n", Result::InvalidStatus, 0, ""},
        {"status 1000", "HTTP/1.1 1000 High\r\n\r\n", Result::InvalidStatus, 0, ""},
        {"status word", "HTTP/1.1 OK 200\r\n\r\n", Result::InvalidStatus, 0, ""},
        {"not HTTP", "SMTP/1.1 200 OK\r\n\r\n", Result::InvalidStatus, 0, ""},
        {"status 999", "HTTP/1.1 999 Odd\r\nContent-Length: 0\r\n\r\n", Result::Done, 999, ""},
        {"bare LF lines", "HTTP/1.1 200 OK\nContent-Length: 2\n\nok", Result::Done, 200, "ok"},
        {"head cut short", "HTTP/1.1 200 OK\r\nContent-Le", Result::Error, 200, ""},
        {"nothing at all", "", Result::Error, 0, ""},
        {"header without a name", kOk + ": x\r\n\r\n", Result::Error, 200, ""},
        {"NUL in a header value", kOk + std::string("X: a\0b\r\nContent-Length: 0\r\n\r\n", 29),
         Result::Error, 200, ""},
        {"bare CR in a header value", kOk + "Location: /a\rX-Injected: 1\r\nContent-Length: 0\r\n\r\n",
         Result::Error, 200, ""},
        {"bare CR in a header name", kOk + "X\rY: 1\r\nContent-Length: 0\r\n\r\n", Result::Error,
         200, ""},
        {"CRLF line ends are no bare CRs", kOk + "X: 1\r\nContent-Length: 0\r\n\r\n",
         Result::Done, 200, ""},
        {"oversized header block", kOk + "X: " + std::string(70 * 1024, 'a') + "\r\n\r\n",
         Result::Error, 200, ""},
        {"many small header lines",
         [] {
             std::string wire = kOk;
             for (int i = 0; i < 3000; ++i) {
                 wire += "X-Line: 1234567890123456789\r\n";
             }
             return wire + "Content-Length: 0\r\n\r\n";
         }(),
         Result::Error, 200, ""},
        {"oversized chunk line",
         kOk + "Transfer-Encoding: chunked\r\n\r\n1;" + std::string(5000, 'e') + "\r\na\r\n0\r\n\r\n",
         Result::Error, 200, ""},
        {"endless interim answers",
         [] {
             std::string wire;
             for (int i = 0; i < 5000; ++i) {
                 wire += "HTTP/1.1 100 Continue\r\n\r\n";
             }
             return wire + kOk + "Content-Length: 0\r\n\r\n";
         }(),
         Result::Error, 0, ""},
    };
    ExpectAlikeWholeAndInPieces(cases);
}

// HEAD and tunnel answers (a refused tunnel carries its body), the body
// limit, and framing that ends with the stream and so closes the connection.
TEST(HTTPResponseReaderTest, HeadTunnelLimitAndClosingFraming) {
    struct Mode {
        std::string wire;
        std::size_t step;
        bool head, connect;
        std::uint64_t limit;
        Result result;
        std::string body;
        bool mustClose;
    };
    const auto max = HTTPResponseReader::kDefaultBodyLimit;
    const std::string chunked = kOk + "Transfer-Encoding: chunked\r\n\r\n";
    for (const auto& m : std::vector<Mode>{
             {kOk + "Content-Length: 5\r\n\r\n", 0, true, false, max, Result::Done, "", false},
             {kOk + "Content-Length: 5\r\n\r\n", 0, false, true, max, Result::Done, "", false},
             {"HTTP/1.1 407 Auth\r\nContent-Length: 2\r\n\r\nno", 0, false, true, max,
              Result::Done, "no", false},
             {kOk + "Content-Length: 11\r\n\r\nhello world", 0, false, false, 10, Result::Error, "",
              false},
             {chunked + "6\r\nhello \r\n5\r\nworld\r\n0\r\n\r\n", 1, false, false, 10,
              Result::Error, "", false},
             {kOk + "\r\nhello world", 3, false, false, 10, Result::Error, "", true},
             {kOk + "Content-Length: 10\r\n\r\nhelloworld", 0, false, false, 10, Result::Done,
              "helloworld", false},
             {kOk + "\r\nbody", 0, false, false, max, Result::Done, "body", true},
             {kOk + "Content-Length: 1\r\nTransfer-Encoding: chunked\r\n\r\n1\r\na\r\n0\r\n\r\n", 0,
              false, false, max, Result::Done, "a", true},
             {chunked + "0\r\n\r\n", 0, false, false, max, Result::Done, "", false},
             // The limit holds for the decoded body; a coded one to the end closes.
             {kOk + "Transfer-Encoding: gzip, chunked\r\n\r\n" +
                  Chunked(testsupport::compressed("hello world", 31)),
              1, false, false, 10, Result::Error, "", false},
             {kOk + "Transfer-Encoding: gzip\r\n\r\n" + testsupport::compressed("body", 31), 0,
              false, false, max, Result::Done, "body", true}}) {
        const Outcome outcome = Read(m.wire, m.step, m.head, m.connect, m.limit);
        EXPECT_EQ(outcome.result, m.result) << m.wire;
        if (m.result == Result::Done) {
            EXPECT_EQ(outcome.body, m.body) << m.wire;
            EXPECT_EQ(outcome.mustClose, m.mustClose) << m.wire;
        }
    }
}

TEST(HTTPResponseReaderTest, AnAnnouncedBodyIsReceivedInPlace) {
    HTTPResponseReader reader(false, false);
    const std::string head = kOk + "Content-Length: 10\r\n\r\nabc";
    std::size_t consumed = 0;
    ASSERT_EQ(reader.Feed(reinterpret_cast<const unsigned char*>(head.data()), head.size(), consumed),
              Result::NeedMore);
    for (const std::string piece : {"defg", "hij"}) {
        const auto window = reader.BodyWindow();
        ASSERT_GE(window.second, piece.size());
        std::memcpy(window.first, piece.data(), piece.size());
        const auto result = reader.CommitBody(piece.size());
        EXPECT_EQ(result, piece == "hij" ? Result::Done : Result::NeedMore);
    }
    EXPECT_EQ(std::string(reader.Body().begin(), reader.Body().end()), "abcdefghij");
    EXPECT_EQ(reader.BodyWindow().second, 0u);
}

// Random mutations of valid responses, fed in random pieces, for a bounded
// time: the reader ends with a result, never takes more than it was given,
// and never holds a body beyond its limit.
TEST(HTTPResponseReaderTest, FuzzedResponsesEndWithinTheirBounds) {
    const std::vector<std::string> seeds = {
        kOk + "Transfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n3;x\r\nabc\r\n0\r\nT: 1\r\n\r\n",
        kOk + "Content-Length: 4\r\nSet-Cookie: a=b\r\n\r\nbody",
        "HTTP/1.1 100 Continue\r\n\r\nHTTP/1.0 204 None\r\nContent-Length: 3\r\n\r\n",
        kOk + "Transfer-Encoding: gzip, chunked\r\n\r\n",
    };
    const std::size_t runs = testsupport::mutateFor(
        std::chrono::seconds(3), seeds, "\r\n:;0123456789abcdefABCDEF \tHTP/.,-chunkedx", 6,
        [](const std::string& wire, std::mt19937& random) {
            const std::uint64_t limit = 1 + random() % 64;
            const Outcome outcome = Read(wire, random() % 9, false, false, limit);
            EXPECT_NE(outcome.result, Result::NeedMore) << wire;
            EXPECT_LE(outcome.consumed, wire.size()) << wire;
            EXPECT_LE(outcome.body.size(), limit) << wire;
            return !::testing::Test::HasFailure();
        });
    EXPECT_GT(runs, 1000u);
}

}  // namespace
