#include "platform/appkit/Application.h"

#include <algorithm>
#include <cstdlib>

#include "platform/appkit/TerminalEvents.h"
#include "platform/appkit/Window.h"
#include "platform/dispatch/MainQueue.h"

namespace platform::appkit {

Application& Application::shared() {
    static Application application;
    return application;
}

Application::Application() = default;
Application::~Application() = default;

void Application::setDelegate(ApplicationDelegate* delegate) {
    _delegate = delegate;
    _launchPending = delegate != nullptr;
}

ApplicationDelegate* Application::delegate() const {
    return _delegate;
}

void Application::runUntil(const std::atomic<bool>& done) {
    auto& context = dispatch::mainQueueContext();
    while (!done) {
        if (context.stopped()) {
            context.restart();
        }
        context.run_one();
    }
}

void Application::run() {
    if (_running.exchange(true)) {
        return;
    }
    _stopRequested = false;
    if (_launchPending.exchange(false)) {
        if (auto* delegate = _delegate.load()) {
            delegate->applicationDidFinishLaunching();
        }
    }
    runUntil(_stopRequested);
    _stopRequested = false;
    _running = false;
}

bool Application::isRunning() const {
    return _running;
}

void Application::stop() {
    if (_running) {
        _stopRequested = true;
    }
}

void Application::postEvent(const Event& /*event*/, bool /*atStart*/) {
    dispatch::asyncMain([] {});
}

void Application::activateIgnoringOtherApps(bool /*flag*/) {}

void Application::runModal() {
    if (_modalRunning.exchange(true)) {
        return;
    }
    _modalStopRequested = false;
    runUntil(_modalStopRequested);
    _modalStopRequested = false;
    _modalRunning = false;
}

void Application::stopModal() {
    if (_modalRunning) {
        _modalStopRequested = true;
    }
}

void Application::terminate() {
    auto* delegate = _delegate.load();
    if (delegate && !delegate->applicationShouldTerminate()) {
        return;
    }
    std::exit(0);
}

void Application::lastWindowClosed() {
    auto* delegate = _delegate.load();
    if (delegate && delegate->applicationShouldTerminateAfterLastWindowClosed()) {
        terminate();
    }
}

void Application::addWindow(Window* window) {
    if (std::find(_windows.begin(), _windows.end(), window) != _windows.end()) {
        return;
    }
    _windows.push_back(window);
    beginTerminalSession();
}

void Application::removeWindow(Window* window) {
    const auto found = std::find(_windows.begin(), _windows.end(), window);
    if (found == _windows.end()) {
        return;
    }
    _windows.erase(found);
    if (_keyWindow == window) {
        _keyWindow = nullptr;
    }
    if (!_windows.empty()) {
        endTerminalSession();
        return;
    }
    // The closing signals stay taken over until the delegate has had its say
    // on the last window: a second signal, close behind the first, would
    // otherwise end the process in the middle of its tidy-up.
    dispatch::asyncMain([] {
        auto& application = Application::shared();
        application.lastWindowClosed();
        application.endTerminalSession();
    });
}

void Application::makeKeyWindow(Window* window) {
    if (std::find(_windows.begin(), _windows.end(), window) != _windows.end()) {
        _keyWindow = window;
    }
}

Window* Application::keyWindow() const {
    if (_keyWindow != nullptr) {
        return _keyWindow;
    }
    return _windows.empty() ? nullptr : _windows.back();
}

void Application::beginTerminalSession() {
    if (_terminalSessions++ == 0) {
        _terminal = std::make_unique<TerminalEvents>(
            TerminalEvents::Handlers{[] { Application::shared().onTerminalLine(); },
                                     [] { Application::shared().onCloseRequest(); },
                                     [] { Application::shared().onEndOfInput(); }});
    }
}

void Application::endTerminalSession() {
    if (_terminalSessions > 0 && --_terminalSessions == 0) {
        _terminal.reset();
    }
}

bool Application::isModalRunning() const {
    return _modalRunning;
}

void Application::onTerminalLine() {
    if (_modalRunning) {
        stopModal();
    } else if (auto* window = keyWindow()) {
        window->pressDefaultButton();
    }
}

void Application::onEndOfInput() {
    if (_modalRunning) {
        stopModal();
    }
    if (auto* delegate = _delegate.load()) {
        delegate->applicationInputDidEnd();
    }
}

void Application::onCloseRequest() {
    if (_modalRunning) {
        stopModal();
    } else if (auto* window = keyWindow()) {
        window->performClose(nullptr);
    }
}

}  // namespace platform::appkit
