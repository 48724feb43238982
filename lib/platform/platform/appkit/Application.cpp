#include "platform/appkit/Application.h"

#include <cstdlib>

#include "platform/dispatch/MainQueue.h"

namespace platform::appkit {

Application& Application::shared() {
    static Application application;
    return application;
}

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

}  // namespace platform::appkit
