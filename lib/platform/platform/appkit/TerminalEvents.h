#pragma once

#include <functional>
#include <memory>
#include <vector>

#include "platform/dispatch/ReadSource.h"
#include "platform/dispatch/SignalSource.h"

namespace platform::appkit {

// The user at the terminal, as the application sees them: every line on
// standard input is one press of the Return key, and SIGINT, SIGTERM and
// SIGHUP ask to close the front window. The end of input presses nothing; it
// is reported once.
// Handlers run on the main queue. While the object exists the three signals
// do not end the process; destroying it gives them back their default action.
class TerminalEvents {
public:
    struct Handlers {
        std::function<void()> line;
        std::function<void()> closeRequest;
        std::function<void()> endOfInput;
    };

    explicit TerminalEvents(Handlers handlers);
    ~TerminalEvents();
    TerminalEvents(const TerminalEvents&) = delete;
    TerminalEvents& operator=(const TerminalEvents&) = delete;

private:
    void readInput();

    Handlers _handlers;
    // Cleared by the destructor: a handler may destroy this object.
    std::shared_ptr<bool> _alive = std::make_shared<bool>(true);
    std::unique_ptr<dispatch::ReadSource> _input;
    std::vector<std::unique_ptr<dispatch::SignalSource>> _signals;
};

}  // namespace platform::appkit
