#pragma once

#include <string>

#include "platform/appkit/Button.h"
#include "platform/appkit/ProgressIndicator.h"
#include "platform/appkit/TextField.h"

namespace platform::appkit {

// A small window with a title, a line of progress text, a progress bar and one
// button, drawn as text on standard error, one line per change:
//   window: title "<text>"
//   window: progress "<text>" <value>/<max>
//   window: button "<label>" enabled       (or disabled)
//   window: shown                          (ordered to the front)
//   window: closed
// Changes of the controls are drawn by displayIfNeeded. An open window takes
// the user's input through the application: a line on standard input presses
// its button (when enabled), and SIGINT, SIGTERM or SIGHUP close it, as a
// person closing it would.
//
// A window is open from its creation until it is closed; destroying an open
// window closes it.
class Window {
public:
    Window();
    ~Window();
    Window(const Window&) = delete;
    Window& operator=(const Window&) = delete;

    void setTitle(const std::string& title);
    const std::string& title() const { return _title; }

    TextField& progressText() { return _progressText; }
    ProgressIndicator& progressIndicator() { return _progressIndicator; }
    Button& button() { return _button; }

    // Draws what changed since the last display: the title, then the progress
    // row (text and bar), then the button. Nothing is drawn once closed.
    void displayIfNeeded();

    // Shows the window in front and makes it the one that takes the user's
    // input. Draws "window: shown" when it was not visible.
    void makeKeyAndOrderFront();
    bool isVisible() const { return _visible; }
    bool isOpen() const { return _open; }

    // What the window's close box does: closes an open window (drawing what
    // changed, then "window: closed"); when it was the last open window, the
    // application is told on the main queue. A closed window ignores it.
    void performClose(const void* sender);

    // The user's Return key: clicks the button when it is enabled.
    void pressDefaultButton();

private:
    std::string _title;
    bool _titleNeedsDisplay = false;
    TextField _progressText;
    ProgressIndicator _progressIndicator;
    Button _button;
    bool _visible = false;
    bool _open = true;
};

}  // namespace platform::appkit
