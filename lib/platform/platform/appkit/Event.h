#pragma once

namespace platform::appkit {

enum class EventType : int {
    applicationDefined = 15,
};

// An event for the application loop. Only application-defined events exist
// here; the loop hands them to nobody, so posting one only wakes the loop.
struct Event {
    EventType type = EventType::applicationDefined;
    short subtype = 0;
    long data1 = 0;
    long data2 = 0;
};

}  // namespace platform::appkit
