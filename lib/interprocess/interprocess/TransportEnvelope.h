#pragma once

#include <string>
#include <variant>

#include "interprocess/JsonKey.h"

namespace interprocess::transport {

// An application text with the id its acknowledgement names.
struct Message {
    std::string id;
    std::string json;
    template <typename Self, typename Visit>
    static void fields(Self& self, Visit&& visit) {
        visit("id", self.id);
        visit("json", self.json);
    }
};

struct Ack {
    std::string id;
    template <typename Self, typename Visit>
    static void fields(Self& self, Visit&& visit) {
        visit("id", self.id);
    }
};

// What a transport puts in a link Data message, under the key "data".
using Envelope = std::variant<Message, Ack>;

}  // namespace interprocess::transport

namespace interprocess {

template <>
struct JsonKey<transport::Envelope> {
    static constexpr const char* value = "data";
};

}  // namespace interprocess
