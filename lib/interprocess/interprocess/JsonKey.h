#pragma once

#include "interprocess/protocol/Command.h"

namespace interprocess {

// The member under which a variant of messages is stored in its JSON text;
// each variant that is written or read declares one.
template <typename Variant>
struct JsonKey;

template <>
struct JsonKey<protocol::Command> {
    static constexpr const char* value = "command";
};

}  // namespace interprocess
