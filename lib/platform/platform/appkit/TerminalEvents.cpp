#include "platform/appkit/TerminalEvents.h"

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include <boost/system/system_error.hpp>

namespace platform::appkit {

TerminalEvents::TerminalEvents(Handlers handlers) : _handlers(std::move(handlers)) {
    for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
        try {
            _signals.push_back(std::make_unique<dispatch::SignalSource>(
                signal, [alive = std::weak_ptr<bool>(_alive), this](int) {
                    if (alive.lock() && _handlers.closeRequest) {
                        const auto handler = _handlers.closeRequest;
                        handler();
                    }
                }));
        } catch (const boost::system::system_error&) {
            // The signal keeps its default action.
        }
    }
    try {
        _input = std::make_unique<dispatch::ReadSource>(
            STDIN_FILENO, [alive = std::weak_ptr<bool>(_alive), this] {
                if (alive.lock()) {
                    readInput();
                }
            });
    } catch (const boost::system::system_error&) {
        // No standard input: nobody presses anything.
    }
}

TerminalEvents::~TerminalEvents() {
    *_alive = false;
    _alive.reset();
    _input.reset();
    _signals.clear();
}

void TerminalEvents::readInput() {
    char buffer[4096];
    const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) {
        return;
    }
    if (n <= 0) {
        // The end of input (or input that cannot be read) presses nothing.
        _input->cancel();
        if (const auto handler = _handlers.endOfInput) {
            handler();
        }
        return;
    }
    const auto lines = std::count(buffer, buffer + n, '\n');
    const std::weak_ptr<bool> alive = _alive;
    const auto handler = _handlers.line;
    for (long i = 0; i < lines && handler; ++i) {
        handler();
        if (!alive.lock()) {
            return;
        }
    }
}

}  // namespace platform::appkit
