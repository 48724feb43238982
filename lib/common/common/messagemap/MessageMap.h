#pragma once

#include <cstdint>
#include <limits>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "common/messagemap/IMessageMap.h"

namespace common {

// The table of "messages.bin". The file holds a little-endian 32-bit size U
// followed by the LZF-compressed table of U bytes: the number of languages
// and their codes, a reserved 32-bit field, the number of messages M and the
// M default texts, then per language two reserved 32-bit fields and M texts
// (an empty one standing for the default). Texts are NUL-terminated UTF-8.
//
// Reading trusts nothing in the file: every read is checked against the end
// of the data, the unpacked size is capped, invalid UTF-8 is read with
// replacement characters, and the table in use is replaced only by a file
// that parsed completely.
class MessageMap : public IMessageMap {
public:
    // The largest unpacked table accepted, in bytes.
    static constexpr std::uint32_t kMaxTableSize = 8u * 1024u * 1024u;

    // The language index of the default texts.
    static constexpr std::uint64_t kDefaultLanguage = std::numeric_limits<std::uint64_t>::max();

    MessageMap() = default;

    // Reads "messages.bin" from the bundle's resources and selects "en". A
    // missing file, anything but a regular file, or a damaged table is logged
    // on the channel "MessageMap" and leaves the table as it was.
    void load() override;
    bool setLanguage(const wchar_t* code) override;
    std::wstring getMessage(std::size_t id, std::size_t count, ...) override;
    std::wstring getMessageV(std::size_t id, std::size_t count, va_list args) override;
    const wchar_t* getRawMessage(std::size_t id) override;

    // `text` with each "${i}" for i below `count` replaced (first occurrence
    // only, in index order, on the text as replaced so far) by the i-th of
    // the `count` `const wchar_t*` arguments in `args`; every argument is
    // taken, a null one stands for an empty text.
    static std::wstring format(std::wstring text, std::size_t count, va_list args);

    // Unpacks and parses a file image; false, leaving the table as it was,
    // when the image is not a complete table.
    bool loadFromBuffer(const unsigned char* bytes, std::size_t length);

private:
    struct Table {
        std::vector<std::wstring> languages;
        std::map<std::uint64_t, std::vector<std::wstring>> texts;
    };

    static std::optional<std::vector<unsigned char>> unpack(const unsigned char* bytes,
                                                            std::size_t length);
    static std::optional<Table> parse(const std::vector<unsigned char>& data);
    std::optional<std::uint64_t> findLanguage(const std::wstring& code) const;

    std::recursive_mutex mutex_;
    std::vector<std::wstring> languages_;
    std::map<std::uint64_t, std::vector<std::wstring>> texts_;
    std::uint64_t current_ = kDefaultLanguage;
};

}  // namespace common
