#pragma once

#include <string>
#include <variant>

namespace interprocess::protocol {

// The messages of the link between two connections. Each message lists its
// fields, in wire order, through `fields`, which the JSON writer and reader
// walk; the tag on the wire is the class's own name.

// Asks the peer's listener for a link; `to` is the name asked for, `from` the
// asking side's.
struct ConnectTo {
    std::string to;
    std::string from;
    template <typename Self, typename Visit>
    static void fields(Self& self, Visit&& visit) {
        visit("to", self.to);
        visit("from", self.from);
    }
};

struct ConnectAccepted {
    std::string from;
    template <typename Self, typename Visit>
    static void fields(Self& self, Visit&& visit) {
        visit("from", self.from);
    }
};

struct ConnectRejected {
    template <typename Self, typename Visit>
    static void fields(Self&, Visit&&) {}
};

struct Disconnect {
    template <typename Self, typename Visit>
    static void fields(Self&, Visit&&) {}
};

struct Shutdown {
    template <typename Self, typename Visit>
    static void fields(Self&, Visit&&) {}
};

// Keep-alive probe; the answer carries the same id.
struct Ping {
    std::string id;
    template <typename Self, typename Visit>
    static void fields(Self& self, Visit&& visit) {
        visit("id", self.id);
    }
};

struct Pong : Ping {};

// The layer above's text.
struct Data {
    std::string json;
    template <typename Self, typename Visit>
    static void fields(Self& self, Visit&& visit) {
        visit("json", self.json);
    }
};

// One link message; the reader tries the alternatives in this order.
using Command =
    std::variant<ConnectTo, ConnectAccepted, ConnectRejected, Disconnect, Shutdown, Ping, Pong, Data>;

}  // namespace interprocess::protocol
