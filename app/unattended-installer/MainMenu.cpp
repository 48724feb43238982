#include "MainMenu.h"

#include <memory>
#include <vector>

#include "AppDelegate.h"
#include "platform/appkit/Application.h"
#include "platform/appkit/Window.h"

namespace quorvane::unattended {

namespace {

struct TopLevelObjects {
    std::unique_ptr<platform::appkit::Window> window;
    std::unique_ptr<AppDelegate> delegate;
};

// Never destroyed: the application refers to them until the process ends.
std::vector<TopLevelObjects>& loadedObjects() {
    static auto* const objects = new std::vector<TopLevelObjects>;
    return *objects;
}

}  // namespace

AppDelegate* loadMainMenu() {
    TopLevelObjects objects{std::make_unique<platform::appkit::Window>(),
                            std::make_unique<AppDelegate>()};
    auto* window = objects.window.get();
    auto* delegate = objects.delegate.get();
    delegate->setWindow(window);
    delegate->setProgressTitle(&window->progressText());
    delegate->setProgress(&window->progressIndicator());
    delegate->setButton(&window->button());
    window->button().setAction(
        [delegate](platform::appkit::Button* sender) { delegate->onButtonPushed(sender); });
    loadedObjects().push_back(std::move(objects));
    platform::appkit::Application::shared().setDelegate(delegate);
    return delegate;
}

}  // namespace quorvane::unattended
