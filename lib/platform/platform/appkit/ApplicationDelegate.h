#pragma once

namespace platform::appkit {

// What the application asks of the program about its life cycle. Every call
// comes on the thread that runs the application loop.
class ApplicationDelegate {
public:
    virtual ~ApplicationDelegate() = default;

    // Once, when the loop starts for the first time after the delegate was set.
    virtual void applicationDidFinishLaunching() {}

    // When the last window has closed: true ends the process (terminate).
    virtual bool applicationShouldTerminateAfterLastWindowClosed() { return false; }

    // Before the process ends through terminate: false keeps it running.
    virtual bool applicationShouldTerminate() { return true; }

    // Once, when the user's input has ended (standard input is at its end
    // while a window or an alert watches it): nobody will press anything any
    // more.
    virtual void applicationInputDidEnd() {}
};

}  // namespace platform::appkit
