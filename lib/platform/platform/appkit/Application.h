#pragma once

#include <atomic>
#include <memory>
#include <vector>

#include "platform/appkit/ApplicationDelegate.h"
#include "platform/appkit/Event.h"

namespace platform::appkit {

class TerminalEvents;
class Window;

// The process's application loop: it owns the thread that calls run and does
// the work of the main queue (platform::dispatch) there, one item at a time,
// until it is stopped.
class Application {
public:
    // The one application of the process.
    static Application& shared();

    Application(const Application&) = delete;
    Application& operator=(const Application&) = delete;

    // Not owned; may be null. A delegate learns at the first run after it was
    // set that launching has finished.
    void setDelegate(ApplicationDelegate* delegate);
    ApplicationDelegate* delegate() const;

    // Runs the loop on the calling thread until stop. Returns at once when
    // the loop is already running.
    void run();
    bool isRunning() const;

    // Ends run once the work item being done when it is called (or the next
    // one) is finished; post an event to make it take effect when the loop is
    // idle. No effect when the loop is not running.
    void stop();

    // Wakes the loop. Callable from any thread. `atStart` is accepted; events
    // have no order of their own here.
    void postEvent(const Event& event, bool atStart);

    // Bringing the application to the front has no meaning here.
    void activateIgnoringOtherApps(bool flag);

    // Runs the loop for a modal session, also from inside a work item of a
    // running loop, until stopModal. One modal session at a time: returns at
    // once while one is running.
    void runModal();
    void stopModal();

    // Asks the delegate whether to terminate and, unless it refuses, ends the
    // process with status 0.
    void terminate();

    // Called when the last window has closed: asks the delegate whether to
    // terminate after it and, if so, terminates.
    void lastWindowClosed();

    // Open windows, on the loop's thread. A window adds itself when it is
    // made and removes itself when it closes; when the last one has gone,
    // lastWindowClosed runs on the main queue. While a window is open the
    // user's terminal is watched (TerminalEvents): a line presses the key
    // window's button, a close request (SIGINT, SIGTERM, SIGHUP) closes it;
    // during a modal session either one, or the end of input, ends the
    // session instead; the end of input is also told to the delegate
    // (applicationInputDidEnd). After the last window has closed the
    // terminal stays watched until lastWindowClosed has returned, so that a
    // close request arriving meanwhile finds nothing to close instead of
    // ending the process.
    void addWindow(Window* window);
    void removeWindow(Window* window);
    void makeKeyWindow(Window* window);
    // The window that takes the user's input: the key window, else the
    // latest open one; null when none is open.
    Window* keyWindow() const;

    // Watches the user's terminal for a modal session that has no window of
    // its own (an alert); each call is paired with endTerminalSession.
    void beginTerminalSession();
    void endTerminalSession();

    bool isModalRunning() const;

private:
    Application();
    ~Application();

    // Does work items until `done` holds.
    static void runUntil(const std::atomic<bool>& done);

    std::atomic<ApplicationDelegate*> _delegate{nullptr};
    std::atomic<bool> _running{false};
    std::atomic<bool> _stopRequested{false};
    std::atomic<bool> _launchPending{false};
    std::atomic<bool> _modalRunning{false};
    std::atomic<bool> _modalStopRequested{false};

    void onTerminalLine();
    void onCloseRequest();
    void onEndOfInput();

    // Loop thread only.
    std::vector<Window*> _windows;
    Window* _keyWindow = nullptr;
    int _terminalSessions = 0;
    std::unique_ptr<TerminalEvents> _terminal;
};

}  // namespace platform::appkit
