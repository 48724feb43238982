// Feeds the message table reader thousands of randomly damaged files, within
// a bounded time. Under AddressSanitizer this finds reads past the data; the
// checks find damaged files that replace or disturb the table in use.

#include <gtest/gtest.h>

#include <chrono>
#include <random>

#include "MessageTableWriter.h"
#include "common/messagemap/MessageMap.h"

namespace {

using common::MessageMap;
using quorvane::messagesbin::MessageTable;
using quorvane::messagesbin::packTable;
using quorvane::messagesbin::serializeTable;
using Bytes = std::vector<unsigned char>;

MessageTable referenceTable() {
    MessageTable table;
    table.languages = {"en", "fr", "pt-BR"};
    table.defaults = {"Hello ${0}", "", "${1} of ${0}", "caf\xC3\xA9 \xF0\x9D\x84\x9E", "Last"};
    table.texts = {
        {"Hello ${0}", "", "${1} of ${0}", "", "Last"},
        {"Bonjour ${0}", "Vide", "", "caf\xC3\xA9", ""},
        {"", "", "${1} de ${0}", "", "\xC3\xBAltimo"},
    };
    return table;
}

// One random change: a flipped bit, a byte set to a random or boundary value,
// a 32-bit field set to a large count, a cut, an insertion or a removal.
void mutate(Bytes& bytes, std::mt19937& random) {
    auto pick = [&](std::size_t bound) {
        return std::uniform_int_distribution<std::size_t>(0, bound)(random);
    };
    const std::size_t kind = pick(6);
    if (bytes.empty()) {
        bytes.push_back(static_cast<unsigned char>(pick(255)));
        return;
    }
    const std::size_t at = pick(bytes.size() - 1);
    switch (kind) {
        case 0:
            bytes[at] ^= static_cast<unsigned char>(1u << pick(7));
            break;
        case 1:
            bytes[at] = static_cast<unsigned char>(pick(255));
            break;
        case 2: {
            static const unsigned char boundaries[] = {0x00, 0x7F, 0x80, 0xC0, 0xE0, 0xF0, 0xFF};
            bytes[at] = boundaries[pick(std::size(boundaries) - 1)];
            break;
        }
        case 3: {
            static const std::uint32_t counts[] = {0xFFFFFFFFu, 0x80000000u, 0x10000u, 1000, 7};
            const std::uint32_t value = counts[pick(std::size(counts) - 1)];
            for (std::size_t i = 0; i < 4 && at + i < bytes.size(); ++i) {
                bytes[at + i] = static_cast<unsigned char>(value >> (8 * i));
            }
            break;
        }
        case 4:
            bytes.resize(at);
            break;
        case 5:
            bytes.insert(bytes.begin() + static_cast<std::ptrdiff_t>(at), pick(16) + 1,
                         static_cast<unsigned char>(pick(255)));
            break;
        default:
            bytes.erase(bytes.begin() + static_cast<std::ptrdiff_t>(at),
                        bytes.begin() +
                            static_cast<std::ptrdiff_t>(std::min(bytes.size(), at + pick(16) + 1)));
            break;
    }
}

// Uses every operation on whatever table is loaded.
void exercise(MessageMap& map) {
    for (const wchar_t* code : {L"en", L"FR-ca", L"pt-br", L"xx", L""}) {
        map.setLanguage(code);
        for (std::size_t id = 0; id < 8; ++id) {
            (void)map.getRawMessage(id);
            (void)map.getMessage(id, 2, L"a${1}", L"b");
        }
    }
}

TEST(MessageMapFuzzTest, RandomlyDamagedFilesNeverDisturbTheTableInUse) {
    const Bytes table = serializeTable(referenceTable());
    const Bytes file = packTable(table);
    const unsigned seed = std::random_device()();
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 random(seed);

    MessageMap map;
    const auto reload = [&] {
        ASSERT_TRUE(map.loadFromBuffer(file.data(), file.size()));
        ASSERT_TRUE(map.setLanguage(L"fr"));
    };
    reload();

    constexpr int kIterations = 20000;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    int refused = 0;
    int accepted = 0;
    for (int i = 0; i < kIterations && std::chrono::steady_clock::now() < deadline; ++i) {
        // Damage the unpacked table (packed again, so that the parser sees
        // it) or the file itself (mostly caught by the decompression).
        Bytes candidate;
        if (i % 2 == 0) {
            Bytes raw = table;
            for (std::size_t n = 1 + static_cast<std::size_t>(random() % 3); n > 0; --n) {
                mutate(raw, random);
            }
            candidate = packTable(raw);
        } else {
            candidate = file;
            for (std::size_t n = 1 + static_cast<std::size_t>(random() % 3); n > 0; --n) {
                mutate(candidate, random);
            }
        }
        if (map.loadFromBuffer(candidate.data(), candidate.size())) {
            ++accepted;
            exercise(map);
            reload();
        } else {
            ++refused;
            ASSERT_STREQ(L"Bonjour ${0}", map.getRawMessage(0)) << "iteration " << i;
            ASSERT_STREQ(L"Vide", map.getRawMessage(1)) << "iteration " << i;
            ASSERT_STREQ(L"${1} of ${0}", map.getRawMessage(2)) << "iteration " << i;
            ASSERT_STREQ(L"Last", map.getRawMessage(4)) << "iteration " << i;
            ASSERT_STREQ(L"", map.getRawMessage(5)) << "iteration " << i;
        }
    }
    RecordProperty("accepted", accepted);
    RecordProperty("refused", refused);
    // Both outcomes must have been reached for the run to mean anything.
    EXPECT_GT(refused, 1000);
    EXPECT_GT(accepted, 1000);
}

}  // namespace
