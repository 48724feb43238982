#include "interprocess/DataLinkRecord.h"

#include "common/logging/ILogger.h"

namespace interprocess {

namespace {

void appendInteger(std::vector<std::uint8_t>& out, std::uint64_t value) {
    for (int i = 0; i < 8; ++i) {
        out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
    }
}

void appendText(std::vector<std::uint8_t>& out, const std::uint8_t* data, std::size_t size) {
    appendInteger(out, size);
    out.insert(out.end(), data, data + size);
}

// Takes fields off the front of a received record.
class Reader {
public:
    Reader(const std::uint8_t* data, std::size_t size, common::ILogger& logger)
        : data_(data), left_(size), logger_(logger) {}

    // The next `count` bytes, or null (logged) when there are not that many.
    const std::uint8_t* take(std::uint64_t count) {
        if (count > left_) {
            logger_.error("Try to read more bytes than buffer size. Buffer size: %lu, Try to read: %lu",
                          static_cast<unsigned long>(left_), static_cast<unsigned long>(count));
            return nullptr;
        }
        if (count == 0) {
            logger_.error("Try to read 0 bytes.");
            return nullptr;
        }
        const auto* taken = data_;
        data_ += count;
        left_ -= count;
        return taken;
    }

    std::uint64_t integer() {
        const auto* bytes = take(8);
        std::uint64_t value = 0;
        for (int i = 0; bytes != nullptr && i < 8; ++i) {
            value |= static_cast<std::uint64_t>(bytes[i]) << (8 * i);
        }
        return value;
    }

    bool flag() {
        const auto* byte = take(1);
        return byte != nullptr && *byte != 0;
    }

    std::vector<std::uint8_t> bytes() {
        const auto count = integer();
        const auto* taken = take(count);
        return taken == nullptr ? std::vector<std::uint8_t>()
                                : std::vector<std::uint8_t>(taken, taken + count);
    }

    std::string text() {
        const auto taken = bytes();
        return std::string(taken.begin(), taken.end());
    }

private:
    const std::uint8_t* data_;
    std::size_t left_;
    common::ILogger& logger_;
};

}  // namespace

std::vector<std::uint8_t> DataLinkRecord::encode() const {
    std::vector<std::uint8_t> out;
    out.reserve(size());
    appendText(out, reinterpret_cast<const std::uint8_t*>(from.data()), from.size());
    appendText(out, reinterpret_cast<const std::uint8_t*>(to.data()), to.size());
    out.push_back(sync ? 1 : 0);
    appendInteger(out, static_cast<std::uint64_t>(id));
    out.push_back(toListener ? 1 : 0);
    out.push_back(ack ? 1 : 0);
    appendText(out, payload.data(), payload.size());
    return out;
}

bool DataLinkRecord::decode(const std::uint8_t* data, std::size_t size, DataLinkRecord& record,
                            common::ILogger& logger) {
    Reader reader(data, size, logger);
    record = DataLinkRecord();
    record.from = reader.text();
    if (record.from.empty()) {
        logger.error("From is empty in message");
        return false;
    }
    record.to = reader.text();
    if (record.to.empty()) {
        logger.error("To is empty in message");
        return false;
    }
    record.sync = reader.flag();
    record.id = static_cast<std::int64_t>(reader.integer());
    record.toListener = reader.flag();
    record.ack = reader.flag();
    record.payload = reader.bytes();
    return true;
}

}  // namespace interprocess
