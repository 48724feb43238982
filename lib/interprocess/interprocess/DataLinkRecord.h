#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace common {
class ILogger;
}

namespace interprocess {

// One record of a process's message queue: length-prefixed sender and
// addressee names, the flags and id of the layers above and an opaque
// payload, integers little-endian, nothing between the fields.
struct DataLinkRecord {
    // Bytes of a record besides its names and payload.
    static constexpr std::size_t kFixedSize = 35;

    std::string from;
    std::string to;
    bool sync = false;
    std::int64_t id = 0;
    bool toListener = false;
    bool ack = false;
    std::vector<std::uint8_t> payload;

    std::size_t size() const { return kFixedSize + from.size() + to.size() + payload.size(); }
    std::vector<std::uint8_t> encode() const;

    // Reads the fields in record order, each from what is left. A field that
    // asks for more bytes than are left, or for none, is logged and reads as
    // empty (0 for numbers); reading goes on. An empty From or To is logged
    // and ends reading there. False when reading ended early.
    static bool decode(const std::uint8_t* data, std::size_t size, DataLinkRecord& record,
                       common::ILogger& logger);
};

}  // namespace interprocess
