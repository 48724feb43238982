#include "platform/appkit/Window.h"

#include "platform/appkit/Application.h"
#include "platform/appkit/TextDrawing.h"

namespace platform::appkit {

Window::Window() {
    Application::shared().addWindow(this);
}

Window::~Window() {
    performClose(nullptr);
}

void Window::setTitle(const std::string& title) {
    _title = title;
    _titleNeedsDisplay = true;
}

void Window::displayIfNeeded() {
    if (!_open) {
        return;
    }
    if (_titleNeedsDisplay) {
        _titleNeedsDisplay = false;
        drawLine("window: title " + quoted(_title));
    }
    if (_progressText.needsDisplay() || _progressIndicator.needsDisplay()) {
        _progressText.setNeedsDisplay(false);
        _progressIndicator.setNeedsDisplay(false);
        drawLine("window: progress " + quoted(_progressText.stringValue()) + " " +
                 formatNumber(_progressIndicator.doubleValue()) + "/" +
                 formatNumber(_progressIndicator.maxValue()));
    }
    if (_button.needsDisplay()) {
        _button.setNeedsDisplay(false);
        drawLine("window: button " + quoted(_button.title()) +
                 (_button.isEnabled() ? " enabled" : " disabled"));
    }
}

void Window::makeKeyAndOrderFront() {
    if (!_open) {
        return;
    }
    displayIfNeeded();
    Application::shared().makeKeyWindow(this);
    if (!_visible) {
        _visible = true;
        drawLine("window: shown");
    }
}

void Window::performClose(const void* /*sender*/) {
    if (!_open) {
        return;
    }
    displayIfNeeded();
    _open = false;
    _visible = false;
    drawLine("window: closed");
    Application::shared().removeWindow(this);
}

void Window::pressDefaultButton() {
    if (_open) {
        _button.performClick();
    }
}

}  // namespace platform::appkit
