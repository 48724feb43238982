#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "network/WebSocketFrame.h"
#include "network/WebSocketFrameReader.h"

namespace {

using network::WebSocketFrameReader;
using network::WebSocketOperationCode;
using Result = WebSocketFrameReader::Result;
using Bytes = std::vector<unsigned char>;

// What the reader reported for a stream: one entry per message or control
// frame ("message 2:<payload>", "control 9:<payload>") and the failure
// ("error 1002").
std::vector<std::string> ReadAll(const Bytes& wire, std::size_t step,
                                 std::uint64_t limit = WebSocketFrameReader::kDefaultMessageLimit) {
    WebSocketFrameReader reader(limit);
    std::vector<std::string> events;
    std::size_t at = 0;
    while (at < wire.size()) {
        const std::size_t size = step == 0 ? wire.size() - at : std::min(step, wire.size() - at);
        std::size_t consumed = 0;
        const auto result = reader.Feed(wire.data() + at, size, consumed);
        at += consumed;
        if (result == Result::Error) {
            events.push_back("error " + std::to_string(reader.CloseCode()));
            break;
        }
        if (result != Result::NeedMore) {
            const auto payload = reader.TakePayload();
            events.push_back((result == Result::Message ? "message " : "control ") +
                             std::to_string(static_cast<int>(reader.Opcode())) + ":" +
                             std::string(payload.begin(), payload.end()));
        } else {
            EXPECT_EQ(consumed, size) << "an open frame takes every byte";
        }
    }
    return events;
}

// An unmasked server frame; `length` overrides the announced length.
Bytes Frame(unsigned first, const std::string& payload, std::uint64_t length = ~0ULL) {
    if (length == ~0ULL) {
        length = payload.size();
    }
    Bytes out{static_cast<unsigned char>(first)};
    if (length < 126) {
        out.push_back(static_cast<unsigned char>(length));
    } else if (length < 65536) {
        out.insert(out.end(), {126, static_cast<unsigned char>(length >> 8), static_cast<unsigned char>(length)});
    } else {
        out.push_back(127);
        for (int i = 7; i >= 0; --i) {
            out.push_back(static_cast<unsigned char>(length >> (8 * i)));
        }
    }
    out.insert(out.end(), payload.begin(), payload.end());
    return out;
}

Bytes Join(const std::vector<Bytes>& frames) {
    Bytes out;
    for (const auto& f : frames) {
        out.insert(out.end(), f.begin(), f.end());
    }
    return out;
}

TEST(WebSocketFrameReaderTest, ClientFramesUseTheShortestLengthAndReadBackUnmasked) {
    struct Case {
        std::size_t size;
        std::size_t frameSize;
        unsigned len7;
    };
    const Case cases[] = {{0, 6, 0}, {125, 131, 125}, {126, 134, 126}, {65535, 65543, 126}, {65536, 65550, 127}};
    const network::WebSocketMaskingKey key = {0x12, 0x34, 0x56, 0x78};
    for (const auto& c : cases) {
        std::string payload(c.size, '\0');
        for (std::size_t i = 0; i < c.size; ++i) {
            payload[i] = static_cast<char>(i * 7 + 1);
        }
        const auto frame = network::MakeWebSocketFrame(
            WebSocketOperationCode::Binary, reinterpret_cast<const unsigned char*>(payload.data()),
            payload.size(), key);
        ASSERT_EQ(frame.size(), c.frameSize) << c.size;
        EXPECT_EQ(frame[0], 0x82) << c.size;
        EXPECT_EQ(frame[1], 0x80 | c.len7) << c.size;
        const std::size_t body = c.frameSize - c.size;
        EXPECT_EQ(Bytes(frame.data() + body - 4, frame.data() + body), Bytes(key.begin(), key.end()));
        if (c.size > 0) {
            EXPECT_EQ(frame[body], static_cast<unsigned char>(payload[0] ^ key[0])) << c.size;
        }
        // A server's frames come unmasked: this one is refused as it is,
        // and read back once the mask is taken off.
        const Bytes masked(frame.begin(), frame.end());
        EXPECT_EQ(ReadAll(masked, 0), std::vector<std::string>{"error 1002"}) << c.size;
        Bytes wire(frame.begin(), frame.begin() + body - 4);
        wire[1] &= 0x7F;
        wire.insert(wire.end(), frame.begin() + body, frame.end());
        network::MaskWebSocketPayload(wire.data() + body - 4, c.size, key, 0);
        for (const std::size_t step : {0, 1, 3}) {
            EXPECT_EQ(ReadAll(wire, step), std::vector<std::string>{"message 2:" + payload})
                << "size " << c.size << ", pieces of " << step;
        }
    }
}

TEST(WebSocketFrameReaderTest, FragmentsJoinAroundControlFrames) {
    const Bytes wire = Join({Frame(0x01, "frag"), Frame(0x89, "ping"), Frame(0x00, "men"),
                             Frame(0x8A, ""), Frame(0x80, "ted"), Frame(0x82, ""), Frame(0x88, "\x03\xe8")});
    const std::vector<std::string> expected = {"control 9:ping", "control 10:", "message 1:fragmented",
                                               "message 2:", "control 8:\x03\xe8"};
    for (const std::size_t step : {0, 1, 2, 5}) {
        EXPECT_EQ(ReadAll(wire, step), expected) << "pieces of " << step;
    }
}

TEST(WebSocketFrameReaderTest, ProtocolFaultsAndOversizedMessagesFail) {
    struct Case {
        const char* name;
        Bytes wire;
        std::string outcome;
    };
    const std::uint64_t limit = 1000;
    const Case cases[] = {
        {"reserved data opcode", Frame(0x83, "x"), "error 1002"},
        {"reserved control opcode", Frame(0x8B, ""), "error 1002"},
        {"reserved bit", Frame(0xC2, "x"), "error 1002"},
        {"fragmented ping", Frame(0x09, ""), "error 1002"},
        {"long ping", Frame(0x89, std::string(126, 'p')), "error 1002"},
        {"stray continuation", Frame(0x80, "x"), "error 1002"},
        {"message inside a message", Join({Frame(0x01, "a"), Frame(0x82, "b")}), "error 1002"},
        {"top length bit", Frame(0x82, "", 1ULL << 63), "error 1002"},
        {"announced over the limit", Frame(0x82, "", 1ULL << 62), "error 1009"},
        {"one over the limit", Frame(0x82, "", limit + 1), "error 1009"},
        {"fragments over the limit", Join({Frame(0x02, std::string(600, 'x')), Frame(0x80, std::string(401, 'y'))}),
         "error 1009"},
        {"masked server frame", Bytes{0x82, 0x81, 1, 2, 3, 4, 'x' ^ 1}, "error 1002"},
        {"exactly the limit", Join({Frame(0x02, std::string(600, 'x')), Frame(0x80, std::string(400, 'y'))}),
         "message 2:" + std::string(600, 'x') + std::string(400, 'y')},
    };
    for (const auto& c : cases) {
        for (const std::size_t step : {0, 1}) {
            const auto events = ReadAll(c.wire, step, limit);
            ASSERT_FALSE(events.empty()) << c.name;
            EXPECT_EQ(events.back(), c.outcome) << c.name << ", pieces of " << step;
        }
    }
}

TEST(WebSocketFrameReaderTest, TextIsCheckedForUtf8AsItComes) {
    struct Case {
        const char* name;
        Bytes wire;
        std::string outcome;
    };
    const Case cases[] = {
        {"valid", Frame(0x81, "h\xc3\xa9 \xe2\x82\xac \xf0\x9d\x84\x9e"),
         "message 1:h\xc3\xa9 \xe2\x82\xac \xf0\x9d\x84\x9e"},
        {"split inside a character", Join({Frame(0x01, "\xe2"), Frame(0x89, ""), Frame(0x00, "\x82"), Frame(0x80, "\xac")}),
         "message 1:\xe2\x82\xac"},
        {"binary", Frame(0x82, "\xff"), "message 2:\xff"},
        {"invalid byte", Frame(0x81, "a\xff"), "error 1007"},
        {"lone continuation byte", Frame(0x81, "\x80"), "error 1007"},
        {"overlong", Frame(0x81, "\xe0\x80\xaf"), "error 1007"},
        {"surrogate", Frame(0x81, "\xed\xbf\xbf"), "error 1007"},
        {"past U+10FFFF", Frame(0x81, "\xf4\x90\x80\x80"), "error 1007"},
        {"ends inside a character", Frame(0x81, "\xf0\x9d\x84"), "error 1007"},
        {"broken across fragments", Join({Frame(0x01, "\xc3"), Frame(0x80, "(")}), "error 1007"},
        // Fail fast: the message is refused before it ends.
        {"refused before its end", Join({Frame(0x01, "\xff"), Frame(0x00, std::string(2000, 'x'))}),
         "error 1007"},
    };
    for (const auto& c : cases) {
        for (const std::size_t step : {0, 1}) {
            const auto events = ReadAll(c.wire, step, 1000);
            ASSERT_FALSE(events.empty()) << c.name;
            EXPECT_EQ(events.back(), c.outcome) << c.name << ", pieces of " << step;
        }
    }
}

TEST(WebSocketFrameReaderTest, CloseFramesCarryNothingOrASendableCodeAndAUtf8Reason) {
    struct Case {
        std::string payload;
        std::string outcome;
    };
    const Case cases[] = {
        {"", "control 8:"},
        {"\x03\xe8", "control 8:\x03\xe8"},
        {"\x03\xe8" "fine \xc3\xa9", "control 8:\x03\xe8" "fine \xc3\xa9"},
        {"\x03\xf2", "control 8:\x03\xf2"},  // 1010
        {"\x03\xf6", "control 8:\x03\xf6"},  // 1014
        {"\x13\x87", "control 8:\x13\x87"},  // 4999
        {"\x03", "error 1002"},
        {std::string("\x00\x00", 2), "error 1002"},
        {"\x03\xe7", "error 1002"},  // 999
        {"\x03\xec", "error 1002"},  // 1004
        {"\x03\xed", "error 1002"},  // 1005
        {"\x03\xee", "error 1002"},  // 1006
        {"\x03\xf7", "error 1002"},  // 1015
        {"\x07\xd0", "error 1002"},  // 2000
        {"\x13\x88", "error 1002"},  // 5000
        {"\xff\xff", "error 1002"},
        {"\x03\xe8\xc3", "error 1007"},
        {"\x03\xe8\xed\xa0\x80", "error 1007"},
    };
    for (const auto& c : cases) {
        for (const std::size_t step : {0, 1}) {
            EXPECT_EQ(ReadAll(Frame(0x88, c.payload), step), std::vector<std::string>{c.outcome})
                << ::testing::PrintToString(c.payload) << ", pieces of " << step;
        }
    }
}

// A data frame's payload written where PayloadRoom says, in pieces of any
// size, reads as the same payload fed through Feed; text is checked there
// too; control frames have no room.
TEST(WebSocketFrameReaderTest, PayloadWrittenInPlaceReadsAsFed) {
    struct Case {
        const char* name;
        std::vector<Bytes> frames;
        std::string outcome;
        std::uint64_t limit = 1 << 20;
    };
    const std::string large(70000, 'z');
    const Case cases[] = {
        {"binary", {Frame(0x82, "in place")}, "message 2:in place"},
        {"large", {Frame(0x82, large)}, "message 2:" + large},
        {"fragments", {Frame(0x01, "frag"), Frame(0x00, "men"), Frame(0x80, "ted")}, "message 1:fragmented"},
        {"text split in a character", {Frame(0x01, "\xe2\x82"), Frame(0x80, "\xac")}, "message 1:\xe2\x82\xac"},
        {"bad text", {Frame(0x81, "ok\xff")}, "error 1007"},
        {"over the limit", {Frame(0x02, std::string(900, 'a')), Frame(0x80, std::string(200, 'b'))}, "error 1009",
         1000},
    };
    for (const auto& c : cases) {
        for (const std::size_t piece : {std::size_t{1}, std::size_t{3}, std::size_t{1} << 20}) {
            WebSocketFrameReader reader(c.limit);
            std::string outcome;
            for (const auto& frame : c.frames) {
                // The head through Feed, the payload in place.
                const std::size_t head = frame[1] == 126 ? 4 : frame[1] == 127 ? 10 : 2;
                std::size_t consumed = 0;
                auto result = reader.Feed(frame.data(), head, consumed);
                ASSERT_EQ(consumed, head) << c.name;
                std::size_t at = head;
                while (result == Result::NeedMore && at < frame.size()) {
                    const auto [room, left] = reader.PayloadRoom();
                    ASSERT_NE(room, nullptr) << c.name;
                    ASSERT_EQ(left, frame.size() - at) << c.name;
                    const std::size_t n = std::min({piece, left, frame.size() - at});
                    std::memcpy(room, frame.data() + at, n);
                    at += n;
                    result = reader.PayloadWritten(n);
                }
                if (result == Result::Error) {
                    outcome = "error " + std::to_string(reader.CloseCode());
                    break;
                }
                if (result == Result::Message) {
                    const auto payload = reader.TakePayload();
                    outcome = "message " + std::to_string(static_cast<int>(reader.Opcode())) + ":" +
                              std::string(payload.begin(), payload.end());
                }
            }
            EXPECT_EQ(outcome, c.outcome) << c.name << ", pieces of " << piece;
        }
    }
    WebSocketFrameReader reader;
    std::size_t consumed = 0;
    const Bytes ping = Frame(0x89, "ping");
    ASSERT_EQ(reader.Feed(ping.data(), 2, consumed), Result::NeedMore);
    EXPECT_EQ(reader.PayloadRoom().first, nullptr) << "a control frame has no room in the message";
}

// Storage offered to the reader takes the next message of about its size,
// holding that message alone; a message far smaller gets storage of its own.
TEST(WebSocketFrameReaderTest, OfferedStorageTakesAMessageOfItsSize) {
    struct Case {
        std::size_t offered;
        std::size_t message;
        bool taken;
    };
    const Case cases[] = {{100000, 70000, true}, {100000, 100000, true}, {100000, 40000, false},
                          {100000, 100001, false}};
    for (const auto& c : cases) {
        WebSocketFrameReader reader(1 << 20);
        core::NonInitializingBuffer<unsigned char> offered(c.offered);
        std::memset(offered.data(), 'o', offered.size());
        const unsigned char* storage = offered.data();
        reader.OfferStorage(std::move(offered));
        std::string payload(c.message, '\0');
        for (std::size_t i = 0; i < payload.size(); ++i) {
            payload[i] = static_cast<char>(i % 13);
        }
        const Bytes wire = Frame(0x82, payload);
        std::size_t consumed = 0;
        ASSERT_EQ(reader.Feed(wire.data(), wire.size(), consumed), Result::Message) << c.message;
        const auto message = reader.TakePayload();
        // Told by the room the message has: the offered storage's, or its
        // own size. (A new buffer may be given the address of the storage
        // let go of.)
        EXPECT_EQ(message.capacity(), c.taken ? c.offered : c.message)
            << c.offered << " offered, " << c.message << " read";
        if (c.taken) {
            EXPECT_EQ(message.data(), storage) << c.offered << " offered, " << c.message << " read";
        }
        EXPECT_TRUE(std::string(message.begin(), message.end()) == payload) << c.message;
        // Taken or not, it is not held on: a later message that would fit
        // it gets storage of its own size.
        const Bytes fitting = Frame(0x82, std::string(c.offered * 3 / 4, 'f'));
        ASSERT_EQ(reader.Feed(fitting.data(), fitting.size(), consumed), Result::Message) << c.message;
        EXPECT_EQ(reader.TakePayload().capacity(), c.offered * 3 / 4) << c.offered << " offered, " << c.message;
    }
}

}  // namespace
